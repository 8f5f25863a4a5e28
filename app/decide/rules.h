// What every family of methods shares: where a request's path lies in the
// root, whether a request that changes something comes from a page of this
// site, and the length a body announces.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "app/request.h"
#include "app/site_policy.h"

// The request's path with its dot steps resolved as text, for joining to the
// root; false for a path that leads above the root.
bool resolve_in_root(const site_policy& site, const request& r, std::string* resolved);

// The scheme the browser used, "http" or "https": as a trusted proxy tells
// it, else the site's own.
std::string_view seen_scheme(const site_policy& site, const request& r);

// The Host the browser sent: as a trusted proxy tells it, else the
// request's Host field (none without one).
std::optional<std::string_view> seen_host(const request& r);

// Whether the request's Host names this server: one of the site's server
// names (any port), or any Host where the site keeps none. A request
// without Host names none in particular, and passes.
bool host_is_ours(const site_policy& site, const request& r);

// Whether a request comes from a page of this site, or from no page at all.
// A browser names the page's origin in Origin and says in Sec-Fetch-Site
// whether it is this site; scripts and command-line clients send neither.
// The Origin is compared only with a Host that is ours.
bool from_this_site(const site_policy& site, const request& r);

// Whether a path (resolved, relative to the root) has a step that begins
// with ".": such names are not served where the site hides them.
bool has_hidden_step(std::string_view resolved);

// The announced length of a body; false for anything but decimal digits
// that fit.
bool body_length(std::string_view text, off_t* length);

// The length of the body a request announces: its Content-Length, or -1
// for a body in chunks (Transfer-Encoding: chunked, HTTP/1.1 only). False,
// with `why`, for none, both, another coding, or a length that is none.
bool announced_length(const request& r, off_t* length, std::string* why);

// Whether the client waits for "100 Continue" before it sends its body. An
// HTTP/1.0 client knows nothing of it and waits for none.
bool expects_continue(const request& r);
