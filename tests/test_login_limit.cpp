// Failed logins per client address, with the clock in the test's hand.
#include <gtest/gtest.h>

#include "app/login_limit.h"

#include <cstdint>

namespace {

const std::uint64_t attacker = 0xFFFFFFFF7F000002;  // 127.0.0.2, as a peer key
const std::uint64_t neighbour = 0xFFFFFFFF7F000001;

// Times in seconds, as the table gives them; the limiter counts milliseconds.
TEST(LoginLimiter, NoMinuteEverHoldsMoreFailuresThanTheLimit) {
    login_limiter limiter(3);
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

TEST(LoginLimiter, WithoutALimitNothingIsRecorded) {
    login_limiter limiter;
    for (int i = 0; i < 100; ++i)
        limiter.record_failure(attacker, 0);
    EXPECT_FALSE(limiter.refuses(attacker, 0));
    EXPECT_EQ(limiter.addresses(), 0u);
}

TEST(LoginLimiter, TheTableForgetsTheStalestAddressWhenFull) {
    login_limiter limiter(1);
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
    login_limiter three(3);
    for (int i = 0; i < 3; ++i)
        three.record_failure(attacker, 10);
    for (std::uint64_t a = 0; a < 2 * login_limiter::max_addresses; ++a)
        three.record_failure(a, 11 + static_cast<long long>(a));
    EXPECT_TRUE(three.refuses(attacker, 20000)) << "evicted by single failures of others";
}

}  // namespace
