// Basic authentication of a connection: the credentials a request brings,
// checked against the site's login and password or against the users of a
// password file, with the login limit of the client's address.
//
// A connection logs in once: its first request that brings the right
// credentials authorizes it for good. Each request before that is an
// attempt; past the site's `max_attempts` the connection is answered 403.
// A connection from a trusted proxy carries the requests of many clients:
// each of its requests logs in on its own.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/request.h"

// A password hashed on another thread, and what it found.
struct password_check : work_ticket {
    password_file::hash_job job;
    bool passed = false;
};

// The authentication of one connection, and who its requests come from.
struct login_state {
    sockaddr_storage peer_address{};  // the connection's peer: a proxy, or the client
    // The connection's client: its peer, or the client its PROXY header named.
    sockaddr_storage origin{};
    // The client of the request being decided: `origin`, or the one a
    // trusted proxy names; and the client as the login limit counts it
    // (address_key).
    sockaddr_storage client{};
    std::uint64_t peer = 0;
    bool authorized = false;  // once true, stays true for the connection
    int a_counter = 0;        // the attempts made on this connection
    std::string user;         // who logged in; empty: nobody, or authentication is off
    // The check of the request being decided, while its password is hashed.
    std::shared_ptr<password_check> checking;
};

// Whether every request is served without credentials: an empty login and
// password, and no password file.
bool authentication_off(const decision_context& context);

// Whether the request brings credentials: user information in its target,
// or an Authorization field.
bool carries_credentials(const request& r);

// The credentials of a connection that is not yet authorized. When they
// pass, `login` is authorized and the answer is `close` with the event
// "authorization detected" (the request is then answered as its method
// says); otherwise it is the 401, 403 or 429 to answer with. Where the
// password must be hashed and the site hashes on other threads, the answer
// is `waiting`: the same request is decided again, and the attempt is not
// counted twice, once the hash is done; with every hash thread busy and the
// queue full, 503 with Retry-After.
answer check_login(const decision_context& context, login_state* login, const request& r);

// The connection's peer is `peer`, and its client `origin` (the peer, or
// the client its PROXY header named): each request comes from it, unless a
// trusted proxy names another.
void set_origin(login_state* login, const sockaddr_storage& peer, const sockaddr_storage& origin);

// Finds the client of request `r` (and what the browser saw of the scheme
// and host) where the site trusts proxies; from a trusted proxy, the login
// of the connection is forgotten before each request. Without trusted
// proxies nothing changes.
void find_request_client(const site_policy& site, login_state* login, request* r);
