// The lines of a configuration file and the key=value entries they hold,
// read as start-up takes them.
//
// A line's key is everything before its first "=", its value everything
// after it, both as written (spaces included). A line without "=" is not an
// entry of its own: it runs on into the next line's key, joined to it by
// CR LF, as the file was always read; when no line with "=" follows, the
// whole file is refused. The first of two equal keys counts.
#pragma once

#include <string>
#include <vector>

#include "app/config_form.h"
#include "http/http_utils.h"

// A line of a configuration file that start-up retains, without its line end,
// with its number in the file from 1.
struct config_line {
    int number;
    std::string text;
};

// Reads the retained lines of a configuration file: a trailing CR is removed
// from each line, then empty lines and comments are dropped: lines that
// begin with "//", and in the modern form lines that begin with "#" too.
// False, with no lines and errno set, when the file cannot be read (EINVAL:
// not a regular file; EFBIG: over 1 MiB, which is no configuration).
bool read_config_lines(const std::string& file_name, config_form form,
                       std::vector<config_line>* lines);

struct config_entry {
    std::string key;
    std::string value;
    int line;                 // the line of its "="
    std::vector<int> joined;  // earlier lines without "=" whose text begins the key
};

struct config_entries {
    std::vector<config_entry> entries;  // in the order of their lines
    std::vector<int> unterminated;      // lines without "=" that no "=" follows
    // The file is refused when a line without "=" has no entry to run into.
    bool refused() const { return !unterminated.empty(); }
    // Each key with its first value; empty when the file is refused.
    param_map params() const;
};

config_entries read_config_entries(const std::vector<config_line>& lines);
