// The configuration of websrv: one value that holds every setting, and one
// table of the keys that set it.
//
// Each key of the table says what kind of value it takes, how start-up reads
// it into the configuration, how the start-up lines write the value in force,
// and what the forms that the file beside the executable does not reach
// (`-c FILE`, `websrv DIR`) take when the file does not set it. Start-up, the
// start-up lines, `--check`, the `DIR` form and the site policy are loops over
// that table: a new key is one row. Each default is written once: the
// specified ones in `configuration`, `site_policy` and default_configuration,
// the modern ones in the table.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/config_form.h"
#include "app/config_lines.h"
#include "app/password_file.h"
#include "app/site_policy.h"
#include "app/site_services.h"
#include "http/http_utils.h"

// The most processes that workers=N starts.
constexpr unsigned int max_workers = 64;
// The most small files that open_files=N keeps open.
constexpr unsigned int max_open_files = 4096;

struct configuration {
    config_form form = config_form::bare;
    std::string exe_name;  // argv[0], as the process was started
    std::string ip = "0";  // where the server listens; "0": every interface
    unsigned short port = 80;
    site_policy site;  // what and how the connections serve

    // Texts as the file set them, for the start-up lines.
    std::string content_types;          // the media-type table's file; empty: the built-in types
    bool content_types_unread = false;  // it could not be read: the built-in types are used
    std::string tls_cert;               // the certificate (PEM, with its chain); empty: plain HTTP
    std::string tls_key;                // its key (PEM)
    // A certificate and key made at start-up, held in memory only (--tls).
    std::string tls_cert_pem, tls_key_pem;
    std::string htpasswd;                        // the password file; empty: login and password
    std::shared_ptr<password_file> users;        // its users, read at start-up; null without it
    std::vector<std::string> htpasswd_problems;  // its lines that are not taken, or it is unread
    bool htpasswd_unread = false;                // it could not be read: nobody can log in
    std::string listing;                         // "1": listings; "all": hidden names too
    std::string upload;                          // "1": uploads; "replace": over existing files too
    std::string server_names;                    // names of this server beside its own, by ","
    std::string rights;                          // user:level pairs, by ",", as written
    std::string trusted_proxies;                 // addresses and prefixes, by ",", as written
    bool wake_on_io = false;       // wait for socket readiness instead of a fixed pause
    unsigned int login_limit = 0;  // failed logins an address may make a minute; 0: no limit
    std::string log_file;          // the log: the key log, or the executable's path with ".log"
    bool log_append = false;       // the log is appended to instead of emptied at the start
    bool exit_on_failure = false;  // a log that cannot be opened or a failed activation ends it
    unsigned int workers = 1;      // processes that serve; above 1, a parent watches over them
    unsigned int open_files = 0;   // small files kept open between requests; 0: none
    std::vector<std::string> from_defaults;  // keys whose value is the form's modern default
};

// The configuration of the executable started as `exe_name`, before any key:
// the login user with the password 5712, the root beside it, the log named
// after it.
configuration default_configuration(const std::string& exe_name);

// Takes the recognised keys of `params` into `config`, in the table's order;
// other keys are ignored. With the modern form, every key that `params` does
// not set and that has a modern default takes it. A buffer size that is not a
// positive number keeps the value in force, and so does an index that is not
// a plain file name. A content-type table that cannot be read leaves the
// built-in types, and `content_types_unread` set for start-up to tell.
void apply_config(const param_map& params, config_form form, configuration* config);

// The start-up lines of the settings in force: ip, port, login, password,
// root, sizeof_in and sizeof_out always, every other key that `params` sets
// or that took a modern default. Each line "////key=value\n"; a modern
// default is followed by " (default)". The modern form does not show the
// password.
std::vector<std::string> settings_lines(const configuration& config, const param_map& params);

// The site that the configuration describes, assembled in one place: the
// policy, with what follows from its keys (the realm, the executable's name;
// the expected credentials), and the services its connections share (the
// login limit, the users of the password file).
void assemble_site(const configuration& config, site_policy* site, site_services* services);

// The site policy alone, for what only reads it.
site_policy policy_of(const configuration& config);

// The rights of the key rights: "alice:change,bob:read,*:create", the levels
// read, create, replace and change, "*" for every user not named. False, with
// `rights` empty and `problem` saying why, for anything else.
bool parse_rights(std::string_view text, std::map<std::string, share_access>* rights,
                  std::string* problem);

// Whether start-up reads `key`.
bool is_known_key(const std::string& key);

// Why start-up would not take `value` as written for `key`: one line for
// each problem (a password file has one for each line it does not take);
// none when it would (and for unknown keys).
std::vector<std::string> config_value_problems(const std::string& key, const std::string& value,
                                               config_form form);

// Why the PROXY protocol cannot be taken as configured: a header comes
// before anything else on the connection, where a TLS listener expects its
// handshake, and a connection from a peer not trusted is closed, so without
// a trusted proxy nobody could be served. False when it can, or is off.
bool proxy_protocol_problem(const configuration& config, std::string* why);

// Whether a process with this configuration may serve: not with a password
// file that has lines it does not take, which would keep their users out
// unnoticed (the lines themselves are in `htpasswd_problems`), and not with
// proxy_protocol over TLS or without a trusted proxy. False with the reason
// in `why`.
bool may_start(const configuration& config, std::string* why);

// The address to listen on for the key ip: a dotted IPv4 address ("0":
// every interface) or an IPv6 one ("::": every address, IPv4 ones too) as it
// is, and in the modern form a name (localhost) as its first address.
// Empty when it is none: the bare start then fails to bind, as always.
std::string listen_address(const std::string& ip, config_form form);

// The addresses a server listening on `ip` is reached at: every address of
// this machine (loopback last; IPv4 ones only for "0") when it listens on
// all of them, else the one it is bound to.
std::vector<std::string> listening_addresses(const std::string& ip, config_form form);

// The names of this machine: its host name, and "NAME.local" for a name
// without a domain. Read without asking a resolver.
std::vector<std::string> machine_names();

// Whether this machine has IPv6: the modern forms then listen on "::", for
// IPv4 and IPv6 clients both.
bool has_ipv6();

// The address the form listens on when the key ip is not set: "0" for the
// file beside the executable, every address ("::", or "0" without IPv6) in
// the modern forms.
std::string default_ip(config_form form);

// Who can connect to a server listening on the key ip's value.
enum class exposure {
    loopback,         // this machine only
    every_interface,  // every address of the machine
    others,           // one address that others reach
};
exposure listen_exposure(const std::string& ip, config_form form);

// Why the log `name` could not be opened for writing; empty when it could.
// Nothing is created.
std::string log_file_problem(const std::string& name);

// Why `root` is not a directory that can be served; empty when it is.
std::string root_problem(const std::string& root);

// A file name without a directory part, as `index` must be.
bool is_plain_name(const std::string& name);

// Reads a media-type table in the mime.types format from a regular file.
// False, with `types` empty, when the file cannot be read or holds no table.
bool read_content_types(const std::string& file_name, param_map* types);

// The media types of the common web files, in the mime.types format: the
// modern forms' table when the system's (/etc/mime.types) is not there.
extern const char* const web_content_types;
