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

// Whether a request comes from a page of this site, or from no page at all.
// A browser names the page's origin in Origin and says in Sec-Fetch-Site
// whether it is this site; scripts and command-line clients send neither.
bool from_this_site(const site_policy& site, const request& r);

// The announced length of a body; false for anything but decimal digits
// that fit.
bool body_length(std::string_view text, off_t* length);

// Whether the client waits for "100 Continue" before it sends its body. An
// HTTP/1.0 client knows nothing of it and waits for none.
bool expects_continue(const request& r);
