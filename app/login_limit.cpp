#include "app/login_limit.h"

#include <time.h>

#include <algorithm>

bool login_limiter::refuses(in_addr_t address, long now) const {
    if (!enabled()) return false;
    auto it = table.find(address);
    return it != table.end() && window_open(it->second, now) && it->second.count >= limit;
}

void login_limiter::record_failure(in_addr_t address, long now) {
    if (!enabled()) return;
    auto it = table.find(address);
    if (it == table.end()) {
        if (table.size() >= max_addresses) forget_stalest();
        it = table.emplace(address, failures{}).first;
    }
    failures& f = it->second;
    if (f.count == 0 || !window_open(f, now)) f = failures{now, now, 0, false};
    ++f.count;
    f.last = now;
}

bool login_limiter::first_refusal(in_addr_t address, long now) {
    if (!refuses(address, now)) return false;
    failures& f = table[address];
    const bool first = !f.refusal_told;
    f.refusal_told = true;
    return first;
}

// Linear in the table, and only when a new address comes to a full table.
void login_limiter::forget_stalest() {
    auto stalest = std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
        return a.second.last < b.second.last;
    });
    if (stalest != table.end()) table.erase(stalest);
}

long monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec);
}
