#include "engine/platform.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

bool enable_nonblocking_mode(int fd, bool enable) {
    // O_RDWR is an access-mode bit that F_SETFL ignores: disabling clears every status flag.
    return fcntl(fd, F_SETFL, enable ? O_NONBLOCK : O_RDWR) != -1;
}

void Sleep(unsigned long milliseconds) {
    timespec pause{};
    pause.tv_sec = static_cast<time_t>(milliseconds / 1000);
    pause.tv_nsec = static_cast<long>((milliseconds % 1000) * 1000000UL);
    timespec remaining{};
    nanosleep(&pause, &remaining);
}

long long monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

size_t write_whole(int fd, const char* text, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, text + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}
