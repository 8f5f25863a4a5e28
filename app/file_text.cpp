#include "app/file_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int open_regular_file(const std::string& name, struct stat* info) {
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return -1;
    struct stat seen {};
    if (fstat(fd, &seen) != 0 || !S_ISREG(seen.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (info != nullptr) *info = seen;
    return fd;
}

bool read_regular_file(const std::string& name, off_t limit, std::string* text, struct stat* info) {
    text->clear();
    const int fd = open_regular_file(name, info);
    if (fd == -1) return false;
    char chunk[65536];
    bool ok = true;
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0 || static_cast<off_t>(text->size()) + n > limit) {
            if (n > 0) errno = EFBIG;
            ok = false;
            break;
        }
        text->append(chunk, static_cast<size_t>(n));
    }
    const int error = errno;
    close(fd);
    errno = error;
    return ok;
}
