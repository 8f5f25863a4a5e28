// Start-up, configuration and the main loop of the websrv process.
//
// The settings are written during start-up only and read afterwards by the
// connection nodes. The configuration file and the log file are named after
// the executable: its path with the extension ".cfg" and ".log".
#pragma once

#include <string>

#include "app/simple_server.h"
#include "http/http_utils.h"

namespace settings {
extern std::string exe_name;  // argv[0], as the process was started
extern std::string login;     // the one login of Basic authentication
extern std::string password;
extern std::string root;  // joined to request paths as text: ends with a separator
extern int sizeof_in;     // each connection's receive buffer, in bytes (positive)
extern int sizeof_out;    // each connection's response buffer, in bytes (positive)
}  // namespace settings

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
// number keeps the value in force.
void apply_config(const param_map& params, listen_address* address);

// Steps up to activation: names the files after `argv0`, opens the log,
// reads the configuration, logs the settings, prepares and activates `server`.
// Returns whether the server listens.
bool start_up(const char* argv0);

// Polls `server` every 100 ms, for ever.
[[noreturn]] void run_main_loop();
