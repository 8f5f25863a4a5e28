#include "app/config_check.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include "app/login_limit.h"
#include "app/main.h"

namespace {

// How start-up takes a key's value.
enum class value_kind {
    text,           // as written
    address,        // a dotted IPv4 address, or 0
    port,           // 1 to 65535
    size,           // a positive number
    count,          // 0 or a positive number
    on_off,         // a number: 0 is off, any other on
    directory,      // a directory that exists
    content_types,  // a table that read_content_types takes
    index_name,     // a plain file name
    log_file,       // a file that can be created or written
    login_limit,    // 0 to the limiter's largest limit
    listing_mode,   // a number (0 is off) or "all"
    upload_mode,    // a number (0 is off) or "replace"
    bytes,          // a positive number of bytes
};

struct known_key {
    const char* name;
    value_kind kind;
};

// Every key that start-up reads.
constexpr known_key known_keys[] = {
    {"ip", value_kind::address},
    {"port", value_kind::port},
    {"login", value_kind::text},
    {"password", value_kind::text},
    {"root", value_kind::directory},
    {"sizeof_in", value_kind::size},
    {"sizeof_out", value_kind::size},
    {"content_types", value_kind::content_types},
    {"decode_path", value_kind::on_off},
    {"index", value_kind::index_name},
    {"http10", value_kind::on_off},
    {"head", value_kind::on_off},
    {"wake_on_io", value_kind::on_off},
    {"job_timeout", value_kind::count},
    {"login_limit", value_kind::login_limit},
    {"large_files", value_kind::on_off},
    {"ranges", value_kind::on_off},
    {"conditional", value_kind::on_off},
    {"listing", value_kind::listing_mode},
    {"upload", value_kind::upload_mode},
    {"upload_max", value_kind::bytes},
    {"log", value_kind::log_file},
    {"log_append", value_kind::on_off},
    {"exit_on_failure", value_kind::on_off},
};

const known_key* find_key(const std::string& name) {
    for (const known_key& key : known_keys) {
        if (name == key.name) return &key;
    }
    return nullptr;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Why `text` is not a whole decimal number from `low` to `high`; empty when it is.
std::string number_problem(const std::string& text, long long low, long long high) {
    const size_t digits_from = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits_from ||
        text.find_first_not_of("0123456789", digits_from) != std::string::npos) {
        return quoted(text) + " is not a number";
    }
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && value >= low && value <= high) return "";
    return text + " is out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")";
}

