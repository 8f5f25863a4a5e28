// Failed logins counted per client address, across all its connections.
//
// An address that has failed `limit` times within a window of 60 seconds is
// refused until the window that its first failure opened has passed: its
// requests are answered without their credentials being compared. The table
// holds at most `max_addresses` addresses; when a new one comes and it is
// full, the one that failed longest ago is forgotten, so an attacker's range
// of addresses costs bounded memory. Only failures are recorded: a request
// that authenticates never touches the table.
//
// Times are whole seconds of a monotonic clock, passed in by the caller.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <unordered_map>

class login_limiter {
  public:
    static constexpr long window_seconds = 60;
    static constexpr size_t max_addresses = 4096;

    // `limit` failures within a window refuse the address; 0: no limit.
    explicit login_limiter(unsigned int limit = 0) : limit(limit) {}

    bool enabled() const { return limit > 0; }
    // Whether requests from `address` are refused at `now`.
    bool refuses(in_addr_t address, long now) const;
    // Records a failed login of `address` at `now`.
    void record_failure(in_addr_t address, long now);
    // True once per window and address: the first time it is asked after the
    // address came to be refused. The caller logs the refusal then.
    bool first_refusal(in_addr_t address, long now);

    size_t addresses() const { return table.size(); }

  private:
    struct failures {
        long window_start = 0;  // the first failure of the current window
        long last = 0;          // the latest failure
        unsigned int count = 0;
        bool refusal_told = false;
    };

    unsigned int limit;
    std::unordered_map<in_addr_t, failures> table;

    bool window_open(const failures& f, long now) const {
        return now - f.window_start < window_seconds;
    }
    void forget_stalest();
};

// Seconds of the monotonic clock: failures age with it, whatever the wall clock does.
long monotonic_seconds();
