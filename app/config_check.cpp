#include "app/config_check.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include "app/config.h"
#include "engine/tls_transport.h"

namespace {

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Reads the lines as parse_params reads their text, and reports.
class config_checker {
  public:
    config_checker(const std::string& config_file, const std::string& exe_name, config_form form)
        : file(config_file), exe(exe_name), form(form) {}

    int run() {
        std::vector<config_line> lines;
        if (!read_config_lines(file, form, &lines)) {
            // EINVAL: opened, but not a regular file, which is never read.
            const char* why = errno == EINVAL ? "not a regular file" : strerror(errno);
            report(0, "error", std::string("can not read it: ") + why);
        } else {
            check_lines(lines);
            check_settings_in_force();
        }
        if (errors == 0) {
            fprintf(stderr, "configuration ok\n");
            return 0;
        }
        fprintf(stderr, "%s: configuration not ok: %d error%s\n", file.c_str(), errors,
                errors == 1 ? "" : "s");
        return 1;
    }

  private:
    struct setting {
        std::string value;
        int line;
    };

    void report(int line, const char* severity, const std::string& text) {
        if (line > 0) {
            fprintf(stderr, "%s:%d: %s: %s\n", file.c_str(), line, severity, text.c_str());
        } else {
            fprintf(stderr, "%s: %s: %s\n", file.c_str(), severity, text.c_str());
        }
        if (severity[0] == 'e') ++errors;
    }

    // A line without "=" begins a key that runs on to the next "=", across
    // line ends: it swallows the next line's key.
    void check_lines(const std::vector<config_line>& lines) {
        std::vector<int> joined;
        for (const config_line& line : lines) {
            const size_t equals = line.text.find('=');
            if (equals == std::string::npos) {
                joined.push_back(line.number);
                continue;
            }
            for (int number : joined) {
                report(number, "error",
                       "no \"=\": the line is joined with line " + std::to_string(line.number) +
                           " into one key, and both are ignored (" + comment_rule() + ")");
            }
            if (joined.empty()) {
                check_entry(line.text.substr(0, equals), line.text.substr(equals + 1), line.number);
            }
            joined.clear();
        }
        for (int number : joined) {
            report(number, "error",
                   "no \"=\" on this line or any later one: the whole file is refused and every "
                   "setting keeps its default (" +
                       comment_rule() + ")");
            in_force.clear();
        }
    }

    std::string comment_rule() const {
        return form == config_form::modern ? "comments begin with // or #"
                                           : "comments begin with //";
    }

    void check_entry(const std::string& key, const std::string& value, int line) {
        if (!is_known_key(key)) {
            const std::string bare(trim_blanks(key));
            if (is_known_key(bare)) {
                report(line, "error",
                       "spaces around the key " + quoted(key) + ": the line is ignored; write " +
                           bare + "=" + std::string(trim_blanks(value)));
            } else {
                report(line, "warning", "unknown key " + quoted(key) + " is ignored");
            }
            return;
        }
        if (auto earlier = in_force.find(key); earlier != in_force.end()) {
            report(line, "warning",
                   key + " is set on line " + std::to_string(earlier->second.line) +
                       " already: this line is ignored");
            return;
        }
        in_force[key] = {value, line};
        for (const std::string& problem : config_value_problems(key, value, form))
            report(line, "error", key + ": " + problem);
        // Blanks at the end of a value are part of it: a password of its own.
        if (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
            report(line, "warning",
                   "the value of " + key + " ends with a blank, which is part of it");
        }
    }

    // What holds whether or not a key sets it: the root and the log must be
    // usable, and the default password must not guard more than this machine.
    void check_settings_in_force() {
        const configuration defaults = default_configuration(exe);
        if (in_force.count("root") == 0) {
            const std::string problem = root_problem(defaults.site.root);
            if (!problem.empty()) report(0, "error", "the default root " + problem);
        }
        // A log that the key names is looked at on its line.
        const setting log = value_of("log", "");
        if (log.value.empty()) {
            const std::string problem = log_file_problem(defaults.log_file);
            if (!problem.empty()) report(log.line, "error", problem);
        }
        check_password();
        check_tls();
    }

    // The certificate and its key go together, load, match, and are not
    // about to expire.
    void check_tls() {
        const setting cert = value_of("tls_cert", "");
        const setting key = value_of("tls_key", "");
        if (cert.value.empty() && key.value.empty()) return;
        if (cert.value.empty() || key.value.empty()) {
            report(std::max(cert.line, key.line), "error", "tls_cert and tls_key go together");
            return;
        }
        const tls_check found = check_tls_files(cert.value, key.value);
        if (!found.problem.empty()) report(cert.line, "error", "tls: " + found.problem);
        if (!found.warning.empty()) report(cert.line, "warning", "tls: " + found.warning);
    }

    // The settings still hold their defaults while the check runs.
    void check_password() {
        const configuration defaults = default_configuration(exe);
        const setting password = value_of("password", defaults.site.password);
        if (password.value != defaults.site.password || in_force.count("htpasswd") != 0) return;
        const in_addr_t ip = inet_addr(value_of("ip", defaults.ip).value.c_str());
        if (ip != INADDR_NONE && (ntohl(ip) >> 24) == 127) {
            report(password.line, "warning",
                   "the default password is in force; only this machine can connect, but set "
                   "password= before ip opens the server to others");
        } else {
            report(password.line, "error",
                   "the default password is in force and others can connect: set password=");
        }
    }

    setting value_of(const std::string& key, const std::string& default_value) const {
        auto it = in_force.find(key);
        return it != in_force.end() ? it->second : setting{default_value, 0};
    }

    std::string file;
    std::string exe;
    config_form form;
    std::map<std::string, setting> in_force;  // the first line of each known key
    int errors = 0;
};

}  // namespace

int check_config(const std::string& config_file, const std::string& exe_name, config_form form) {
    return config_checker(config_file, exe_name, form).run();
}
