// Opening a directory of the served tree for writing into it, without ever
// leaving the root: not through "..", not through a symbolic link that leads
// out of it, not through a link of /proc.
#pragma once

#include <string>

// Opens the directory `resolved` (a path relative to `root`, with no ".."
// left in it) as an O_PATH descriptor the caller closes. -1, with errno,
// when it cannot.
int open_beneath_root(const std::string& root, const std::string& resolved);
