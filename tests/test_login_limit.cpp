// Failed logins per client address, with the clock in the test's hand.
#include <gtest/gtest.h>

#include "app/login_limit.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

namespace {

const std::uint64_t attacker = 0xFFFFFFFF7F000002;  // 127.0.0.2, as a peer key
const std::uint64_t neighbour = 0xFFFFFFFF7F000001;

// Every row holds for a limiter of one process and for one that several share.
class LoginLimiter : public ::testing::TestWithParam<bool> {
  protected:
    login_limiter make(unsigned int limit) const {
        if (!GetParam()) return login_limiter(limit);
        std::unique_ptr<login_limiter> shared = login_limiter::shared_between_processes(limit);
        EXPECT_TRUE(shared != nullptr);
        return shared ? *shared : login_limiter(limit);
    }
};

INSTANTIATE_TEST_SUITE_P(PrivateAndShared, LoginLimiter, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Shared" : "Private"; });

// Times in seconds, as the table gives them; the limiter counts milliseconds.
TEST_P(LoginLimiter, NoMinuteEverHoldsMoreFailuresThanTheLimit) {
    login_limiter limiter = make(3);
    struct row {
        double at;
        bool fails;    // a failed login at this time, before the question
        bool refused;  // what refuses() then says of the attacker
        bool told;     // whether first_refusal() says to log it
    };
    const row rows[] = {
        {0, true, false, false},
        {10, true, false, false},
        {59, true, true, true},
        {59.5, false, true, false},
        {59.9, false, true, false},
        {60, false, false, false},
        {60, true, true, true},
        {69.9, false, true, false},
        {70, false, false, false},
        // Failures spread out: the oldest of the last three decides.
        {125, true, false, false},
        {140, true, false, false},
        {150, true, true, true},
        {184.9, false, true, false},
        {185, false, false, false},
    };
    for (const row& r : rows) {
        const auto ms = static_cast<long long>(r.at * 1000);
        if (r.fails) limiter.record_failure(attacker, ms);
        EXPECT_EQ(limiter.refuses(attacker, ms), r.refused) << "at " << r.at;
        EXPECT_EQ(limiter.first_refusal(attacker, ms), r.told) << "at " << r.at;
        EXPECT_FALSE(limiter.refuses(neighbour, ms)) << "at " << r.at;
    }
}

TEST_P(LoginLimiter, WithoutALimitNothingIsRecorded) {
    login_limiter limiter = make(0);
    for (int i = 0; i < 100; ++i)
        limiter.record_failure(attacker, 0);
    EXPECT_FALSE(limiter.refuses(attacker, 0));
    EXPECT_EQ(limiter.addresses(), 0u);
}

TEST_P(LoginLimiter, TheTableForgetsTheStalestAddressWhenFull) {
    login_limiter limiter = make(1);
    for (std::uint64_t a = 0; a < login_limiter::max_addresses; ++a)
        limiter.record_failure(a, 1 + static_cast<long long>(a % 2));  // odd addresses fail later
    EXPECT_TRUE(limiter.refuses(0, 2));
    limiter.record_failure(attacker, 3);
    EXPECT_EQ(limiter.addresses(), login_limiter::max_addresses);
    EXPECT_TRUE(limiter.refuses(attacker, 3));
    int forgotten = 0;
    for (std::uint64_t a = 0; a < login_limiter::max_addresses; ++a)
        forgotten += !limiter.refuses(a, 3);
    EXPECT_EQ(forgotten, 1);
    EXPECT_TRUE(limiter.refuses(1, 3)) << "a later failure is kept";

    // A locked address stays locked however many others fail once.
    login_limiter three = make(3);
    for (int i = 0; i < 3; ++i)
        three.record_failure(attacker, 10);
    for (std::uint64_t a = 0; a < 2 * login_limiter::max_addresses; ++a)
        three.record_failure(a, 11 + static_cast<long long>(a));
    EXPECT_TRUE(three.refuses(attacker, 20000)) << "evicted by single failures of others";
    EXPECT_EQ(three.addresses(), login_limiter::max_addresses);
}

// Failures made in a forked process, and through a copy, count in the parent's limiter.
TEST(SharedLoginLimiter, FailuresOfEveryProcessCountTogether) {
    std::unique_ptr<login_limiter> shared = login_limiter::shared_between_processes(3);
    ASSERT_TRUE(shared != nullptr);
    login_limiter copy = *shared;
    copy.record_failure(attacker, 1000);
    const pid_t child = fork();
    if (child == 0) {
        login_limiter in_child = *shared;
        in_child.record_failure(attacker, 2000);
        in_child.record_failure(neighbour, 2000);
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_FALSE(shared->refuses(attacker, 3000));
    EXPECT_EQ(shared->addresses(), 2u);
    shared->record_failure(attacker, 3000);
    EXPECT_TRUE(copy.refuses(attacker, 3000));
    EXPECT_EQ(copy.ms_until_allowed(attacker, 3000), 58000);
    EXPECT_TRUE(copy.first_refusal(attacker, 3000));
    EXPECT_FALSE(shared->first_refusal(attacker, 3001)) << "told once, in whichever process";
    EXPECT_FALSE(login_limiter(3).refuses(attacker, 3000)) << "a private limiter shares nothing";
}

}  // namespace
