#include "app/passwd_command.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/password_file.h"
#include "http/http_utils.h"

namespace {

// A descriptor that is closed when it goes.
struct descriptor {
    int fd = -1;
    descriptor() = default;
    explicit descriptor(int opened) : fd(opened) {}
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    ~descriptor() {
        if (fd != -1) close(fd);
    }
};

// Why `user` cannot have a line; empty when it can. A ":" would end the name
// early, a control character could end the line, and "#" makes it a comment.
std::string user_problem(const std::string& user) {
    if (user.empty()) return "no user name";
    if (user[0] == '#')
        return "the user name " + user + " begins with \"#\", which makes a comment";
    for (unsigned char c : user) {
        if (c == ':' || c < 0x20 || c == 0x7f) {
            return "a user name may hold neither \":\" nor a control character";
        }
    }
    return "";
}

// The file that `name` means: a symbolic link is followed, so that it stays.
std::string target_of(const std::string& name) {
    char* real = realpath(name.c_str(), nullptr);
    if (real == nullptr) return name;
    std::string target = real;
    free(real);
    return target;
}

// Opens the file that is to be replaced and takes its lock; -1 with errno
// (ENOENT: there is none yet). The lock belongs to the file, not to the
// name: a run that waited for it may find the name taken by the file another
// run renamed there, and locks that one instead.
int open_locked(const std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        descriptor file(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (file.fd == -1) return -1;
        struct stat held {
        }, named{};
        if (flock(file.fd, LOCK_EX) == 0 && fstat(file.fd, &held) == 0 &&
            stat(name.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            const int fd = file.fd;
            file.fd = -1;
            return fd;
        }
    }
    errno = EAGAIN;
    return -1;
}

// `text` with `line` for `user`: in place of the user's first line, keeping
// its line end, without the user's other lines, or else at the end.
std::string with_line(const std::string& text, const std::vector<password_entry>& entries,
                      const std::string& user, const std::string& line, int* replaced) {
    std::string result;
    size_t copied = 0;
    *replaced = 0;
    for (const password_entry& entry : entries) {
        if (entry.user != user) continue;
        result.append(text, copied, entry.begin - copied);
        if (*replaced == 0) {
            const std::string_view old(text.data() + entry.begin, entry.end - entry.begin);
            result += line + (old.ends_with("\r\n") ? "\r\n" : old.ends_with('\n') ? "\n" : "");
        }
        ++*replaced;
        copied = entry.end;
    }
    result.append(text, copied);
    if (*replaced == 0) {
        if (!result.empty() && result.back() != '\n') result += '\n';
        result += line + "\n";
    }
    return result;
}

bool write_all(int fd, const std::string& text) {
    for (size_t written = 0; written < text.size();) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

// The new file's mode and owner: the old file's (`old`), or 0600 and this
// process's for a file that is new.
bool take_mode_and_owner(int fd, const struct stat* old) {
    if (old == nullptr) return fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    struct stat made {};
    if (fstat(fd, &made) != 0) return false;
    if ((made.st_uid != old->st_uid || made.st_gid != old->st_gid) &&
        fchown(fd, old->st_uid, old->st_gid) != 0) {
        return false;
    }
    return fchmod(fd, old->st_mode & 07777) == 0;
}

// Puts `text` in the place of the file `name` at once: written to a new file
// beside it, flushed, and renamed over it. Empty, or why it failed (then
// `name` is as it was).
std::string replace_file(const std::string& name, const std::string& text, const struct stat* old) {
    const std::string dir = get_path(name);
    std::string temporary = dir + "." + name.substr(dir.size()) + ".XXXXXX";
    descriptor file(mkostemp(temporary.data(), O_CLOEXEC));
    if (file.fd == -1) return "can not create a file in " + (dir.empty() ? "." : dir);
    const char* step = !take_mode_and_owner(file.fd, old) ? "give it the mode and owner of"
                       : !write_all(file.fd, text) || fsync(file.fd) != 0 ? "write"
                       : rename(temporary.c_str(), name.c_str()) != 0     ? "rename it to"
                                                                          : nullptr;
    if (step != nullptr) {
        const int error = errno;
        unlink(temporary.c_str());
        return "can not " + std::string(step) + " " + name + ": " + strerror(error);
    }
    // The rename itself lasts once the directory is on the disk too.
    descriptor directory(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.fd != -1) fsync(directory.fd);
    return "";
}

}  // namespace

int set_password(const std::string& file_name, const std::string& user, const std::string& password,
                 std::string* told) {
    if (std::string problem = user_problem(user); !problem.empty()) {
        *told = problem + ": " + file_name + " is left as it was";
        return 2;
    }
    if (password.empty()) {
        *told = "no password: " + file_name + " is left as it was";
        return 2;
    }
    const std::string line = hash_password_line(user, password);
    if (line.empty()) {
        *told = "the system's crypt made no hash: " + file_name + " is left as it was";
        return 1;
    }
    const std::string name = target_of(file_name);
    descriptor old(open_locked(name));
    if (old.fd == -1 && errno != ENOENT) {
        *told = "can not read " + file_name + ": " + strerror(errno);
        return 1;
    }
    std::string text;
    struct stat info {};
    if (old.fd != -1 && !read_password_file(old.fd, &text, &info)) {
        *told = "can not read " + file_name + " (a regular file of at most 1 MiB)";
        return 1;
    }
    const std::vector<password_entry> entries = password_entries(text);
    for (const password_entry& entry : entries) {
        if (entry.user.empty() || !looks_hashed(entry.secret)) {
            *told = file_name + ":" + std::to_string(entry.line) +
                    ": not a line \"user:hash\": this is not a password file";
            return 1;
        }
    }
    int replaced = 0;
    const std::string why = replace_file(name, with_line(text, entries, user, line, &replaced),
                                         old.fd == -1 ? nullptr : &info);
    if (!why.empty()) {
        *told = why;
        return 1;
    }
    *told = replaced == 0 ? "added " + user + " to " + file_name
                          : "replaced the password of " + user + " in " + file_name;
    if (replaced > 1) {
        *told += " (and removed " + std::to_string(replaced - 1) + " more line" +
                 (replaced == 2 ? "" : "s") + " of " + user + ")";
    }
    return 0;
}
