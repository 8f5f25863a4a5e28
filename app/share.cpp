#include "app/share.h"

#include "app/config.h"
#include "app/password_file.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

namespace {

const char* const default_port = "8080";

std::string value_or(const param_map& params, const char* key, const char* fallback) {
    auto it = params.find(key);
    return it == params.end() ? fallback : it->second;
}

bool is_port(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int port = atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

bool is_readable_directory(const std::string& name) {
    struct stat info {};
    return !name.empty() && stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           access(name.c_str(), R_OK | X_OK) == 0;
}

}  // namespace

std::string random_password() {
    // No 0/o, 1/l/i: nothing to mistake when it is read out or typed.
    static const char letters[] = "23456789abcdefghjkmnpqrstuvwxyz";
    unsigned char bytes[16] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof bytes) return "";  // no random source: the caller refuses to start
    std::string password;
    for (size_t i = 0; i < sizeof bytes; ++i) {
        if (i > 0 && i % 4 == 0) password += '-';
        password += letters[bytes[i] % (sizeof letters - 1)];
    }
    return password;
}

namespace {

// "USER:PASSWORD" into its two parts; false without ":" or without a password.
bool split_credentials(const std::string& text, std::string* login, std::string* password) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return false;
    *login = text.substr(0, colon);
    *password = text.substr(colon + 1);
    return true;
}

// The file of --auth-file: a password file (every entry "user:hash", told
// at the start when one is not taken), or exactly one line "USER:PASSWORD".
// Comments and blank lines do not count.
bool credentials_from_file(const std::string& name, std::string* login, std::string* password,
                           std::string* htpasswd, std::string* error) {
    std::string text;
    struct stat info {};
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool read = fd != -1 && read_password_file(fd, &text, &info);
    if (fd != -1) close(fd);
    if (!read) {
        *error = "can not read " + name + " (a regular file of at most 1 MiB)";
        return false;
    }
    const std::vector<password_entry> entries = password_entries(text);
    auto plain = [](const password_entry& e) {
        return !e.user.empty() && !e.secret.empty() && !looks_hashed(e.secret);
    };
    const auto plain_lines = std::count_if(entries.begin(), entries.end(), plain);
    const bool hashed = std::any_of(entries.begin(), entries.end(), [](const password_entry& e) {
        return !e.user.empty() && looks_hashed(e.secret);
    });
    if (plain_lines == 0 && hashed) {
        *htpasswd = name;
        return true;
    }
    if (plain_lines == 1 && entries.size() == 1) {
        *login = entries[0].user;
        *password = entries[0].secret;
        return true;
    }
    *error = plain_lines == 0
                 ? name + " holds neither a line USER:PASSWORD nor lines USER:HASH"
                 : name +
                       " holds several lines USER:PASSWORD, or plain and hashed ones mixed: "
                       "give one line USER:PASSWORD, or make a password file of several "
                       "users with websrv --passwd " +
                       name + " USER";
    return false;
}

// The credentials the options give: --auth, --auth-file, the environment's
// WEBSRV_AUTH, or the login user with a random password.
bool credentials_given(const command_line& options, std::string* login, std::string* password,
                       std::string* htpasswd, std::string* error) {
    if (!options.auth_file.empty()) {
        return credentials_from_file(options.auth_file, login, password, htpasswd, error);
    }
    const char* from_environment = getenv("WEBSRV_AUTH");
    const std::string given = !options.auth.empty()         ? options.auth
                              : from_environment != nullptr ? from_environment
                                                            : "";
    if (!given.empty()) {
        if (split_credentials(given, login, password)) return true;
        *error = (options.auth.empty() ? "WEBSRV_AUTH" : "--auth") +
                 std::string(" takes USER:PASSWORD, with a password");
        return false;
    }
    *password = random_password();
    if (password->empty()) *error = "no random password could be made";
    return !password->empty();
}

}  // namespace

