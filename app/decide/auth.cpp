#include "app/decide/auth.h"

#include <cstring>

#include "engine/socket_engine.h"
#include "http/proxy_utils.h"

namespace {

// The user and password a request brings, from the target's user
// information or a Basic Authorization field; false when it brings none.
bool brought_credentials(const request& r, std::string* user, std::string* password) {
    if (r.target.has_user_info) {
        *user = r.target.user;
        *password = r.target.password;
        return true;
    }
    std::string decoded;
    if (!r.head.authorization ||
        !base64_decode(basic_credentials(*r.head.authorization), &decoded)) {
        return false;
    }
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

enum class verdict { pass, fail, waiting, busy };

// With a password file: whether the request's credentials are a user's of
// it (`user` is then who logged in), or that the hash goes on elsewhere.
verdict password_file_verdict(const decision_context& context, login_state* login, const request& r,
                              std::string* user) {
    password_file& users = *context.services.users;
    const long long now = context.now_ms;
    if (std::shared_ptr<password_check> done = std::move(login->checking)) {
        *user = done->job.user;
        if (done->passed) users.remember(done->job, now);
        return done->passed ? verdict::pass : verdict::fail;
    }
    std::string password;
    if (!brought_credentials(r, user, &password)) return verdict::fail;
    work_pool* hashing = context.services.hash_checks.get();
    if (hashing == nullptr)
        return users.check(*user, password, now) ? verdict::pass : verdict::fail;
    if (users.recalls(*user, password, now)) return verdict::pass;
    auto check = std::make_shared<password_check>();
    check->job = users.prepare(*user, password);
    auto hash = [check, turn = context.services.hash_turn] {
        shared_guard held(turn.get());
        check->passed = hash_job_passes(check->job);
    };
    if (!hashing->submit(check, hash)) {
        return verdict::busy;
    }
    login->checking = std::move(check);
    return verdict::waiting;
}

// One set of credentials a request: the target's user information when it
// has some, else the Authorization field, else none (an empty login and
// password). With both configured empty, authentication is off.
bool credentials_match(const site_policy& site, const request& r) {
    if (site.login.empty() && site.password.empty()) return true;
    if (r.target.has_user_info) {
        // Both are compared whatever the first says.
        const bool user_matches = same_secret(r.target.user, site.login);
        const bool password_matches = same_secret(r.target.password, site.password);
        return user_matches && password_matches;
    }
    if (r.head.authorization) {
        return same_secret(basic_credentials(*r.head.authorization), site.expected_credentials);
    }
    return false;
}

// With a login limit, a client that may try no more logins is answered and
// closed, and the rest of its group is dropped.
answer limit_reached(const decision_context& context, const login_state& login) {
    login_limiter& logins = context.services.logins;
    const long long now = context.now_ms;
    const long long wait_s = (logins.ms_until_allowed(login.peer, now) + 999) / 1000;
    answer a = context.site.retry_after
                   ? status_answer(status_429, "Retry-After: " + std::to_string(wait_s) + "\r\n")
                   : status_answer(status_403);
    if (logins.first_refusal(login.peer, now)) {
        a.event = "login limit reached";
        a.event_for_every_log = true;
    }
    a.last_of_group = true;
    return a;
}

// Every hash thread is busy and its queue is full: the client tries again
// in a second, and the attempt is not counted.
answer hashing_busy(login_state* login) {
    --login->a_counter;
    answer a = status_answer(status_503, "Retry-After: 1\r\n");
    a.last_of_group = true;
    return a;
}

}  // namespace

bool carries_credentials(const request& r) {
    return r.target.has_user_info || r.head.authorization.has_value();
}

bool authentication_off(const decision_context& context) {
    return context.site.login.empty() && context.site.password.empty() &&
           context.services.users == nullptr;
}

answer check_login(const decision_context& context, login_state* login, const request& r) {
    const site_policy& site = context.site;
    login_limiter& logins = context.services.logins;
    const long long now = context.now_ms;
    // A request decided again once its hash is done is the same attempt.
    const bool resumed = login->checking != nullptr;
    if (!resumed) {
        if (logins.refuses(login->peer, now)) return limit_reached(context, *login);
        if (login->a_counter > site.max_attempts) {
            answer a = status_answer(status_403);
            a.last_of_group = logins.enabled();
            return a;
        }
        ++login->a_counter;
    }
    std::string user = site.login;
    const verdict found = context.services.users != nullptr
                              ? password_file_verdict(context, login, r, &user)
                          : credentials_match(site, r) ? verdict::pass
                                                       : verdict::fail;
    if (found == verdict::waiting) return waiting_answer(login->checking);
    if (found == verdict::busy) return hashing_busy(login);
    if (found == verdict::pass) {
        login->authorized = true;
        login->user = std::move(user);
        answer a;
        a.event = "authorization detected";
        return a;
    }
    answer a =
        status_answer(status_401, "WWW-Authenticate: Basic realm=\"" + site.realm + "\"\r\n");
    // A request without credentials, as a browser's first one is, guesses nothing.
    a.failed_login = carries_credentials(r);
    if (a.failed_login) logins.record_failure(login->peer, now);
    return a;
}

void set_origin(login_state* login, const sockaddr_storage& peer, const sockaddr_storage& origin) {
    login->peer_address = peer;
    login->origin = login->client = origin;
    login->peer = address_key(origin);
}

void find_request_client(const site_policy& site, login_state* login, request* r) {
    if (site.trusted_proxies.empty()) return;
    // A request decided again once its hash is done is the same attempt.
    if (address_listed(site.trusted_proxies, login->origin) && login->checking == nullptr) {
        login->authorized = false;
        login->a_counter = 0;
        login->user.clear();
    }
    forwarded_client found =
        find_forwarded_client(r->head.fields, login->origin, site.trusted_proxies);
    // Behind a PROXY header the client is no proxy, but the proxy that sent
    // the header still tells how the browser reached it.
    if (memcmp(&login->origin, &login->peer_address, sizeof login->origin) != 0) {
        forwarded_client told =
            find_forwarded_client(r->head.fields, login->peer_address, site.trusted_proxies);
        if (found.scheme.empty()) found.scheme = std::move(told.scheme);
        if (found.host.empty()) found.host = std::move(told.host);
    }
    login->client = found.address;
    login->peer = address_key(found.address);
    r->seen_scheme = std::move(found.scheme);
    r->seen_host = std::move(found.host);
}
