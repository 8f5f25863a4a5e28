#include "app/dav_locks.h"

#include <sys/random.h>

#include <algorithm>

namespace {

// A version 4 UUID, as a URN: 122 random bits from the kernel.
bool random_token(std::string* token) {
    unsigned char bytes[16] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return false;
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static const char hex[] = "0123456789abcdef";
    *token = "urn:uuid:";
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *token += '-';
        *token += hex[bytes[i] >> 4];
        *token += hex[bytes[i] & 0x0F];
    }
    return true;
}

// Whether two locks lock something both cover.
bool overlap(const dav_lock& a, const dav_lock& b) {
    return a.covers(b.root) || b.covers(a.root);
}

}  // namespace

bool path_within(std::string_view inner, std::string_view outer) {
    return outer.empty() || inner == outer ||
           (inner.starts_with(outer) && inner.size() > outer.size() && inner[outer.size()] == '/');
}

bool dav_lock::covers(std::string_view resolved) const {
    return resolved == root || (whole_tree && path_within(resolved, root));
}

void dav_locks::forget_expired(long long now_ms) {
    std::erase_if(locks, [now_ms](const auto& entry) { return entry.second.expires_ms <= now_ms; });
}

dav_locks::outcome dav_locks::take(dav_lock wish, long long now_ms, dav_lock* result) {
    forget_expired(now_ms);
    for (const auto& [token, lock] : locks) {
        if ((lock.exclusive || wish.exclusive) && overlap(lock, wish)) {
            *result = lock;
            return outcome::conflict;
        }
    }
    if (locks.size() >= max_locks || !random_token(&wish.token)) return outcome::unavailable;
    wish.expires_ms = now_ms + wish.timeout_s * 1000;
    *result = wish;
    locks.emplace(wish.token, std::move(wish));
    return outcome::taken;
}

dav_lock* dav_locks::find(std::string_view token, std::string_view resolved, long long now_ms) {
    forget_expired(now_ms);
    const auto found = locks.find(token);
    return found != locks.end() && found->second.covers(resolved) ? &found->second : nullptr;
}

const dav_lock* dav_locks::covering(std::string_view token, std::string_view resolved,
                                    long long now_ms) {
    return find(token, resolved, now_ms);
}

const dav_lock* dav_locks::refresh(std::string_view token, std::string_view resolved,
                                   long long timeout_s, long long now_ms) {
    dav_lock* lock = find(token, resolved, now_ms);
    if (lock == nullptr) return nullptr;
    lock->timeout_s = timeout_s;
    lock->expires_ms = now_ms + timeout_s * 1000;
    return lock;
}

bool dav_locks::release(std::string_view token, std::string_view resolved, long long now_ms) {
    if (find(token, resolved, now_ms) == nullptr) return false;
    locks.erase(locks.find(token));
    return true;
}

std::vector<dav_lock> dav_locks::locks_on(std::string_view resolved, long long now_ms) {
    forget_expired(now_ms);
    std::vector<dav_lock> found;
    for (const auto& [token, lock] : locks) {
        if (lock.covers(resolved)) found.push_back(lock);
    }
    return found;
}

bool dav_locks::submitted_covers(std::string_view resolved,
                                 const std::vector<std::string>& submitted) {
    return std::any_of(submitted.begin(), submitted.end(), [&](const std::string& token) {
        const auto found = locks.find(token);
        return found != locks.end() && found->second.covers(resolved);
    });
}

const dav_lock* dav_locks::blocking(std::string_view resolved, bool whole_tree,
                                    const std::vector<std::string>& submitted, long long now_ms) {
    forget_expired(now_ms);
    for (const auto& [token, lock] : locks) {
        // The resource of the write that this lock locks, if any.
        const bool locks_target = lock.covers(resolved);
        if (!locks_target && !(whole_tree && path_within(lock.root, resolved))) continue;
        if (!submitted_covers(locks_target ? resolved : lock.root, submitted)) return &lock;
    }
    return nullptr;
}

void dav_locks::forget(std::string_view resolved, bool whole_tree) {
    std::erase_if(locks, [&](const auto& entry) {
        const std::string& root = entry.second.root;
        return root == resolved || (whole_tree && path_within(root, resolved));
    });
}
