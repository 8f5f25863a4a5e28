// Failed logins counted per client address, across all its connections: an
// address key (se_basic_node::get_peer_key: an IPv4 address, or the /64 of an
// IPv6 one, so the addresses of one /64 share one count).
//
// An address is refused while it has failed `limit` times within the last
// 60 seconds: its requests are then answered without their credentials
// being compared, until the oldest of those failures is a minute old. So no
// address ever gets more than `limit` failed logins into any one minute. The
// table holds at most `max_addresses` addresses, each with the times of its
// last `limit` failures (`limit` is at most `max_limit`); when a new address
// comes to a full table, the one that failed longest ago among those not
// refused is forgotten (a refused one only when all are), so an attacker's
// range of addresses costs bounded memory and frees no locked address. Only failures are
// recorded: a request that authenticates never touches the table.
//
// Times are milliseconds of a monotonic clock, passed in by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

class login_limiter {
  public:
    static constexpr long long window_ms = 60000;
    static constexpr size_t max_addresses = 4096;
    static constexpr unsigned int max_limit = 100;

    // `limit` failures within a minute refuse the address (a larger limit is
    // taken as `max_limit`); 0: no limit.
    explicit login_limiter(unsigned int limit = 0) : limit(limit < max_limit ? limit : max_limit) {}

    bool enabled() const { return limit > 0; }
    // Whether requests from `address` are refused at `now`.
    bool refuses(std::uint64_t address, long long now) const;
    // Milliseconds from `now` until `address` is no longer refused: until the
    // oldest failure it is refused for leaves the window. 0 when it is not refused.
    long long ms_until_allowed(std::uint64_t address, long long now) const;
    // Records a failed login of `address` at `now`.
    void record_failure(std::uint64_t address, long long now);
    // True once for each time the address comes to be refused: the first
    // time it is asked then. The caller logs the refusal.
    bool first_refusal(std::uint64_t address, long long now);

    size_t addresses() const { return table.size(); }

  private:
    struct failures {
        std::vector<long long> times;  // the last `limit` failures, a ring
        size_t next = 0;               // where the next one goes: the oldest once full
        bool refusal_told = false;
        long long latest() const { return times[(next + times.size() - 1) % times.size()]; }
    };

    unsigned int limit;
    std::unordered_map<std::uint64_t, failures> table;

    void forget_stalest(long long now);
};
