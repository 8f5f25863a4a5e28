#include "app/login_limit.h"

#include <cstring>
#include <new>

#include "app/shared_memory.h"

namespace {

long long latest(const login_limiter::ring& r, unsigned int limit) {
    return r.times[(r.head->next + limit - 1) % limit];
}

// The slot that single failures of other addresses must not take from a
// locked one: a refused record is forgotten only when every record is.
bool better_to_forget(bool refused, long long last, bool have, bool chosen_refused,
                      long long chosen_last) {
    if (!have) return true;
    if (chosen_refused != refused) return chosen_refused;
    return last < chosen_last;
}

}  // namespace

// Records in one anonymous shared mapping, found by open addressing with
// linear probing: twice as many slots as addresses, so a probe is short.
// Every slot is a head followed by `limit` times.
class login_limiter::shared_table {
  public:
    static std::shared_ptr<shared_table> make(unsigned int limit) {
        std::shared_ptr<void> memory =
            map_shared(sizeof(shared_table) + slot_count * stride(limit));
        if (!memory) return nullptr;
        auto* table = new (memory.get()) shared_table(limit);
        if (!table->lock.init()) return nullptr;
        return std::shared_ptr<shared_table>(memory, table);
    }

    // A process that died holding the lock leaves the table as it was: at
    // worst one record half written, which counts on.
    shared_mutex* mutex() { return &lock; }

    ring find(std::uint64_t address) {
        for (size_t i = home(address);; i = (i + 1) & mask) {
            ring r = slot(i);
            if (r.head->filled == 0) return {nullptr, nullptr};
            if (r.head->address == address) return r;
        }
    }

    // A free slot for `address`, which is not in the table; the table has
    // room (used < max_addresses).
    ring take(std::uint64_t address) {
        size_t i = home(address);
        while (slot(i).head->filled != 0)
            i = (i + 1) & mask;
        ++used;
        ring r = slot(i);
        *r.head = ring_head{};
        r.head->address = address;
        return r;
    }

    // Forgets the record that `choose` prefers, by backward shifting: no
    // later record of the same probe run is left behind a hole.
    template <typename Prefer>
    void forget_one(Prefer prefers) {
        size_t chosen = slot_count;
        for (size_t i = 0; i < slot_count; ++i) {
            if (slot(i).head->filled != 0 &&
                prefers(slot(i), chosen == slot_count ? ring{} : slot(chosen)))
                chosen = i;
        }
        if (chosen != slot_count) erase(chosen);
    }

    size_t addresses() const { return used; }

  private:
    static constexpr size_t slot_count = 2 * max_addresses;
    static constexpr size_t mask = slot_count - 1;

    shared_mutex lock;
    unsigned int limit;
    size_t used = 0;

    explicit shared_table(unsigned int limit) : limit(limit) {}

    static size_t stride(unsigned int limit) {
        return sizeof(ring_head) + limit * sizeof(long long);
    }
    static size_t home(std::uint64_t address) {
        return static_cast<size_t>((address * 0x9E3779B97F4A7C15ULL) >> 51) & mask;
    }

    ring slot(size_t i) {
        auto* bytes = reinterpret_cast<unsigned char*>(this + 1) + i * stride(limit);
        return {reinterpret_cast<ring_head*>(bytes),
                reinterpret_cast<long long*>(bytes + sizeof(ring_head))};
    }

    void erase(size_t hole) {
        for (size_t i = (hole + 1) & mask; slot(i).head->filled != 0; i = (i + 1) & mask) {
            const size_t want = home(slot(i).head->address);
            // The record at i may fill the hole when its home is not in (hole, i].
            const bool home_between =
                hole < i ? want > hole && want <= i : want > hole || want <= i;
            if (home_between) continue;
            std::memcpy(slot(hole).head, slot(i).head, stride(limit));
            hole = i;
        }
        slot(hole).head->filled = 0;
        --used;
    }
};

std::unique_ptr<login_limiter> login_limiter::shared_between_processes(unsigned int limit) {
    auto limiter = std::make_unique<login_limiter>(limit);
    if (!limiter->enabled()) return limiter;
    limiter->shared = shared_table::make(limiter->limit);
    if (!limiter->shared) return nullptr;
    return limiter;
}

login_limiter::ring login_limiter::find(std::uint64_t address) const {
    if (shared) return shared->find(address);
    auto it = table.find(address);
    if (it == table.end()) return {nullptr, nullptr};
    auto& f = const_cast<failures&>(it->second);
    return {&f.head, f.times.data()};
}

login_limiter::ring login_limiter::add(std::uint64_t address, long long now) {
    if (addresses() >= max_addresses) forget_stalest(now);
    if (shared) return shared->take(address);
    failures& f = table[address];
    f.head.address = address;
    f.times.resize(limit);
    return {&f.head, f.times.data()};
}

bool login_limiter::refuses(const ring& r, long long now) const {
    return r.head != nullptr && r.head->filled == limit && now - r.times[r.head->next] < window_ms;
}

bool login_limiter::refuses(std::uint64_t address, long long now) const {
    if (!enabled()) return false;
    shared_guard held(shared ? shared->mutex() : nullptr);
    return refuses(find(address), now);
}

long long login_limiter::ms_until_allowed(std::uint64_t address, long long now) const {
    if (!enabled()) return 0;
    shared_guard held(shared ? shared->mutex() : nullptr);
    const ring r = find(address);
    return refuses(r, now) ? r.times[r.head->next] + window_ms - now : 0;
}

void login_limiter::record_failure(std::uint64_t address, long long now) {
    if (!enabled()) return;
    shared_guard held(shared ? shared->mutex() : nullptr);
    ring r = find(address);
    if (r.head == nullptr) r = add(address, now);
    r.times[r.head->next] = now;
    r.head->next = (r.head->next + 1) % limit;
    if (r.head->filled < limit) ++r.head->filled;
    r.head->refusal_told = false;
}

bool login_limiter::first_refusal(std::uint64_t address, long long now) {
    if (!enabled()) return false;
    shared_guard held(shared ? shared->mutex() : nullptr);
    const ring r = find(address);
    if (!refuses(r, now)) return false;
    const bool first = !r.head->refusal_told;
    r.head->refusal_told = true;
    return first;
}

size_t login_limiter::addresses() const {
    return shared ? shared->addresses() : table.size();
}

// Linear in the table, and only when a new address comes to a full table.
// An address that is refused is kept while any is not: single failures from
// however many other addresses never free a locked one.
void login_limiter::forget_stalest(long long now) {
    auto prefers = [&](const ring& r, const ring& chosen) {
        return better_to_forget(refuses(r, now), latest(r, limit), chosen.head != nullptr,
                                chosen.head != nullptr && refuses(chosen, now),
                                chosen.head != nullptr ? latest(chosen, limit) : 0);
    };
    if (shared) return shared->forget_one(prefers);
    auto stalest = table.end();
    for (auto it = table.begin(); it != table.end(); ++it) {
        const ring r{&it->second.head, it->second.times.data()};
        const ring chosen = stalest == table.end()
                                ? ring{nullptr, nullptr}
                                : ring{&stalest->second.head, stalest->second.times.data()};
        if (prefers(r, chosen)) stalest = it;
    }
    if (stalest != table.end()) table.erase(stalest);
}