// Why the log `name` could not be opened for writing; empty when it could.
// Nothing is created: the check writes no log.
std::string log_reason(const std::string& name) {
    struct stat info {};
    if (stat(name.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return "it is a directory";
        return access(name.c_str(), W_OK) == 0 ? "" : strerror(errno);
    }
    if (errno != ENOENT) return strerror(errno);
    const std::string directory = get_path(name).empty() ? "." : get_path(name);
    if (access(directory.c_str(), W_OK | X_OK) == 0) return "";
    return "can not create it in " + directory + ": " + strerror(errno);
}

std::string log_problem(const std::string& name) {
    const std::string reason = log_reason(name);
    return reason.empty() ? "" : "the log " + name + " can not be written: " + reason;
}

std::string directory_problem(const std::string& name) {
    struct stat info {};
    if (stat(name.empty() ? "." : name.c_str(), &info) != 0) return strerror(errno);
    return S_ISDIR(info.st_mode) ? "" : "not a directory";
}

// Why start-up would not take `value` as written for a key of `kind`; empty when it would.
std::string value_problem(value_kind kind, const std::string& value) {
    switch (kind) {
        case value_kind::text:
            return "";
        case value_kind::address:
            return inet_addr(value.c_str()) != INADDR_NONE
                       ? ""
                       : quoted(value) +
                             " is not a dotted IPv4 address (0: every interface; names are not "
                             "looked up)";
        case value_kind::port:
            return number_problem(value, 1, 65535);
        case value_kind::size:
            return number_problem(value, 1, INT_MAX);
        case value_kind::count:
        case value_kind::on_off:
            return number_problem(value, 0, INT_MAX);
        case value_kind::directory: {
            const std::string problem = directory_problem(value);
            return problem.empty() ? "" : value + ": " + problem;
        }
        case value_kind::content_types: {
            param_map types;
            if (value.empty() || read_content_types(value, &types)) return "";
            return value +
                   " is not a readable table of content types (the built-in types "
                   "would be used)";
        }
        case value_kind::index_name:
            return is_plain_name(value)
                       ? ""
                       : quoted(value) + " is not a plain file name (index.htm would be used)";
        case value_kind::log_file:
            return value.empty() ? "" : log_problem(value);
        case value_kind::login_limit:
            return number_problem(value, 0, login_limiter::max_limit);
        case value_kind::listing_mode:
            return value == "all" ? "" : number_problem(value, 0, INT_MAX);
        case value_kind::upload_mode:
            return value == "replace" ? "" : number_problem(value, 0, INT_MAX);
        case value_kind::bytes:
            return number_problem(value, 1, LLONG_MAX);
    }
    return "";
}

// Reads the lines as parse_params reads their text, and reports.
class config_checker {
  public:
    config_checker(const std::string& config_file, const std::string& exe_name)
        : file(config_file), exe(exe_name) {}

    int run() {
        std::vector<config_line> lines;
        if (!read_config_lines(file, &lines)) {
            report(0, "error", std::string("can not read it: ") + strerror(errno));
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
                           " into one key, and both are ignored");
            }
            if (joined.empty()) {
                check_entry(line.text.substr(0, equals), line.text.substr(equals + 1), line.number);
            }
            joined.clear();
        }
        for (int number : joined) {
            report(number, "error",
                   "no \"=\" on this line or any later one: the whole file is refused and every "
                   "setting keeps its default");
            in_force.clear();
        }
    }

    void check_entry(const std::string& key, const std::string& value, int line) {
        const known_key* known = find_key(key);
        if (known == nullptr) {
            const std::string bare(trim_blanks(key));
            if (find_key(bare) != nullptr) {
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
        const std::string problem = value_problem(known->kind, value);
        if (!problem.empty()) report(line, "error", key + ": " + problem);
    }

    // What holds whether or not a key sets it: the root and the log must be
    // usable, and the default password must not guard more than this machine.
    void check_settings_in_force() {
        if (in_force.count("root") == 0) {
            const std::string root = get_path(exe) + "root/";
            const std::string problem = directory_problem(root);
            if (!problem.empty()) report(0, "error", "the default root " + root + ": " + problem);
        }
        // A log that the key names is looked at on its line.
        const setting log = value_of("log", "");
        if (log.value.empty()) {
            const std::string problem = log_problem(change_ext(exe, ".log"));
            if (!problem.empty()) report(log.line, "error", problem);
        }
        check_password();
    }

    // The settings still hold their defaults while the check runs.
    void check_password() {
        const setting password = value_of("password", settings::password);
        if (password.value != settings::password) return;
        const in_addr_t ip = inet_addr(value_of("ip", listen_address().ip).value.c_str());
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
    std::map<std::string, setting> in_force;  // the first line of each known key
    int errors = 0;
};

}  // namespace

bool read_config_lines(const std::string& file_name, std::vector<config_line>* lines) {
    lines->clear();
    std::ifstream file(file_name);
    if (!file.is_open()) return false;
    std::string text;
    for (int number = 1;
         file.peek() != std::ifstream::traits_type::eof() && std::getline(file, text); ++number) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        // Empty lines and comments, which begin with two slashes, are dropped.
        if (!text.empty() && text.compare(0, 2, "//") != 0) lines->push_back({number, text});
    }
    return true;
}

bool is_known_key(const std::string& key) {
    return find_key(key) != nullptr;
}

int check_config(const std::string& config_file, const std::string& exe_name) {
    return config_checker(config_file, exe_name).run();
}
