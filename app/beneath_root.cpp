#include "app/beneath_root.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

int open_beneath_root(const std::string& root, const std::string& resolved) {
    const int root_fd = open(root.empty() ? "." : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root_fd == -1) return -1;
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const char* path = resolved.empty() ? "." : resolved.c_str();
    int fd = static_cast<int>(syscall(SYS_openat2, root_fd, path, &how, sizeof how));
    if (fd == -1 && errno == ENOSYS) {
        // A kernel without openat2: every step is opened without following a link.
        fd = fcntl(root_fd, F_DUPFD_CLOEXEC, 0);
        for (size_t begin = 0; fd != -1 && begin < resolved.size();) {
            size_t end = std::min(resolved.find('/', begin), resolved.size());
            const std::string step = resolved.substr(begin, end - begin);
            begin = end + 1;
            if (step.empty()) continue;
            const int next =
                openat(fd, step.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(fd);
            fd = next;
        }
    }
    const int error = errno;
    close(root_fd);
    errno = error;
    return fd;
}
