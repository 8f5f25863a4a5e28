#include "app/share.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The IPv4 addresses of this machine's interfaces, loopback last.
std::vector<std::string> local_addresses() {
    std::vector<std::string> found;
    std::vector<std::string> loopback;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {"127.0.0.1"};
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
        (ntohl(address->sin_addr.s_addr) >> 24 == 127 ? loopback : found).push_back(text);
    }
    freeifaddrs(list);
    found.insert(found.end(), loopback.begin(), loopback.end());
    return found;
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
    const std::string ip = options.bind.empty() ? "0" : options.bind;
    if (inet_addr(ip.c_str()) == INADDR_NONE) {
        *error = ip + " is not a dotted IPv4 address";
        return false;
    }
    std::string login = "user";
    std::string password;
    if (!options.auth.empty()) {
        const size_t colon = options.auth.find(':');
        if (colon == std::string::npos || colon + 1 == options.auth.size()) {
            *error = "--auth takes USER:PASSWORD, with a password";
            return false;
        }
        login = options.auth.substr(0, colon);
        password = options.auth.substr(colon + 1);
    } else {
        password = random_password();
        if (password.empty()) {
            *error = "no random password could be made";
            return false;
        }
    }
    // The banner and the log name the folder wherever websrv was started.
    if (char* absolute = realpath(dir.c_str(), nullptr)) {
        dir = absolute;
        free(absolute);
    }
    if (dir.back() != '/') dir += '/';
    // The modern defaults of the configuration complete these.
    *params = {
        {"ip", ip},    {"port", port},   {"login", login}, {"password", password},
        {"root", dir}, {"listing", "1"},
    };
    if (options.upload) (*params)["upload"] = "1";
    return true;
}

std::string share_banner(const param_map& params) {
    const std::string ip = value_or(params, "ip", "0");
    const std::string port = value_or(params, "port", default_port);
    std::string text = "websrv: serving " + value_or(params, "root", "") + " at\n";
    const std::vector<std::string> addresses =
        ip == "0" ? local_addresses() : std::vector<std::string>{ip};
    for (const std::string& address : addresses)
        text += "  http://" + address + ":" + port + "/\n";
    text += "login: " + value_or(params, "login", "") +
            "  password: " + value_or(params, "password", "") + "\n";
    return text;
}
