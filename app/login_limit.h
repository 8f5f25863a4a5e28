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
// A limiter made by shared_between_processes() keeps its table in memory
// that the processes forked after it share, under a process-shared lock:
// every copy of the limiter in every one of them counts the same failures.
// Any other limiter is private to its process, and its copies are separate.
//
// Times are milliseconds of a monotonic clock, passed in by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

    // A limiter whose table the processes forked after this call share.
    // Null when the shared memory cannot be had; with limit 0, an unshared
    // limiter that limits nothing.
    static std::unique_ptr<login_limiter> shared_between_processes(unsigned int limit);

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

    size_t addresses() const;

    // What an address's record holds, wherever it is kept.
    struct ring_head {
        std::uint64_t address = 0;
        unsigned int filled = 0;  // failures held: up to `limit`; 0 in a free shared slot
        unsigned int next = 0;    // where the next one goes: the oldest once full
        bool refusal_told = false;
    };
    // One address's record: its head and its `limit` failure times, a ring.
    struct ring {
        ring_head* head;
        long long* times;
    };
    class shared_table;

  private:
    struct failures {
        ring_head head;
        std::vector<long long> times;
    };

    unsigned int limit;
    std::unordered_map<std::uint64_t, failures> table;
    std::shared_ptr<shared_table> shared;  // null: the table above

    ring find(std::uint64_t address) const;
    ring add(std::uint64_t address, long long now);
    bool refuses(const ring& r, long long now) const;
    void forget_stalest(long long now);
};
