// Start-up, configuration and the main loop of the websrv process.
//
// The settings are written during start-up only and read afterwards by the
// connection nodes. The configuration file and the log file are named after
// the executable, its path with the extension ".cfg" and ".log", unless the
// command line names the configuration and its key log names the log.
#pragma once

#include <string>

#include "app/responder.h"
#include "app/settings.h"
#include "app/simple_server.h"
#include "http/http_utils.h"

// The one listening server of the process.
extern simple_se_server server;

// Where the server listens; handed to `server` and kept nowhere else.
struct listen_address {
    std::string ip = "0";  // "0" listens on every interface
    unsigned short port = 80;
};

// Reads a configuration file into the text that parse_params reads: every
// retained line followed by "\r\n", then one more "\r\n". A trailing CR is
// removed from each line; empty lines and lines that begin with "//" are
// dropped. Returns false, with an empty text, when the file cannot be opened.
bool read_config_text(const std::string& file_name, std::string* text);

// Takes the recognised keys from a parsed configuration into the settings
// and `address`; other keys are ignored. A buffer size that is not a positive
// number keeps the value in force, and so does an index that is not a plain
// file name. A content-type table that cannot be read is reported in the log
// and on standard error, and the built-in types are used.
void apply_config(const param_map& params, listen_address* address);

// The site policy that the settings in force describe.
site_policy site_policy_from_settings();

// A file name without a directory part, as `index` must be.
bool is_plain_name(const std::string& name);

// Reads a media-type table in the mime.types format from a regular file.
// False, with `types` empty, when the file cannot be read or holds no table.
bool read_content_types(const std::string& file_name, param_map* types);

// Steps up to activation: reads the configuration file `config_file`,
// opens the log (named after `argv0` unless the key log names it), logs the
// settings, prepares and activates `server`, and catches SIGUSR1 (the log is
// opened again by name), SIGINT and SIGTERM (the process ends with status 0).
// Returns false when the process must not serve: another copy of websrv
// holds the log file (the log is left untouched), or, with exit_on_failure,
// the log could not be opened or the server not activated. Each reason is on
// standard error. Without exit_on_failure a server that could not be
// activated still returns true: the process goes on polling as it always does.
bool start_up(const char* argv0, const std::string& config_file);

// The same steps for the quick start: `params` are the configuration keys
// that share_config made, and the log goes to standard output and, when
// `log_file` is not empty, to that file.
bool start_sharing(const char* argv0, const param_map& params, const std::string& log_file);

// Polls `server` until SIGINT or SIGTERM: every 100 ms, or, with
// `wake_on_io`, as soon as a socket has work (and at least every 100 ms).
// Between two polls it writes the log gathered during the poll (with
// `wake_on_io`) and acts on the signals that start_up catches.
[[noreturn]] void run_main_loop();
