#include "app/beneath_root.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

int open_with_openat2(int root_fd, const std::string& resolved) {
    if (beneath_root_refuse_openat2 != 0) {
        errno = beneath_root_refuse_openat2;
        return -1;
    }
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const char* path = resolved.empty() ? "." : resolved.c_str();
    return static_cast<int>(syscall(SYS_openat2, root_fd, path, &how, sizeof how));
}

// One step down from `dir`, never through a link; ".." is refused rather
// than trusted to stay inside.
int open_step(int dir, const std::string& step) {
    if (step == "..") {
        errno = EXDEV;
        return -1;
    }
    return openat(dir, step.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int open_step_by_step(int root_fd, const std::string& resolved) {
    int fd = fcntl(root_fd, F_DUPFD_CLOEXEC, 0);
    for (size_t begin = 0; fd != -1 && begin < resolved.size();) {
        const size_t end = std::min(resolved.find('/', begin), resolved.size());
        const std::string step = resolved.substr(begin, end - begin);
        begin = end + 1;
        if (step.empty() || step == ".") continue;
        const int next = open_step(fd, step);
        const int error = errno;
        close(fd);
        errno = error;
        fd = next;
    }
    return fd;
}

}  // namespace

int open_beneath_root(const std::string& root, const std::string& resolved) {
    const int root_fd = open(root.empty() ? "." : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root_fd == -1) return -1;
    int fd = open_with_openat2(root_fd, resolved);
    if (fd == -1 && (errno == ENOSYS || errno == EPERM)) fd = open_step_by_step(root_fd, resolved);
    const int error = errno;
    close(root_fd);
    errno = error;
    return fd;
}
