// The check of a configuration file before it is used (websrv --check).
//
// The check reads a file as start-up does and reports, on standard error,
// every line that is not used as its writer surely meant. It writes nothing
// else: no log, no socket.
#pragma once

#include <string>
#include <vector>

#include "app/config.h"

// One thing the check found, on a line of the file (0: the file as a whole).
struct config_finding {
    int line;
    bool error;        // else a warning
    bool stops_start;  // the modern form does not start with it
    std::string text;
};

// What the check finds in `config_file`, in the order of the lines, then
// what holds of the settings in force.
std::vector<config_finding> check_config_file(const std::string& config_file,
                                              const std::string& exe_name, config_form form);

// Checks `config_file` for the executable started as `exe_name`, which names
// the default log and root. Prints "<file>:<line>: error: ..." and
// "...: warning: ..." lines, then "configuration ok" when there was no error.
// In the file beside the executable an unknown key is a warning (a file may
// carry keys of a later version); anything else that would not be used as
// written is an error. Returns the exit status: 0 without errors, 1 otherwise.
int check_config(const std::string& config_file, const std::string& exe_name, config_form form);

// Whether a file named with -c may start: in the modern form a line without
// "=", an unknown key (a typo such as "pasword=" would leave the default
// login in force), or a file that sets neither a password nor a password
// file stops the start, and those errors are printed as the check prints
// them. Always true in the bare form, which starts as it always did.
bool config_may_start(const std::string& config_file, const std::string& exe_name,
                      config_form form);
