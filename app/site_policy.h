// What a site serves and how: plain data, built once at start-up from the
// configuration and only read afterwards. Every connection of a server reads
// the same policy; what they share and change (the login limit, the
// password file, the listing pages) are services apart from it
// (app/site_services.h).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "app/log_format.h"
#include "http/forwarded.h"
#include "http/http_utils.h"

// What a user may do to the share, each level all the one before it allows
// and more.
enum class share_access {
    read,     // read files, folders and their properties
    create,   // also store new files and make new folders
    replace,  // also store over existing files
    change,   // also move, delete, change properties and lock
};

struct site_policy {
    // How each connection is driven.
    int sizeof_in = 10240;         // bytes of its receive buffer: the largest request group
    int sizeof_out = 1048576;      // bytes of its response buffer
    unsigned int job_timeout = 0;  // ms each job may last; 0: no limit

    std::string root;  // joined to request paths as text: ends with "/" (or is empty)
    std::string index_name = "index.htm";  // served for a path that ends in "/"
    std::string realm;                     // named in the 401's WWW-Authenticate field
    std::string login;                     // both empty: authentication is off
    std::string password;
    std::string expected_credentials;  // the Base64 text of login ":" password
    int max_attempts = 3;     // the highest attempt count at which credentials are still examined
    param_map content_types;  // the configured media types; empty: the built-in ones
    bool decode_path = false;
    // Only whole ".." steps climb: "a..b" is a name like any other. Otherwise
    // any "..", also inside a name, counts as a step up, and such a path is
    // refused.
    bool whole_dot_steps = false;
    bool http10 = false;
    bool head = false;
    bool large_files = false;     // a large body, or one beyond the buffer, is sent from its file
    bool ranges = false;          // byte ranges of files: 206 and 416 answers
    bool conditional = false;     // entity tags, and 304 for a copy the client has that is current
    bool listing = false;         // a directory without its index file is listed
    bool listing_hidden = false;  // names that begin with "." are listed too
    // A path with a step that begins with "." is answered 404: what a
    // listing hides is not served by name either.
    bool hide_dot_names = false;
    // The names the server answers to while authentication is off (any other
    // Host is answered 421, so that a page of another site reached through
    // a name of its own cannot read or write here), and the only ones the
    // same-site rule takes: its addresses, localhost, the machine's host
    // names and the key server_names, in lower case. Empty: every Host is
    // taken.
    std::vector<std::string> server_names;
    bool upload = false;          // authenticated clients may PUT files and POST forms of files
    bool upload_replace = false;  // an upload may replace an existing file
    bool webdav = false;          // the WebDAV methods are answered: the share can be mounted
    bool public_read = false;     // anyone may read without logging in; writes still need a login
    // What each user may do, by name; "*" stands for every user not named.
    // A user named nowhere gets what `upload` and `upload_replace` give.
    std::map<std::string, share_access> rights;
    log_format log_form = log_format::spec;  // how connections write the log
    bool tls = false;         // the site is reached over TLS only: its scheme is https
    bool date_field = false;  // every answer carries a Date field
    std::string charset;      // text, JavaScript and JSON types name it; empty: none
    // The login limit answers 429 Too Many Requests with Retry-After, not 403.
    bool retry_after = false;
    off_t upload_max = off_t{1} << 30;  // the largest body of one upload, in bytes
    // The proxies whose Forwarded and X-Forwarded-* fields name the client,
    // the scheme and the host of a request; empty: none is believed.
    address_list trusted_proxies;
    // Every connection begins with a PROXY protocol header, from a trusted
    // proxy only: it names the connection's client.
    bool proxy_protocol = false;
};

// What `user` (empty: nobody logged in, or authentication is off) may do.
share_access access_of(const site_policy& site, const std::string& user);

// Whether anyone may change the share at all: its answers then tell browsers
// not to guess types from bytes that clients stored.
bool share_is_writable(const site_policy& site);
