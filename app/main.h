// Start-up and the main loop of the websrv process.
//
// The configuration is read and the settings written during start-up only;
// the connections read them afterwards through the site policy they serve.
// The configuration file and the log file are named after the executable,
// its path with the extension ".cfg" and ".log", unless the command line
// names the configuration and its key log names the log.
#pragma once

#include <string>

#include "app/config.h"
#include "app/simple_server.h"
#include "http/http_utils.h"

// The one listening server of the process.
extern simple_se_server server;

// Steps up to activation: reads the configuration file `config_file` (in
// `form`: the file beside the executable is read as specified, one named
// with -c in the modern form), opens the log (named after `argv0` unless the
// key log names it), logs the settings, prepares and activates `server`, and
// catches SIGUSR1 (the log is opened again by name), SIGINT and SIGTERM (the
// process ends with status 0). Returns false when the process must not serve:
// another copy of websrv holds the log file (the log is left untouched), or,
// with exit_on_failure, the log could not be opened or the server not
// activated. Each reason is on standard error. Without exit_on_failure a
// server that could not be activated still returns true: the process goes
// on polling as it always does.
bool start_up(const char* argv0, const std::string& config_file, config_form form);

// The same steps for the quick start: `params` are the configuration keys
// that share_config made (the modern defaults complete them), and the log
// goes to standard output and, when `log_file` is not empty, to that file.
// `cert_pem` and `key_pem`, when not empty, are a certificate made at the
// start: the folder is served over TLS with it.
bool start_sharing(const char* argv0, const param_map& params, const std::string& log_file,
                   const std::string& cert_pem, const std::string& key_pem);

// Polls `server` until SIGINT or SIGTERM: every 100 ms, or, with
// `wake_on_io`, as soon as a socket has work (and at least once a second).
// Between two polls it writes the log gathered during the poll (with
// `wake_on_io`) and acts on the signals that start_up catches.
[[noreturn]] void run_main_loop();
