// Start-up, configuration and the main loop of the websrv process.
//
// The settings are written during start-up only and read afterwards by the
// connection nodes. The configuration file and the log file are named after
// the executable: its path with the extension ".cfg" and ".log".
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

// Answers a command line that holds arguments: "--help" or "-h" prints the
// usage text and "--version" the version, both on standard output with the
// exit status 0; anything else prints a one-line error on standard error with
// the status 2. Neither touches the log or the network. Returns -1 when there
// are no arguments: the server is to start.
int answer_arguments(int argc, char** argv);

// Steps up to activation: names the files after `argv0`, opens the log,
// reads the configuration, logs the settings, prepares and activates `server`.
// Returns false only when another copy of websrv holds the log file (the
// reason is on standard error and the log is left untouched): the process
// must not serve. A server that could not be activated still returns true;
// the log says why, and the process goes on polling as it always does.
bool start_up(const char* argv0);

// Polls `server` for ever: every 100 ms, or, with `wake_on_io`, as soon as
// a socket has work (and at least every 100 ms).
[[noreturn]] void run_main_loop();
