#include "engine/mt_obj.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

bool becomes_true(const std::atomic<bool>& flag, std::chrono::milliseconds within) {
    auto deadline = std::chrono::steady_clock::now() + within;
    while (!flag && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return flag;
}

TEST(MtObj, IsRecursiveAndFreeOnlyAfterAsManyUnlocks) {
    mt_obj lock;
    lock.lock();
    lock.lock();  // would dead-lock a plain mutex
    lock.unlock();

    std::atomic<bool> taken{false};
    std::thread other([&] {
        lock.lock();
        taken = true;
        lock.unlock();
    });
    EXPECT_FALSE(becomes_true(taken, std::chrono::milliseconds(50))) << "still held once";
    lock.unlock();
    EXPECT_TRUE(becomes_true(taken, std::chrono::seconds(5)));
    other.join();
}

}  // namespace
