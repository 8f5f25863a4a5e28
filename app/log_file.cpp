#include "app/log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Whether the file open as `fd` may receive the log; `why` says why not.
bool log_file_fits(int fd, bool named, bool* narrowed, std::string* why) {
    struct stat info {};
    const bool fits =
        fstat(fd, &info) == 0 &&
        (named ? S_ISREG(info.st_mode) : !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode));
    if (!fits) {
        *why = "it is not a regular file";
        return false;
    }
    if (!named) return true;
    if (info.st_uid != geteuid()) {
        *why = "it belongs to another user";
        return false;
    }
    if ((info.st_mode & 077) == 0) return true;
    if (fchmod(fd, info.st_mode & 0700) != 0) {
        *why = "others may read it, and its mode can not be narrowed";
        return false;
    }
    *narrowed = true;
    return true;
}

}  // namespace

log_file_lock::~log_file_lock() {
    if (fd != -1) close(fd);
}

log_file_lock::result log_file_lock::take(const std::string& name, bool named, bool* narrowed) {
    *narrowed = false;
    const int opened =
        open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW,
             S_IRUSR | S_IWUSR);
    if (opened == -1) {
        if (errno != ENXIO && errno != ELOOP) return result::not_locked;
        why = errno == ELOOP ? "it is a symbolic link" : "it is not a regular file";
        return result::refused;
    }
    if (!log_file_fits(opened, named, narrowed, &why)) {
        close(opened);
        return result::refused;
    }
    if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
        const bool elsewhere = errno == EWOULDBLOCK;
        close(opened);
        return elsewhere ? result::held_elsewhere : result::not_locked;
    }
    if (fd != -1) close(fd);
    fd = opened;
    return result::locked;
}

void log_file_lock::move_to(const std::string& name, bool named) {
    const int old = fd;
    fd = -1;
    bool narrowed = false;
    take(name, named, &narrowed);
    if (old != -1) close(old);
}

void log_file_lock::leave_to_parent() {
    if (fd != -1) close(fd);
    fd = -1;
}
