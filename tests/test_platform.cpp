#include "engine/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

TEST(Platform, SwitchesBetweenNonBlockingAndBlocking) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_TRUE(enable_nonblocking_mode(fds[0], true));
    char byte;
    errno = 0;
    EXPECT_EQ(recv(fds[0], &byte, 1, 0), -1) << "returns at once when nothing waits";
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    ASSERT_TRUE(enable_nonblocking_mode(fds[0], false));
    EXPECT_EQ(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_FALSE(enable_nonblocking_mode(-1, true));
}

TEST(Platform, SleepPausesForTheGivenMilliseconds) {
    using clock = std::chrono::steady_clock;
    auto measure = [](unsigned long ms) {
        auto start = clock::now();
        Sleep(ms);
        return std::chrono::duration<double, std::milli>(clock::now() - start).count();
    };
    EXPECT_LT(measure(0), 50.0);
    double hundred = measure(100);
    EXPECT_GE(hundred, 99.0);
    EXPECT_LT(hundred, 1000.0);
    double longer = measure(1200);  // whole seconds and the remainder both count
    EXPECT_GE(longer, 1199.0);
    EXPECT_LT(longer, 3000.0);
}

}  // namespace
