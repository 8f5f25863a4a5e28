// websrv: serves one directory over HTTP/1.1 behind Basic authentication.
// It runs until it is stopped; --help tells more.
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "app/command_line.h"
#include "app/config_check.h"
#include "app/kept_certificate.h"
#include "app/main.h"
#include "app/passwd_command.h"
#include "app/password_file.h"
#include "app/qr_code.h"
#include "app/share.h"
#include "app/workers.h"
#include "engine/tls_transport.h"

namespace {

int share(const char* argv0, const command_line& options) {
    param_map params;
    std::string error;
    if (!share_config(options, &params, &error)) {
        fprintf(stderr, "%s: %s\n", argv0, error.c_str());
        return 2;
    }
    // A certificate of its own, for the machine's names and the addresses it
    // prints, kept for the next start.
    made_certificate made;
    std::string told;
    if (options.tls) {
        std::vector<std::string> host_names = machine_names();
        host_names.push_back("localhost");
        if (!kept_certificate(certificate_folder(), host_names, share_addresses(params),
                              options.new_cert, &made, &told)) {
            fprintf(stderr, "%s: no certificate could be made\n", argv0);
            return 1;
        }
    }
    if (!start_sharing(argv0, params, options.log_file, made.cert_pem, made.key_pem)) return 1;
    // With workers, the first one tells it, once.
    if (announces_the_start()) {
        fputs(share_banner(params, made.fingerprint).c_str(), stderr);
        if (!told.empty()) fprintf(stderr, "%s\n", told.c_str());
        // A phone in the same room opens the first address from its picture.
        if (isatty(STDOUT_FILENO))
            fputs(qr_code_text(first_address(
                                   params, !made.cert_pem.empty() || params.count("tls_cert") != 0))
                      .c_str(),
                  stderr);
    }
    run_main_loop();
}

// A password from the terminal, asked twice without echo, or the first line
// of standard input when it is not a terminal; empty when none comes.
std::string read_password() {
    std::string line;
    if (!isatty(STDIN_FILENO)) {
        std::getline(std::cin, line);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string again;
    fputs("Password: ", stderr);
    std::getline(std::cin, line);
    fputs("\nAgain: ", stderr);
    std::getline(std::cin, again);
    fputs("\n", stderr);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (line != again) {
        fputs("websrv: the two passwords differ\n", stderr);
        return "";
    }
    return line;
}

int hash_password(const command_line& options) {
    const std::string password = read_password();
    if (password.empty()) {
        fputs("websrv: no password: nothing to hash\n", stderr);
        return 2;
    }
    const std::string line = hash_password_line(options.hash_user, password);
    if (line.empty() || options.hash_user.find(':') != std::string::npos) {
        fputs("websrv: no htpasswd line could be made\n", stderr);
        return 1;
    }
    printf("%s\n", line.c_str());
    return 0;
}

int passwd(const command_line& options) {
    const std::string password = read_password();
    std::string told;
    const int status = set_password(options.passwd_file, options.passwd_user, password, &told);
    fprintf(stderr, "websrv: %s\n", told.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Every form holds a password from here on (the arguments, the
    // configuration, one typed in): no core file and no debugger of the same
    // user may read it out of memory.
    prctl(PR_SET_DUMPABLE, 0);
    command_line options;
    int status = answer_arguments(argc, argv, &options);
    if (status >= 0) return status;
    if (options.hash_password) return hash_password(options);
    if (options.passwd) return passwd(options);
    // argv[0] names the log and the default root; an exec without it gets a plain name.
    const char* argv0 = argc > 0 && argv[0] != nullptr ? argv[0] : "websrv";
    // A file named with -c takes the modern defaults; the file beside the
    // executable is read as it always was.
    const config_form form = options.config_named ? config_form::modern : config_form::bare;
    if (options.check) return check_config(options.config_file, argv0, form);
    if (!options.share_dir.empty()) return share(argv0, options);
    if (!start_up(argv0, options.config_file, form)) return 1;
    run_main_loop();
}
