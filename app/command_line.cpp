#include "app/command_line.h"

#include <cstdio>
#include <cstring>

#include "http/http_utils.h"

namespace {

void print_usage(const char* name) {
    printf(
        "Usage: %s [-b ADDR] [-p PORT] [--auth USER:PASSWORD] [-u] [-w] [--tls] [--log FILE] DIR\n"
        "       %s [-c FILE] [-t]\n"
        "       %s --passwd FILE USER\n"
        "       %s --hash-password [USER]\n"
        "       %s --help | --version\n"
        "Serves one directory over HTTP/1.1 behind HTTP Basic authentication.\n"
        "\n"
        "Share a folder at once (no configuration file, nothing written beside the\n"
        "program): it prints the addresses to open and the login, and lists folders.\n"
        "  -b, --bind ADDR    listen on this address only, IPv4, IPv6 or a name\n"
        "                     (127.0.0.1 or ::1: this machine only); default:\n"
        "                     every interface, IPv4 and IPv6\n"
        "  -p, --port N       listen on port N (default 8080)\n"
        "      --auth U:P     the login and password; default: WEBSRV_AUTH (U:P) from\n"
        "                     the environment, or the login user and a random\n"
        "                     password, printed at the start\n"
        "      --auth-file F  the login and password from a file: one line U:P, or a\n"
        "                     password file of several users (see --passwd)\n"
        "  -u, --upload       let clients that log in upload new files and make folders\n"
        "  -w, --write        let them also replace, rename, move and delete (the\n"
        "                     folder can be mounted over WebDAV, read-only without -u\n"
        "                     and -w)\n"
        "      --replace      with -u, let uploads replace files of the same name\n"
        "      --max-upload SIZE\n"
        "                     the largest upload, such as 500M or 20G (default 64G);\n"
        "                     one that would fill the disk is refused before it is read\n"
        "      --public       let anyone read without logging in (writes need a login)\n"
        "      --hidden       serve and list names that begin with \".\" (hidden, and\n"
        "                     not served by name, otherwise)\n"
        "      --tls          serve HTTPS with a certificate of its own, kept in\n"
        "                     ~/.local/state/websrv/ for the next start (its SHA-256\n"
        "                     fingerprint is printed, to compare with the browser's)\n"
        "      --new-cert     with --tls, make a new certificate instead of the kept one\n"
        "      --tls-cert F   serve HTTPS with the certificate F (PEM, with its chain)\n"
        "      --tls-key F    and its key F (PEM)\n"
        "      --log FILE     write the log to FILE as well (created 0600); by default\n"
        "                     it goes to standard output only\n"
        "\n"
        "Serve as a configuration file says:\n"
        "  -c, --config FILE  read the configuration from FILE instead of %s\n"
        "  -t, --check        check the configuration and exit: every problem goes to\n"
        "                     standard error with its line; the status is 0 when it\n"
        "                     says \"configuration ok\", else 1. Nothing is served or logged\n"
        "\n"
        "Manage a password file, for the key htpasswd or --auth-file:\n"
        "      --passwd FILE USER\n"
        "                     read a password (twice from the terminal, without echo,\n"
        "                     or the first line of standard input) and add USER's\n"
        "                     line to FILE, or replace the line USER has; every other\n"
        "                     line stays, and FILE is replaced at once, never half\n"
        "                     written (a new FILE is readable by its owner only)\n"
        "      --hash-password [USER]\n"
        "                     read a password the same way and print a line for USER\n"
        "                     (default user)\n"
        "\n"
        "  -h, --help         print this text\n"
        "      --version      print the version\n"
        "\n"
        "It writes its log to %s (or the file the key log names) and to\n"
        "standard output, serves the directory %sroot/ unless the\n"
        "configuration names another root, and runs until it is stopped:\n"
        "SIGINT and SIGTERM end it with the status 0, SIGUSR1 makes it open its log\n"
        "file again by name (after the file was moved away). The README lists every\n"
        "configuration key.\n",
        name, name, name, name, name, change_ext(name, ".cfg").c_str(),
        change_ext(name, ".log").c_str(), get_path(name).c_str());
}

// The field of a quick-start option that takes a value, or null.
std::string* share_option(const char* argument, command_line* options) {
    auto is = [argument](const char* option) { return strcmp(argument, option) == 0; };
    if (is("-b") || is("--bind")) return &options->bind;
    if (is("-p") || is("--port")) return &options->port;
    if (is("--auth")) return &options->auth;
    if (is("--log")) return &options->log_file;
    if (is("--auth-file")) return &options->auth_file;
    if (is("--tls-cert")) return &options->tls_cert;
    if (is("--tls-key")) return &options->tls_key;
    if (is("--max-upload")) return &options->max_upload;
    return nullptr;
}

int refuse(const char* name, const char* what, const char* argument) {
    fprintf(stderr, "%s: %s '%s' (see --help)\n", name, what, argument);
    return 2;
}

}  // namespace

