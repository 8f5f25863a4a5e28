#include "app/password_file.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const off_t max_file_bytes = 1 << 20;

bool taken_scheme(std::string_view hash) {
    for (const char* prefix : {"$2y$", "$2b$", "$2a$", "$y$", "$6$"}) {
        if (hash.starts_with(prefix)) return true;
    }
    return false;
}

const char* refused_scheme(std::string_view hash) {
    if (hash.starts_with("$apr1$")) return "an MD5-APR hash";
    if (hash.starts_with("{SHA}")) return "a SHA-1 hash";
    if (hash.starts_with("$")) return "a hash of a scheme that is not taken";
    return "a password in plain text or a DES hash";
}

// The whole of a regular file, read without waiting on a pipe or a device.
bool read_small_file(const std::string& name, std::string* text, struct stat* info) {
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return false;
    bool ok = fstat(fd, info) == 0 && S_ISREG(info->st_mode) && info->st_size <= max_file_bytes;
    char chunk[65536];
    for (ssize_t n; ok && (n = read(fd, chunk, sizeof chunk)) != 0;) {
        ok = n > 0 && static_cast<off_t>(text->size()) + n <= max_file_bytes;
        if (ok) text->append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

}  // namespace

bool password_file::load(const std::string& file_name, std::vector<std::string>* problems) {
    name = file_name;
    hashes.clear();
    passed.clear();
    std::string text;
    struct stat info {};
    if (!read_small_file(file_name, &text, &info)) return false;
    seen = {static_cast<unsigned long long>(info.st_ino),
            static_cast<unsigned long long>(info.st_size),
            static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
    int number = 0;
    for (size_t begin = 0; begin < text.size();) {
        size_t end = std::min(text.find('\n', begin), text.size());
        std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t colon = line.find(':');
        auto problem = [&](const std::string& what) {
            if (problems)
                problems->push_back(file_name + ":" + std::to_string(number) + ": " + what);
        };
        if (colon == std::string::npos || colon == 0) {
            problem("not a line \"user:hash\": it is ignored");
            continue;
        }
        const std::string user = line.substr(0, colon);
        const std::string hash = line.substr(colon + 1);
        if (!taken_scheme(hash)) {
            problem(user + ": " + refused_scheme(hash) +
                    " is not taken (use bcrypt, yescrypt or SHA-512): " + user + " cannot log in");
            continue;
        }
        hashes.emplace(user, hash);
    }
    return true;
}

void password_file::look_at_file(long long now_ms) {
    if (now_ms - looked_ms < 1000 && looked_ms != 0) return;
    looked_ms = now_ms;
    struct stat info {};
    const file_state now =
        stat(name.c_str(), &info) != 0
            ? file_state()
            : file_state{static_cast<unsigned long long>(info.st_ino),
                         static_cast<unsigned long long>(info.st_size),
                         static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL +
                             info.st_mtim.tv_nsec};
    if (now == seen) return;
    // A file that cannot be read now lets nobody in until it can.
    if (!load(name, nullptr)) hashes.clear();
}

bool password_file::recalls(const std::string& credentials, long long now_ms) {
    std::erase_if(passed, [now_ms](const remembered& r) { return r.until_ms <= now_ms; });
    return std::any_of(passed.begin(), passed.end(), [&](const remembered& r) {
        return same_secret(r.credentials, credentials);
    });
}

bool password_file::check(std::string_view user, std::string_view password, long long now_ms) {
    look_at_file(now_ms);
    std::string credentials(user);
    credentials.push_back('\0');
    credentials.append(password);
    if (recalls(credentials, now_ms)) return true;
    const auto found = hashes.find(user);
    if (found == hashes.end()) return false;
    crypt_data data{};
    const std::string plain(password);
    const char* hashed = crypt_rn(plain.c_str(), found->second.c_str(), &data, sizeof data);
    const bool ok = hashed != nullptr && hashed[0] != '*' && same_secret(hashed, found->second);
    explicit_bzero(&data, sizeof data);
    if (!ok) return false;
    if (passed.size() >= remembered_max) passed.erase(passed.begin());
    passed.push_back({std::move(credentials), now_ms + remember_ms});
    return true;
}

std::string hash_password_line(const std::string& user, const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return "";
    crypt_data data{};
    const char* hashed = crypt_rn(password.c_str(), setting, &data, sizeof data);
    std::string line = hashed != nullptr && hashed[0] != '*' ? user + ":" + hashed : "";
    explicit_bzero(&data, sizeof data);
    return line;
}

bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}
