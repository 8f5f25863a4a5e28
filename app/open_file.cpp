#include "app/open_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

open_file::open_file(int fd) {
    if (fd != -1) held = std::make_shared<descriptor>(fd);
}

open_file::descriptor::~descriptor() {
    if (fd != -1) close(fd);
}

int open_file::release() {
    if (!held) return -1;
    const int fd =
        held.use_count() == 1 ? std::exchange(held->fd, -1) : fcntl(held->fd, F_DUPFD_CLOEXEC, 0);
    held.reset();
    return fd;
}

open_file open_file::share() const {
    open_file other;
    other.held = held;
    return other;
}
