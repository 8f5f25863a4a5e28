// Helpers shared by the tests: loopback sockets, descriptor counts and bounded waits.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <functional>

// Entries of /proc/self/fd, to show that a test leaves no descriptor behind.
inline int open_descriptor_count() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

// A blocking loopback listener on a port the kernel chooses.
class loopback_listener {
  public:
    loopback_listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd, 16);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~loopback_listener() { close(fd); }
    loopback_listener(const loopback_listener&) = delete;
    loopback_listener& operator=(const loopback_listener&) = delete;

    int fd;
    unsigned short port;
};

// A blocking client socket connected to 127.0.0.1:port, or -1. A positive
// `receive_buffer` sets SO_RCVBUF before connecting, so that the window the
// peer sees stays that small. A `source` address (another one of 127.0.0.0/8)
// makes the connection come from there.
inline int connect_loopback(unsigned short port, int receive_buffer = 0,
                            const char* source = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    if (source != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(source);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Calls `step` until `done` holds or `seconds` pass; returns whether it held.
inline bool step_until(const std::function<void()>& step, const std::function<bool()>& done,
                       double seconds = 5.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        step();
        usleep(1000);
    }
    return true;
}

// Returns once the wall clock is `fraction` of the way through a second. A
// time limit started there shows whether it is counted in whole seconds of
// that clock: it would strike a `fraction` of a second early.
inline void wait_for_wall_clock_fraction(double fraction) {
    const long second_ns = 1000000000L;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long target = static_cast<long>(fraction * second_ns);
    usleep(static_cast<useconds_t>((target - now.tv_nsec + second_ns) % second_ns / 1000));
}