bool share_config(const command_line& options, param_map* params, std::string* error) {
    std::string dir = options.share_dir;
    if (!is_readable_directory(dir)) {
        *error = dir + " is not a readable directory";
        return false;
    }
    const std::string port = options.port.empty() ? default_port : options.port;
    if (!is_port(port)) {
        *error = "the port " + port + " is not a number from 1 to 65535";
        return false;
    }
    const std::string ip = options.bind.empty() ? default_ip(config_form::modern) : options.bind;
    if (listen_address(ip, config_form::modern).empty()) {
        *error = ip + " is no address of this machine, nor a name of one";
        return false;
    }
    std::string login = "user";
    std::string password;
    std::string htpasswd;
    if (!credentials_given(options, &login, &password, &htpasswd, error)) return false;
    // The banner and the log name the folder wherever websrv was started.
    if (char* absolute = realpath(dir.c_str(), nullptr)) {
        dir = absolute;
        free(absolute);
    }
    if (dir.back() != '/') dir += '/';
    // The modern defaults of the configuration complete these.
    *params = {
        {"ip", ip},       {"port", port},
        {"login", login}, {"password", password},
        {"root", dir},    {"listing", options.hidden ? "all" : "1"},
    };
    // Mounted over WebDAV too, read-only unless writes are allowed: -u lets
    // every user store new files and folders, -w change what is there.
    (*params)["webdav"] = "1";
    if (options.upload) (*params)["upload"] = options.replace ? "replace" : "1";
    // One process a core; a share whose users may change what is there
    // keeps one, so that every client sees every WebDAV lock taken.
    if (options.write)
        (*params)["rights"] = "*:change";
    else
        (*params)["workers"] = "auto";
    if (options.public_read) (*params)["public"] = "1";
    const std::string max_upload = options.max_upload.empty() ? "64G" : options.max_upload;
    const long long most = size_in_bytes(max_upload);
    if (most <= 0) {
        *error = "--max-upload takes a size such as 500M or 20G, not " + max_upload;
        return false;
    }
    (*params)["upload_max"] = std::to_string(most);
    if (!htpasswd.empty()) (*params)["htpasswd"] = htpasswd;
    if (options.new_cert && !options.tls) {
        *error = "--new-cert goes with --tls";
        return false;
    }
    if (!options.tls_cert.empty() || !options.tls_key.empty()) {
        if (options.tls_cert.empty() || options.tls_key.empty() || options.tls) {
            *error = "--tls-cert and --tls-key go together, and without --tls";
            return false;
        }
        (*params)["tls_cert"] = options.tls_cert;
        (*params)["tls_key"] = options.tls_key;
    }
    return true;
}

long long size_in_bytes(const std::string& text) {
    static const std::pair<char, int> units[] = {{'K', 10}, {'M', 20}, {'G', 30}, {'T', 40}};
    std::string digits = text;
    int shift = 0;
    if (!digits.empty()) {
        const char unit = static_cast<char>(toupper(static_cast<unsigned char>(digits.back())));
        for (const auto& [letter, bits] : units) {
            if (unit == letter) {
                shift = bits;
                digits.pop_back();
            }
        }
    }
    if (digits.empty() || digits.size() > 15 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const long long number = std::stoll(digits);
    return number > (LLONG_MAX >> shift) ? -1 : number << shift;
}

std::vector<std::string> share_addresses(const param_map& params) {
    return listening_addresses(value_or(params, "ip", "0"), config_form::modern);
}

namespace {

std::string url_of(const param_map& params, const std::string& address, bool tls) {
    const bool v6 = address.find(':') != std::string::npos;
    return std::string(tls ? "https://" : "http://") + (v6 ? "[" + address + "]" : address) + ":" +
           value_or(params, "port", default_port) + "/";
}

}  // namespace

std::string first_address(const param_map& params, bool tls) {
    const std::vector<std::string> addresses = share_addresses(params);
    return addresses.empty() ? "" : url_of(params, addresses.front(), tls);
}

std::string share_banner(const param_map& params, const std::string& fingerprint) {
    const bool tls = params.count("tls_cert") != 0 || !fingerprint.empty();
    std::string text = "websrv: serving " + value_or(params, "root", "") + " at\n";
    const std::vector<std::string> addresses = share_addresses(params);
    for (const std::string& address : addresses)
        text += "  " + url_of(params, address, tls) + "\n";
    // File managers that mount by a scheme of their own are given it; Finder,
    // Windows and rclone take the address above.
    if (value_or(params, "webdav", "0") != "0" && !addresses.empty()) {
        text += "mount it (WebDAV): " + std::string(tls ? "davs" : "dav") +
                url_of(params, addresses.front(), tls).substr(tls ? 5 : 4) +
                " in GNOME Files, or the address above in Finder, Windows or rclone\n";
    }
    if (!fingerprint.empty()) text += "certificate (SHA-256): " + fingerprint + "\n";
    if (params.count("htpasswd") != 0) {
        text += "login: the users of " + value_or(params, "htpasswd", "") + "\n";
    } else {
        text += "login: " + value_or(params, "login", "") +
                "  password: " + value_or(params, "password", "") + "\n";
    }
    return text;
}
