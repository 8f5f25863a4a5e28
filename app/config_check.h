// The configuration file as lines, the keys that start-up reads, and the
// check of a file before it is used (websrv --check).
//
// The check reads a file as start-up does and reports, on standard error,
// every line that is not used as its writer surely meant. It writes nothing
// else: no log, no socket.
#pragma once

#include <string>
#include <vector>

// A line of a configuration file that start-up retains (not empty, not a
// "//" comment), without its line end, with its number in the file from 1.
struct config_line {
    int number;
    std::string text;
};

// Reads the retained lines of a configuration file; a trailing CR is removed
// from each line first. False, with no lines, when the file cannot be opened.
bool read_config_lines(const std::string& file_name, std::vector<config_line>* lines);

// Whether start-up reads `key`: the check reports every other key as unknown.
bool is_known_key(const std::string& key);

// Checks `config_file` for the executable started as `exe_name`, which names
// the default log and root. Prints "<file>:<line>: error: ..." and
// "...: warning: ..." lines, then "configuration ok" when there was no error.
// An unknown key is a warning (a file may carry keys of a later version);
// anything else that would not be used as written is an error. Returns the
// exit status: 0 without errors, 1 otherwise.
int check_config(const std::string& config_file, const std::string& exe_name);
