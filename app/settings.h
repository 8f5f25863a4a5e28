// The process-wide settings of websrv.
//
// They get their defaults before main runs, are written by start-up only
// (from the configuration file) and are read afterwards by the connection
// nodes; nothing changes them while the server runs.
#pragma once

#include <string>

namespace settings {
extern std::string exe_name;  // argv[0], as the process was started
extern std::string login;     // the one login of Basic authentication
extern std::string password;
extern std::string root;  // joined to request paths as text: ends with "/" (or is empty)
extern int sizeof_in;     // each connection's receive buffer, in bytes (positive)
extern int sizeof_out;    // each connection's response buffer, in bytes (positive)
}  // namespace settings
