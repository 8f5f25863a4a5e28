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
        if (table.size() >= max_addresses) forget_stalest(now);
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
// An address that is refused is kept while any is not: single failures from
// however many other addresses never free a locked one.
void login_limiter::forget_stalest(long long now) {
    auto stalest = table.end();
    bool stalest_refused = true;
    for (auto it = table.begin(); it != table.end(); ++it) {
        const bool refused = refuses(it->first, now);
        const bool staler =
            stalest == table.end() || it->second.latest() < stalest->second.latest();
        if ((stalest_refused && !refused) || (refused == stalest_refused && staler)) {
            stalest = it;
            stalest_refused = refused;
        }
    }
    if (stalest != table.end()) table.erase(stalest);
}
