// The write locks that WebDAV clients take on resources of the share, held
// in memory for the process's life (a restart forgets them, as a client
// that refreshes its lock then learns).
#pragma once

#include <string>
#include <string_view>

class dav_locks {
  public:
    // Why a write to `resolved` (a path relative to the root, "" for the
    // root), and with `whole_tree` to everything beneath it, may not go on:
    // "423 Locked" when a lock covers it that the request's If field
    // (`if_field`, empty without one) does not name; null when it may.
    const char* write_refusal(const std::string& resolved, bool whole_tree,
                              std::string_view if_field, long long now_ms);
};
