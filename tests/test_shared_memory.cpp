// The lock and memory that forked processes share.
#include <gtest/gtest.h>

#include "app/shared_memory.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {

void wait_for(pid_t child) {
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
}

TEST(SharedMemory, TwoProcessesTakeTheLockInTurn) {
    std::shared_ptr<shared_mutex> mutex = make_shared_mutex();
    std::shared_ptr<void> memory = map_shared(sizeof(long));
    ASSERT_TRUE(mutex && memory);
    volatile long* counter = static_cast<long*>(memory.get());
    const int rounds = 200000;
    auto count = [&] {
        for (int i = 0; i < rounds; ++i) {
            shared_guard held(mutex.get());
            *counter = *counter + 1;
        }
    };
    const pid_t child = fork();
    if (child == 0) {
        count();
        _exit(0);
    }
    count();
    wait_for(child);
    EXPECT_EQ(*counter, 2L * rounds);
}

TEST(SharedMemory, AProcessThatDiesHoldingTheLockDoesNotKeepIt) {
    std::shared_ptr<shared_mutex> mutex = make_shared_mutex();
    ASSERT_TRUE(mutex);
    const pid_t child = fork();
    if (child == 0) {
        mutex->lock();
        _exit(0);
    }
    wait_for(child);
    mutex->lock();  // would wait for ever
    mutex->unlock();
    shared_guard again(mutex.get());
}

}  // namespace
