// Several users, each with a password hash: a file in the format of the
// htpasswd files of web servers, one "user:hash" a line, checked with the
// system's crypt(3) (libcrypt).
//
// Taken: bcrypt ("$2y$", "$2b$", "$2a$", as `htpasswd -B` writes them) and
// the libcrypt schemes yescrypt ("$y$") and SHA-512 ("$6$"), each whole, with
// nothing after it. Lines beginning with "#" and blank lines are skipped,
// wherever they are. Every other line is a problem of the file, told with its
// line: plain text, MD5-crypt ("$1$"), SHA-256-crypt ("$5$"), MD5-APR
// ("$apr1$") and any other scheme, a hash with a blank or anything else after
// it, a line without "user:", and a second line for a user (then neither of
// that user's lines lets anyone in). The users of lines that are not taken
// cannot log in. The file is opened without waiting (a pipe or a device is
// refused) and read whole, at most 1 MiB.
//
// Checking a password against a hash costs tens of milliseconds, so a check
// that passes is remembered: the credentials, as the client sent them, for
// `remember_ms` at most, at most `remembered_max` of them (the oldest goes
// first). A changed file (another inode, size or modification time, looked
// at at most once a second) is read again and forgets what was remembered;
// a check that fails is never remembered. A user who is not in the file costs
// as much as one who is: the password is hashed against a stand-in of the
// same scheme and cost, made when the file is read, and never passes.
//
// Threads: a password_file belongs to one thread, which calls load, recalls,
// prepare, remember and check. A hash_job that prepare made is a value of its
// own: hash_job_passes may run on any thread, while the owner goes on, and
// its result is handed back to the owner for remember.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class password_file {
  public:
    static constexpr long long remember_ms = 60000;
    static constexpr size_t remembered_max = 64;

    // What one check hashes, copied out of the file.
    struct hash_job {
        std::string user;
        std::string password;
        std::string hash;    // the user's hash, or the stand-in; empty: nothing to hash
        bool known = false;  // the user is in the file
        unsigned long long generation = 0;  // the reading of the file it was made from
    };

    // Reads `file_name`. False when the file cannot be read at all; `problems`
    // (when given) gets a line "<file>:<line>: ..." for each line not taken.
    bool load(const std::string& file_name, std::vector<std::string>* problems);

    // Whether `password` is the password of `user`; `now_ms` is the time of
    // a monotonic clock, for what is remembered and for looking at the file.
    // The steps below, one after the other.
    bool check(std::string_view user, std::string_view password, long long now_ms);

    // Whether these credentials passed a check less than `remember_ms` ago
    // and the file has not changed since. Hashes nothing.
    bool recalls(std::string_view user, std::string_view password, long long now_ms);

    // The job that decides a check that recalls did not.
    hash_job prepare(std::string_view user, std::string_view password) const;

    // Remembers the credentials of a job that passed; a job made before the
    // file was read again is not remembered.
    void remember(const hash_job& job, long long now_ms);

    size_t users() const { return hashes.size(); }
    bool has_user(std::string_view user) const { return hashes.find(user) != hashes.end(); }

    // How many passwords check has hashed.
    unsigned long long hashes_run() const { return hashed; }

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
    std::string stand_in;  // a hash of a random password, like the file's hashes
    unsigned long long generation = 0;
    file_state seen;
    long long looked_ms = 0;
    std::vector<remembered> passed;  // the oldest first
    unsigned long long hashed = 0;

    void look_at_file(long long now_ms);
};

// Whether the job's password is the password of its user: false for a user
// who is not in the file, whatever the password, after as long a hash. Runs
// crypt on the job alone and touches nothing shared.
bool hash_job_passes(const password_file::hash_job& job);

// One line of a password file that is neither blank nor a comment.
struct password_entry {
    int line;                 // its number, from 1
    size_t begin, end;        // where it is in the text, with its line end
    std::string_view user;    // before the first ":"; empty without one
    std::string_view secret;  // after it, without a trailing CR
};

// The entries of a password file's text, in order. They point into `text`.
std::vector<password_entry> password_entries(std::string_view text);

// Whether an entry's secret is meant as a hash, not as a password in plain
// text: it begins with "$", or with "{SHA}".
bool looks_hashed(std::string_view secret);

// What the text of a password file lets in, and its lines that are not taken.
struct password_text {
    std::map<std::string, std::string, std::less<>> hashes;  // user to hash
    std::vector<std::string> problems;                       // "<file_name>:<line>: ..." for each
};
password_text read_password_text(std::string_view text, const std::string& file_name);

// Reads a password file open as `fd` whole, with what fstat says of it
// (`info`). False for anything but a regular file of at most 1 MiB.
bool read_password_file(int fd, std::string* text, struct stat* info);

// A new htpasswd line for `user` with `password`, hashed with yescrypt and a
// fresh salt; empty when the system's crypt cannot make one.
std::string hash_password_line(const std::string& user, const std::string& password);

// Whether two texts are equal, in a time that tells nothing of how much of
// a guess was right (for texts of equal length).
bool same_secret(std::string_view a, std::string_view b);
