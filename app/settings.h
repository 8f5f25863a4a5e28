// The process-wide settings of websrv.
//
// They get their defaults before main runs, are written by start-up only
// (from the configuration file) and are read afterwards by the connection
// nodes; nothing changes them while the server runs.
#pragma once

#include <string>

#include "http/http_utils.h"

namespace settings {
extern std::string exe_name;  // argv[0], as the process was started
extern std::string login;     // the one login of Basic authentication
extern std::string password;
extern std::string root;  // joined to request paths as text: ends with "/" (or is empty)
extern int sizeof_in;     // each connection's receive buffer, in bytes (positive)
extern int sizeof_out;    // each connection's response buffer, in bytes (positive)

// For serving an ordinary site; each is off, or keeps its default, unless the
// configuration sets it.
extern std::string content_types;     // the file of the media-type table (mime.types format)
extern param_map content_type_table;  // read from it; empty: only the built-in types
extern bool decode_path;              // percent-decode request paths
extern std::string index_name;        // served for a path that ends in "/"
extern bool http10;                   // answer HTTP/1.0 requests too
extern bool head;                     // answer HEAD as GET, without the body
extern bool large_files;              // send large bodies from the file, of any size
extern bool ranges;                   // answer byte ranges of files
extern bool conditional;              // entity tags, and 304 for current copies
extern std::string listing;   // "1": list a directory without its index; "all": hidden names too
extern std::string upload;    // "1": authenticated clients may upload; "replace": over files too
extern long long upload_max;  // the largest body of one upload, in bytes

// How connections are driven; off unless the configuration sets them.
extern bool wake_on_io;           // wait for socket readiness instead of a fixed pause
extern unsigned int job_timeout;  // ms each job of a connection may last; 0: no limit
extern unsigned int login_limit;  // failed logins an address may make a minute; 0: no limit

// How the process starts; read by start-up only.
extern std::string log_file;  // the log: the key log, or the executable's path with ".log"
extern bool log_append;       // the log is appended to instead of emptied at the start
extern bool exit_on_failure;  // a log that cannot be opened or a failed activation ends it
}  // namespace settings
