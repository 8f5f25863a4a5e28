// The command line of websrv: which configuration file to read, and whether
// to check it instead of serving. --help and --version are answered here.
#pragma once

#include <string>

struct command_line {
    std::string config_file;    // -c FILE; otherwise the executable's path with ".cfg"
    bool config_named = false;  // -c was given: the file is read in the modern form
    bool check = false;         // -t: check the configuration, serve nothing

    // The quick start, `websrv [OPTIONS] DIR`: DIR is served as it is, with
    // no configuration file; the options below belong to it alone.
    std::string share_dir;     // DIR; empty: the configuration file's form
    std::string bind;          // -b ADDR
    std::string port;          // -p N
    std::string auth;          // --auth USER:PASSWORD (wiped from the arguments once read)
    std::string auth_file;     // --auth-file FILE: a USER:PASSWORD line, or an htpasswd file
    bool upload = false;       // -u: every user may store new files and make folders
    bool write = false;        // -w: every user may also replace, move, delete and lock
    bool hidden = false;       // --hidden: names beginning with "." are served and listed
    bool replace = false;      // --replace: uploads may replace existing files
    bool public_read = false;  // --public: anyone may read without a login
    std::string max_upload;    // --max-upload SIZE: the largest upload ("20G")
    bool tls = false;          // --tls: HTTPS, with a certificate kept between starts
    bool new_cert = false;     // --new-cert: with --tls, a new certificate in place of the kept one
    std::string tls_cert;      // --tls-cert FILE, with --tls-key FILE: HTTPS with this pair
    std::string tls_key;
    std::string log_file;  // --log FILE

    // `websrv --hash-password [USER]`: prints an htpasswd line and serves nothing.
    bool hash_password = false;
    std::string hash_user = "user";

    // `websrv --passwd FILE USER`: sets USER's password in the password file
    // FILE and serves nothing.
    bool passwd = false;
    std::string passwd_file;
    std::string passwd_user;
};

// Reads the arguments into `options`. Returns -1 when the process is to go
// on (to serve, or to check); otherwise the exit status of an answer already
// given: 0 after --help or --version (printed on standard output), 2 after a
// one-line error on standard error. Neither touches the log or the network.
// The options of the forms do not mix. The value of --auth is overwritten in
// `argv` once read, so that other users do not see it in the process list.
int answer_arguments(int argc, char** argv, command_line* options);
