#include "app/password_file.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace {

const off_t max_file_bytes = 1 << 20;

// The characters of the hashes and salts of crypt(3).
const std::string_view crypt_alphabet =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

bool in_alphabet(std::string_view text, size_t min_size, size_t max_size) {
    return text.size() >= min_size && text.size() <= max_size &&
           text.find_first_not_of(crypt_alphabet) == std::string_view::npos;
}

bool is_bcrypt(std::string_view hash) {
    return hash.starts_with("$2y$") || hash.starts_with("$2b$") || hash.starts_with("$2a$");
}

bool taken_scheme(std::string_view hash) {
    return is_bcrypt(hash) || hash.starts_with("$y$") || hash.starts_with("$6$");
}

const char* refused_scheme(std::string_view hash) {
    if (hash.starts_with("$1$")) return "an MD5-crypt hash";
    if (hash.starts_with("$5$")) return "a SHA-256-crypt hash";
    if (hash.starts_with("$apr1$")) return "an MD5-APR hash";
    if (hash.starts_with("{SHA}")) return "a SHA-1 hash";
    if (hash.starts_with("$")) return "a hash of a scheme that is not taken";
    return "a password in plain text or a DES hash";
}

// The fields between the "$" signs of a hash that begins with one.
std::vector<std::string_view> hash_fields(std::string_view hash) {
    std::vector<std::string_view> fields;
    for (size_t begin = 1; begin <= hash.size();) {
        const size_t end = std::min(hash.find('$', begin), hash.size());
        fields.push_back(hash.substr(begin, end - begin));
        begin = end + 1;
    }
    return fields;
}

// Whether a hash of a taken scheme has the fields of its scheme, and nothing
// after its last one: "$2b$10$" and 53 characters; "$y$" parameters, salt
// and 43 characters; "$6$", perhaps "rounds=N$", a salt of at most 16 and 86
// characters.
bool well_formed(std::string_view hash) {
    std::vector<std::string_view> fields = hash_fields(hash);
    if (is_bcrypt(hash)) {
        return fields.size() == 3 && fields[1].size() == 2 &&
               fields[1].find_first_not_of("0123456789") == std::string_view::npos &&
               in_alphabet(fields[2], 53, 53);
    }
    if (hash.starts_with("$y$")) {
        return fields.size() == 4 && in_alphabet(fields[1], 1, 64) &&
               in_alphabet(fields[2], 1, 64) && in_alphabet(fields[3], 43, 43);
    }
    if (fields.size() == 4 && fields[1].starts_with("rounds=")) {
        const std::string_view rounds = fields[1].substr(7);
        if (rounds.empty() || rounds.find_first_not_of("0123456789") != std::string_view::npos) {
            return false;
        }
        fields.erase(fields.begin() + 1);
    }
    return fields.size() == 3 && in_alphabet(fields[1], 1, 16) && in_alphabet(fields[2], 86, 86);
}

// Why an entry's hash is not taken; empty when it is.
std::string hash_problem(std::string_view hash) {
    if (!taken_scheme(hash)) {
        return std::string(refused_scheme(hash)) +
               " is not taken (use bcrypt, yescrypt or SHA-512)";
    }
    if (hash.find_first_of(" \t") != std::string_view::npos) return "a blank in or after the hash";
    if (!well_formed(hash)) return "not a whole hash: something is missing from it or follows it";
    return "";
}

bool is_blank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

// A hash of a random password with the scheme, cost and salt of `like`: an
// unknown user's password is checked against it at the same cost.
std::string make_stand_in(const std::string& like) {
    // The stand-in never passes anyway: a random password only keeps it from
    // being the hash of something known. Early at boot there may be none yet.
    unsigned char bytes[16] = {};
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        std::memset(bytes, 0, sizeof bytes);
    }
    std::string password;
    for (unsigned char byte : bytes)
        password += crypt_alphabet[byte % crypt_alphabet.size()];
    crypt_data data{};
    const char* hashed = crypt_rn(password.c_str(), like.c_str(), &data, sizeof data);
    std::string made = hashed != nullptr && hashed[0] != '*' ? hashed : "";
    explicit_bzero(&data, sizeof data);
    return made;
}

long long modified_ns(const struct stat& info) {
    return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

}  // namespace

std::vector<password_entry> password_entries(std::string_view text) {
    std::vector<password_entry> entries;
    int number = 0;
    for (size_t begin = 0; begin < text.size();) {
        const size_t end = std::min(text.find('\n', begin), text.size());
        std::string_view line = text.substr(begin, end - begin);
        const size_t next = std::min(end + 1, text.size());
        ++number;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (!is_blank(line) && !line.starts_with('#')) {
            const size_t colon = line.find(':');
            const bool has_user = colon != std::string_view::npos;
            entries.push_back({number, begin, next, has_user ? line.substr(0, colon) : "",
                               has_user ? line.substr(colon + 1) : line});
        }
        begin = next;
    }
    return entries;
}

