// The check of a configuration file before it is used (websrv --check).
//
// The check reads a file as start-up does and reports, on standard error,
// every line that is not used as its writer surely meant. It writes nothing
// else: no log, no socket.
#pragma once

#include <string>

#include "app/config.h"

// Checks `config_file` for the executable started as `exe_name`, which names
// the default log and root. Prints "<file>:<line>: error: ..." and
// "...: warning: ..." lines, then "configuration ok" when there was no error.
// An unknown key is a warning (a file may carry keys of a later version);
// anything else that would not be used as written is an error. Returns the
// exit status: 0 without errors, 1 otherwise.
int check_config(const std::string& config_file, const std::string& exe_name, config_form form);
