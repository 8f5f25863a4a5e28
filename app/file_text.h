// Small text files the operator names (a configuration, a type table, a
// password file), read whole without waiting on them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// Opens `name` for reading without waiting (a pipe or a device would hold up
// the check or the start for ever) and returns the descriptor; -1 for
// anything but a regular file, with errno set (EINVAL: not a regular file).
// `info`, when given, gets what fstat saw.
int open_regular_file(const std::string& name, struct stat* info = nullptr);

// The whole of a regular file of at most `limit` bytes. False, with errno
// set (EFBIG: larger than the limit), for anything else; `info`, when given,
// gets what fstat saw of it.
bool read_regular_file(const std::string& name, off_t limit, std::string* text,
                       struct stat* info = nullptr);