bool looks_hashed(std::string_view secret) {
    return secret.starts_with('$') || secret.starts_with("{SHA}");
}

password_text read_password_text(std::string_view text, const std::string& file_name) {
    password_text found;
    std::map<std::string, int, std::less<>> first_line;  // of each user
    std::set<std::string> doubled;
    for (const password_entry& entry : password_entries(text)) {
        auto problem = [&](const std::string& what) {
            found.problems.push_back(file_name + ":" + std::to_string(entry.line) + ": " + what);
        };
        if (entry.user.empty()) {
            problem("not a line \"user:hash\"");
            continue;
        }
        const std::string user(entry.user);
        const auto [first, is_first] = first_line.emplace(user, entry.line);
        if (!is_first) {
            problem(user + ": a second line for " + user + " (the first is line " +
                    std::to_string(first->second) +
                    "): neither lets in; websrv --passwd changes a password in place");
            doubled.insert(user);
            continue;
        }
        const std::string why = hash_problem(entry.secret);
        if (!why.empty()) {
            problem(user + ": " + why + ": " + user + " cannot log in");
            continue;
        }
        found.hashes.emplace(user, entry.secret);
    }
    for (const std::string& user : doubled)
        found.hashes.erase(user);
    return found;
}

bool read_password_file(int fd, std::string* text, struct stat* info) {
    text->clear();
    bool ok = fstat(fd, info) == 0 && S_ISREG(info->st_mode) && info->st_size <= max_file_bytes;
    char chunk[65536];
    for (ssize_t n; ok && (n = read(fd, chunk, sizeof chunk)) != 0;) {
        ok = n > 0 && static_cast<off_t>(text->size()) + n <= max_file_bytes;
        if (ok) text->append(chunk, static_cast<size_t>(n));
    }
    return ok;
}

bool password_file::load(const std::string& file_name, std::vector<std::string>* problems) {
    name = file_name;
    hashes.clear();
    stand_in.clear();
    passed.clear();
    ++generation;
    std::string text;
    struct stat info {};
    const int fd = open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return false;
    const bool read = read_password_file(fd, &text, &info);
    close(fd);
    if (!read) return false;
    seen = {static_cast<unsigned long long>(info.st_ino),
            static_cast<unsigned long long>(info.st_size), modified_ns(info)};
    password_text found = read_password_text(text, file_name);
    hashes = std::move(found.hashes);
    if (problems) problems->insert(problems->end(), found.problems.begin(), found.problems.end());
    if (!hashes.empty()) stand_in = make_stand_in(hashes.begin()->second);
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
                         static_cast<unsigned long long>(info.st_size), modified_ns(info)};
    // A file that cannot be read now lets nobody in until it can.
    if (now != seen) load(name, nullptr);
}

bool password_file::recalls(std::string_view user, std::string_view password, long long now_ms) {
    look_at_file(now_ms);
    std::string credentials(user);
    credentials.push_back('\0');
    credentials.append(password);
    std::erase_if(passed, [now_ms](const remembered& r) { return r.until_ms <= now_ms; });
    return std::any_of(passed.begin(), passed.end(), [&](const remembered& r) {
        return same_secret(r.credentials, credentials);
    });
}

password_file::hash_job password_file::prepare(std::string_view user,
                                               std::string_view password) const {
    const auto found = hashes.find(user);
    const bool known = found != hashes.end();
    return {std::string(user), std::string(password), known ? found->second : stand_in, known,
            generation};
}

void password_file::remember(const hash_job& job, long long now_ms) {
    if (!job.known || job.generation != generation) return;
    if (passed.size() >= remembered_max) passed.erase(passed.begin());
    passed.push_back({job.user + '\0' + job.password, now_ms + remember_ms});
}

bool password_file::check(std::string_view user, std::string_view password, long long now_ms) {
    if (recalls(user, password, now_ms)) return true;
    const hash_job job = prepare(user, password);
    if (!job.hash.empty()) ++hashed;
    if (!hash_job_passes(job)) return false;
    remember(job, now_ms);
    return true;
}

bool hash_job_passes(const password_file::hash_job& job) {
    if (job.hash.empty()) return false;
    crypt_data data{};
    const char* hashed = crypt_rn(job.password.c_str(), job.hash.c_str(), &data, sizeof data);
    const bool same = hashed != nullptr && hashed[0] != '*' && same_secret(hashed, job.hash);
    explicit_bzero(&data, sizeof data);
    // crypt reads the password up to a NUL: what follows one was never checked.
    return same && job.known && job.password.find('\0') == std::string::npos;
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
