// The write locks that WebDAV clients take on resources of the share: a
// table of exclusive and shared locks, each on one resource (depth 0) or on
// a resource and everything beneath it (depth infinity), with the lock's
// owner, the user who took it and its time.
//
// Locks are held in memory only: a restart forgets them all, and a client
// that refreshes its lock then learns that it is gone (412) and takes a new
// one. A lock is kept by the path of its root (relative to the share's
// root, "" for the root itself) and covers that path: it does not travel
// with a file that is moved, and what comes to a locked path later is
// covered by the locks there. A method that deletes or moves a resource
// away calls forget() for it once it has succeeded.
//
// The table holds at most max_locks locks; one that has expired is
// forgotten whenever the table is looked at, so the time of the caller's
// clock (`now_ms`, monotonic milliseconds) comes with every call. Only the
// thread that polls uses it.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct dav_lock {
    std::string token;      // "urn:uuid:" and a UUID from the kernel's random source
    std::string root;       // the locked resource, relative to the share's root
    std::string root_href;  // the locked resource as answers name it
    bool exclusive = true;
    bool whole_tree = false;  // depth infinity: it also covers everything beneath the root
    std::string owner;        // the owner element as the client wrote it; empty: none
    std::string user;         // who took it; empty: nobody logged in
    long long timeout_s = 0;  // how long it lasts after it is taken or refreshed
    long long expires_ms = 0;

    // Whether a write to `resolved` is a write to what this lock covers.
    bool covers(std::string_view resolved) const;
};

// Whether `inner` is `outer` or lies beneath it (paths relative to the root).
bool path_within(std::string_view inner, std::string_view outer);

class dav_locks {
  public:
    // Enough for every file a group has open at once; a client that takes
    // more is refused until some expire or are released.
    static constexpr std::size_t max_locks = 1024;

    enum class outcome {
        taken,
        conflict,     // a lock in force is in the way
        unavailable,  // the table is full, or the kernel gave no random token
    };

    // Takes the lock `wish` (its token and expiry are made here) unless it
    // conflicts with a lock in force on anything both cover: an exclusive
    // lock with any other, a shared one with an exclusive one. `*result` is
    // the lock taken, or with `conflict` the lock in the way.
    outcome take(dav_lock wish, long long now_ms, dav_lock* result);

    // The lock `token` when it covers `resolved`: refreshed to last
    // `timeout_s` from now. Null when there is none such.
    const dav_lock* refresh(std::string_view token, std::string_view resolved, long long timeout_s,
                            long long now_ms);

    // Removes the lock `token` when it covers `resolved`; false, with
    // nothing changed, when there is none such.
    bool release(std::string_view token, std::string_view resolved, long long now_ms);

    // The lock `token`, when it is in force and covers `resolved`; null otherwise.
    const dav_lock* covering(std::string_view token, std::string_view resolved, long long now_ms);

    // The locks in force that cover `resolved`, in the order of their tokens.
    std::vector<dav_lock> locks_on(std::string_view resolved, long long now_ms);

    // The lock that keeps a write to `resolved` (and with `whole_tree` to
    // everything beneath it) from going on, when the request submits the
    // lock tokens `submitted`: each locked resource written to must be
    // covered by a submitted lock. Null when the write may go on.
    const dav_lock* blocking(std::string_view resolved, bool whole_tree,
                             const std::vector<std::string>& submitted, long long now_ms);

    // Drops the locks rooted at `resolved` (with `whole_tree` also those
    // rooted beneath it): it has been deleted, or moved away.
    void forget(std::string_view resolved, bool whole_tree);

  private:
    void forget_expired(long long now_ms);
    dav_lock* find(std::string_view token, std::string_view resolved, long long now_ms);
    // Whether some lock of `submitted` covers `resolved`.
    bool submitted_covers(std::string_view resolved, const std::vector<std::string>& submitted);

    std::map<std::string, dav_lock, std::less<>> locks;  // by token
};
