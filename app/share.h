// The quick start, `websrv [OPTIONS] DIR`: the configuration that shares one
// folder at once, pleasant and safe, with no configuration file.
//
// Every mode that makes a folder pleasant and safe is on: the modern defaults
// of the configuration (readiness waiting, a job time limit of a minute,
// decoded paths, index.html, HTTP/1.0 and HEAD, the login limit, large files,
// ranges and revalidation, the combined log), and the listing; uploads only
// when asked for. A password is always set: the one given, or a random one.
#pragma once

#include <string>
#include <vector>

#include "app/command_line.h"
#include "http/http_utils.h"

// The configuration keys that serve `options.share_dir` as the options say.
// False, with a one-line reason in `error`, for options that cannot be used:
// a folder that is not a readable directory, a port that is not a number
// from 1 to 65535, an address that is not dotted IPv4, --auth without ":" or
// with an empty password.
bool share_config(const command_line& options, param_map* params, std::string* error);

// A size as the options write it: a number of bytes, or of KiB, MiB, GiB or
// TiB with the letter K, M, G or T after it (either case). -1 when it is
// none, or too large.
long long size_in_bytes(const std::string& text);

// At least 64 bits from the kernel's random source, in groups of letters and
// digits that are easy to read and type ("k7wq-3mfp-x9ra-c4tn": 80 bits).
std::string random_password();

// The addresses the folder is reached at: every address of this machine
// (loopback last) when it listens on all of them, else the one it is bound to.
std::vector<std::string> share_addresses(const param_map& params);

// The first address the banner prints, as a URL ("http://192.168.1.20:8080/";
// https with `tls`).
std::string first_address(const param_map& params, bool tls);

// The lines that tell where the folder is served and how to log in: the
// addresses to open with the port (https:// with TLS), the certificate's
// SHA-256 fingerprint when one was made at the start, then the login and
// password.
std::string share_banner(const param_map& params, const std::string& fingerprint);
