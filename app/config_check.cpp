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

// Reads the lines as start-up reads them, and gathers what it finds.
class config_checker {
  public:
    config_checker(const std::string& config_file, const std::string& exe_name, config_form form)
        : file(config_file), exe(exe_name), form(form) {}

    std::vector<config_finding> run() {
        std::vector<config_line> lines;
        if (!read_config_lines(file, form, &lines)) {
            // EINVAL: opened, but not a regular file, which is never read.
            const char* why = errno == EINVAL ? "not a regular file" : strerror(errno);
            report(0, "error", std::string("can not read it: ") + why, true);
        } else {
            check_lines(lines);
            check_settings_in_force();
        }
        return std::move(findings);
    }

  private:
    struct setting {
        std::string value;
        int line;
    };

    // `stops`: in the modern form, the finding keeps the server from starting.
    void report(int line, const char* severity, const std::string& text, bool stops = false) {
        findings.push_back({line, severity[0] == 'e', stops && form == config_form::modern, text});
    }

    // A line without "=" begins a key that runs on to the next "=", across
    // line ends: it swallows the next line's key.
    void check_lines(const std::vector<config_line>& lines) {
        const config_entries read = read_config_entries(lines);
        for (const config_entry& entry : read.entries) {
            for (int number : entry.joined) {
                report(number, "error",
                       "no \"=\": the line is joined with line " + std::to_string(entry.line) +
                           " into one key, and both are ignored (" + comment_rule() + ")",
                       true);
            }
            if (entry.joined.empty()) check_entry(entry.key, entry.value, entry.line);
        }
        for (int number : read.unterminated) {
            report(number, "error",
                   "no \"=\" on this line or any later one: the whole file is refused and every "
                   "setting keeps its default (" +
                       comment_rule() + ")",
                   true);
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
                           bare + "=" + std::string(trim_blanks(value)),
                       true);
            } else if (form == config_form::modern) {
                report(line, "error", "unknown key " + quoted(key), true);
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
        check_rights();
        check_proxy_protocol();
        check_workers();
    }

    // Each worker keeps the WebDAV locks taken through it; only a user who
    // may change the share takes one.
    void check_workers() {
        const setting workers = value_of("workers", "1");
        const bool several = workers.value == "auto" || atoi(workers.value.c_str()) > 1;
        if (!several || atoi(value_of("webdav", "0").value.c_str()) == 0) return;
        std::map<std::string, share_access> given;
        std::string ignored;
        parse_rights(value_of("rights", "").value, &given, &ignored);
        if (std::none_of(given.begin(), given.end(),
                         [](const auto& user) { return user.second == share_access::change; }))
            return;
        report(workers.line, "warning",
               "each worker keeps its own WebDAV locks: a lock taken through one is not seen by "
               "the others (workers=1 keeps them all)");
    }

    void check_proxy_protocol() {
        const setting protocol = value_of("proxy_protocol", "0");
        if (atoi(protocol.value.c_str()) == 0) return;
        configuration config = default_configuration(exe);
        param_map params;
        for (const auto& [key, found] : in_force)
            params[key] = found.value;
        apply_config(params, form, &config);
        if (std::string why; proxy_protocol_problem(config, &why))
            report(protocol.line, "error", why, true);
    }

    // Every name the key rights gives rights to is a user who can log in.
    void check_rights() {
        const setting rights = value_of("rights", "");
        std::map<std::string, share_access> given;
        std::string ignored;
        if (!parse_rights(rights.value, &given, &ignored)) return;  // told on its line
        const configuration defaults = default_configuration(exe);
        const setting htpasswd = value_of("htpasswd", "");
        password_file users;
        if (!htpasswd.value.empty()) users.load(htpasswd.value, nullptr);
        const std::string login = value_of("login", defaults.site.login).value;
        for (const auto& [user, level] : given) {
            const bool known =
                user == "*" ||
                (htpasswd.value.empty() ? user == login && !login.empty() : users.has_user(user));
            if (!known)
                report(rights.line, "error", "rights: " + user + " is no user who can log in");
        }
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

    // What the login guards: no password at all (authentication off) or the
    // password every copy of websrv starts with is an error wherever others
    // can connect, and in the modern form a file that sets neither a password
    // nor a password file does not start.
    void check_password() {
        const configuration defaults = default_configuration(exe);
        if (in_force.count("htpasswd") != 0) return;
        const bool password_set = in_force.count("password") != 0;
        if (form == config_form::modern && !password_set) {
            report(0, "error",
                   "neither password= nor htpasswd= is set: the login user:5712, which everyone "
                   "knows, would be in force",
                   true);
            return;
        }
        const setting password = value_of("password", defaults.site.password);
        const bool off =
            password.value.empty() && value_of("login", defaults.site.login).value.empty();
        if (password.value != defaults.site.password && !off) return;
        const exposure reach = listen_exposure(value_of("ip", default_ip(form)).value, form);
        if (off) {
            if (reach == exposure::loopback) return;
            report(password.line, reach == exposure::every_interface ? "error" : "warning",
                   std::string("authentication is off (login= and password= are empty) and ") +
                       (reach == exposure::every_interface ? "every interface" : "others") +
                       " can connect");
        } else if (reach == exposure::loopback) {
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
    std::vector<config_finding> findings;
};

}  // namespace

std::vector<config_finding> check_config_file(const std::string& config_file,
                                              const std::string& exe_name, config_form form) {
    return config_checker(config_file, exe_name, form).run();
}

void print_findings(const std::string& config_file, const std::vector<config_finding>& findings) {
    int errors = 0;
    for (const config_finding& found : findings) {
        const char* severity = found.error ? "error" : "warning";
        if (found.line > 0) {
            fprintf(stderr, "%s:%d: %s: %s\n", config_file.c_str(), found.line, severity,
                    found.text.c_str());
        } else {
            fprintf(stderr, "%s: %s: %s\n", config_file.c_str(), severity, found.text.c_str());
        }
        errors += found.error ? 1 : 0;
    }
    if (errors == 0) {
        fprintf(stderr, "configuration ok\n");
        return;
    }
    fprintf(stderr, "%s: configuration not ok: %d error%s\n", config_file.c_str(), errors,
            errors == 1 ? "" : "s");
}

int check_config(const std::string& config_file, const std::string& exe_name, config_form form) {
    const std::vector<config_finding> findings = check_config_file(config_file, exe_name, form);
    print_findings(config_file, findings);
    return std::any_of(findings.begin(), findings.end(),
                       [](const config_finding& found) { return found.error; })
               ? 1
               : 0;
}

bool config_may_start(const std::string& config_file, const std::string& exe_name,
                      config_form form) {
    std::vector<config_finding> stopping = check_config_file(config_file, exe_name, form);
    std::erase_if(stopping, [](const config_finding& found) { return !found.stops_start; });
    if (stopping.empty()) return true;
    print_findings(config_file, stopping);
    return false;
}
