#include "app/login_limit.h"

#include <algorithm>

bool login_limiter::refuses(std::uint64_t address, long long now) const {
    if (!enabled()) return false;
    auto it = table.find(address);
    if (it == table.end()) return false;
    const failures& f = it->second;
    return f.times.size() == limit && now - f.times[f.next] < window_ms;
}

long long login_limiter::ms_until_allowed(std::uint64_t address, long long now) const {
    if (!refuses(address, now)) return 0;
    return table.at(address).times[table.at(address).next] + window_ms - now;
}

void login_limiter::record_failure(std::uint64_t address, long long now) {
    if (!enabled()) return;
    auto it = table.find(address);
    if (it == table.end()) {
        if (table.size() >= max_addresses) forget_stalest();
        it = table.emplace(address, failures{}).first;
    }
    failures& f = it->second;
    if (f.times.size() < limit) {
        f.times.push_back(now);
        f.next = f.times.size() % limit;
    } else {
        f.times[f.next] = now;
        f.next = (f.next + 1) % limit;
    }
    f.refusal_told = false;
}

bool login_limiter::first_refusal(std::uint64_t address, long long now) {
    if (!refuses(address, now)) return false;
    failures& f = table[address];
    const bool first = !f.refusal_told;
    f.refusal_told = true;
    return first;
}

// Linear in the table, and only when a new address comes to a full table.
void login_limiter::forget_stalest() {
    auto stalest = std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
        return a.second.latest() < b.second.latest();
    });
    if (stalest != table.end()) table.erase(stalest);
}