int answer_arguments(int argc, char** argv, command_line* options) {
    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : "websrv";
    options->config_file = change_ext(name, ".cfg");
    bool help = false;
    bool version = false;
    bool& config_named = options->config_named;
    bool share_options = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        auto is = [argument](const char* option) { return strcmp(argument, option) == 0; };
        if (is("--help") || is("-h")) {
            help = true;
        } else if (is("--version")) {
            version = true;
        } else if (is("--check") || is("-t")) {
            options->check = true;
        } else if (is("--config") || is("-c")) {
            if (i + 1 == argc) return refuse(name, "a file name must follow", argument);
            if (config_named) return refuse(name, "a second configuration file", argv[i + 1]);
            options->config_file = argv[++i];
            config_named = true;
        } else if (std::string* value = share_option(argument, options)) {
            if (i + 1 == argc) return refuse(name, "a value must follow", argument);
            *value = argv[++i];
            // A password in the arguments is readable by every user in ps.
            if (value == &options->auth) explicit_bzero(argv[i], strlen(argv[i]));
            share_options = true;
        } else if (is("--hash-password")) {
            options->hash_password = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') options->hash_user = argv[++i];
        } else if (is("--passwd")) {
            if (i + 2 >= argc || options->passwd) {
                return refuse(name, "--passwd takes a file and a user, as in",
                              "websrv --passwd /etc/websrv/htpasswd alice");
            }
            options->passwd = true;
            options->passwd_file = argv[++i];
            options->passwd_user = argv[++i];
        } else if (is("--upload") || is("-u")) {
            options->upload = true;
            share_options = true;
        } else if (is("--write") || is("-w")) {
            options->write = true;
            share_options = true;
        } else if (is("--tls")) {
            options->tls = true;
            share_options = true;
        } else if (is("--new-cert")) {
            options->new_cert = true;
            share_options = true;
        } else if (is("--hidden")) {
            options->hidden = true;
            share_options = true;
        } else if (is("--replace")) {
            options->replace = true;
            share_options = true;
        } else if (is("--public")) {
            options->public_read = true;
            share_options = true;
        } else if (argument[0] != '-' && options->share_dir.empty()) {
            options->share_dir = argument;
        } else {
            return refuse(name, "unexpected argument", argument);
        }
    }
    if ((help || version) && !options->share_dir.empty()) {
        return refuse(name, "unexpected argument", options->share_dir.c_str());
    }
    if ((config_named || options->check) && !options->share_dir.empty()) {
        return refuse(name, "a folder to share does not go with", config_named ? "-c" : "-t");
    }
    if (options->hash_password &&
        (share_options || config_named || options->check || !options->share_dir.empty())) {
        return refuse(name, "--hash-password does not go with other options, as in",
                      "websrv --hash-password alice");
    }
    if (options->passwd && (options->hash_password || share_options || config_named ||
                            options->check || !options->share_dir.empty())) {
        return refuse(name, "--passwd does not go with other options, as in",
                      "websrv --passwd /etc/websrv/htpasswd alice");
    }
    if (share_options && options->share_dir.empty() && !help && !version) {
        return refuse(name, "no folder to share after the options, as in", "websrv -u DIR");
    }
    if (help) {
        print_usage(name);
    } else if (version) {
        printf("websrv %s\n", WEBSRV_VERSION);
    }
    return help || version ? 0 : -1;
}
