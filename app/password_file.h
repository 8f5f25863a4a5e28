// Several users, each with a password hash: a file in the format of the
// htpasswd files of web servers, one "user:hash" a line, checked with the
// system's crypt(3) (libcrypt).
//
// Taken: bcrypt ("$2y$", "$2b$", "$2a$", as `htpasswd -B` writes them) and
// the libcrypt schemes yescrypt ("$y$") and SHA-512 ("$6$"). Refused, each
// with its line in `problems`: plain text, MD5-APR ("$apr1$") and anything
// else, and lines without ":"; the user of such a line cannot log in. Empty
// lines and lines beginning with "#" are skipped. The file is opened without
// waiting (a pipe or a device is refused) and read whole, at most 1 MiB.
//
// Checking a password against a hash costs tens of milliseconds of the one
// thread, so a check that passes is remembered: the credentials, as the
// client sent them, for `remember_ms` at most, at most `remembered_max` of
// them (the oldest goes first). A changed file (another inode, size or
// modification time, looked at at most once a second) is read again and
// forgets what was remembered; a check that fails is never remembered.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class password_file {
  public:
    static constexpr long long remember_ms = 60000;
    static constexpr size_t remembered_max = 64;

    // Reads `file_name`. False when the file cannot be read at all; `problems`
    // (when given) gets a line for each entry that is not taken.
    bool load(const std::string& file_name, std::vector<std::string>* problems);

    // Whether `password` is the password of `user`; `now_ms` is the time of
    // a monotonic clock, for what is remembered and for looking at the file.
    bool check(std::string_view user, std::string_view password, long long now_ms);

    size_t users() const { return hashes.size(); }

  private:
    struct file_state {
        unsigned long long inode = 0, size = 0;
        long long modified_ns = 0;
        bool operator==(const file_state&) const = default;
    };
    struct remembered {
        std::string credentials;  // user, NUL, password
        long long until_ms;
    };

    std::string name;
    std::map<std::string, std::string, std::less<>> hashes;  // user to hash
    file_state seen;
    long long looked_ms = 0;
    std::vector<remembered> passed;  // the oldest first

    void look_at_file(long long now_ms);
    bool recalls(const std::string& credentials, long long now_ms);
};

// A new htpasswd line for `user` with `password`, hashed with yescrypt and a
// fresh salt; empty when the system's crypt cannot make one.
std::string hash_password_line(const std::string& user, const std::string& password);

// Whether two texts are equal, in a time that tells nothing of how much of
// a guess was right (for texts of equal length).
bool same_secret(std::string_view a, std::string_view b);
