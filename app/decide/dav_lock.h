// LOCK and UNLOCK, and the check that every write to the share makes: the
// request's If field must hold, and each lock on what it writes must be
// one the request submits.
//
// A lock token is submitted by naming it in a list of the If field that
// holds: a list holds when each of its conditions does, a state token when
// it is the token of a lock in force on the list's resource, an entity tag
// when it is the resource's tag as a GET names it (a weak tag never is).
// Untagged lists are about the request's own resource. A field none of whose
// lists holds fails the request (412); tokens the server never issued, such
// as <DAV:no-lock>, never hold.
//
// A new lock lasts what the Timeout field asks, at most max_lock_seconds;
// without a Timeout field, or with "Infinite", default_lock_seconds and
// max_lock_seconds. The locks themselves are app/dav_locks.h's, in memory.
#pragma once

#include <cstddef>
#include <string>

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/request.h"

constexpr long long default_lock_seconds = 600;
constexpr long long max_lock_seconds = 3600;
constexpr std::size_t max_lock_owner = 4096;  // bytes of a lock's owner element

// Why a write to `resolved` (relative to the root, as dav_resource names
// it), and with `whole_tree` to everything beneath it, may not go on: 400
// for an If field that is none, 412 when it does not hold, 423 when a lock
// on what is written is not submitted. Null when it may; always null where
// the site does not answer WebDAV. A write that makes or removes a resource
// changes its folder too: ask for the folder as well (without `whole_tree`),
// since a lock of depth 0 on a folder keeps what it holds.
const char* write_refusal(const decision_context& context, const request& r,
                          const std::string& resolved, bool whole_tree);

// The folder that holds `resolved` ("" for the root's members).
std::string folder_of(const std::string& resolved);

// The same for a PUT (`names_file`) or a POST of files into the folder the
// request names, before its body is read: the locks of the file, and of
// its folder when the file is new; of the folder for a POST. `*why` says
// why in words a person reads.
const char* store_refusal(const decision_context& context, const request& r, bool names_file,
                          std::string* why);

// The element <D:lockdiscovery> of `resolved`: the locks in force that
// cover it. The writer's prefix "D" must name "DAV:" where it is placed.
std::string lockdiscovery(const decision_context& context, const std::string& resolved);

// What <D:lockdiscovery> of `resolved` holds: an activelock for each lock
// in force that covers it.
void append_active_locks(std::string& out, const decision_context& context,
                         const std::string& resolved);

// What <D:supportedlock> holds: exclusive and shared write locks.
void append_supported_locks(std::string& out);

// LOCK by `user`: with a lockinfo body a new lock (200, or 201 with an
// empty file made for a name that was unmapped), without one the refresh
// of the lock that the If field names.
answer lock_answer(const decision_context& context, const request& r, const std::string& user);

// UNLOCK by `user` of the lock its Lock-Token field names: 204, 409 when
// that is no lock of the request's resource.
answer unlock_answer(const decision_context& context, const request& r, const std::string& user);
