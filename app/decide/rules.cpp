#include "app/decide/rules.h"

bool resolve_in_root(const site_policy& site, const request& r, std::string* resolved) {
    return (site.whole_dot_steps || get_level_min(r.path()) >= 0) &&
           resolve_dot_steps(r.path(), resolved);
}

namespace {

// Whether an origin text names the host a request was sent to. The port may
// be left out where it is the default port of the site's scheme, and only
// that port: "host:443" is another origin than "host" on a plain HTTP site.
bool same_authority(std::string_view origin_authority, std::string_view host,
                    std::string_view default_port) {
    auto without_default_port = [default_port](std::string_view text) {
        return text.ends_with(default_port) ? text.substr(0, text.size() - default_port.size())
                                            : text;
    };
    return equal_ignoring_case(without_default_port(origin_authority), without_default_port(host));
}

}  // namespace

std::string_view seen_scheme(const site_policy& site, const request& r) {
    if (!r.seen_scheme.empty()) return r.seen_scheme;
    return site.tls ? "https" : "http";
}

std::optional<std::string_view> seen_host(const request& r) {
    if (!r.seen_host.empty()) return r.seen_host;
    return r.head.host;
}

bool host_is_ours(const site_policy& site, const request& r) {
    const std::optional<std::string_view> told = seen_host(r);
    if (site.server_names.empty() || !told) return true;
    std::string_view host = *told;
    if (host.starts_with('[')) {
        host = host.substr(1, host.find(']') - 1);
    } else if (host.find(':') == host.rfind(':')) {
        host = host.substr(0, host.find(':'));
    }
    if (host.ends_with('.')) host.remove_suffix(1);
    for (const std::string& name : site.server_names) {
        if (equal_ignoring_case(host, name)) return true;
    }
    return false;
}

// A form of another site would otherwise store files with the credentials
// the browser keeps for this one; a page reached through a name of another
// site (its own name made to lead here) is one of another site too.
bool from_this_site(const site_policy& site, const request& r) {
    if (r.head.sec_fetch_site && !equal_ignoring_case(*r.head.sec_fetch_site, "same-origin") &&
        !equal_ignoring_case(*r.head.sec_fetch_site, "none")) {
        return false;
    }
    if (!r.head.origin) return true;
    const std::string_view origin = *r.head.origin;
    const std::string scheme = std::string(seen_scheme(site, r)) + "://";
    const std::string_view default_port = scheme == "https://" ? ":443" : ":80";
    const std::optional<std::string_view> host = seen_host(r);
    return host && host_is_ours(site, r) && origin.size() > scheme.size() &&
           equal_ignoring_case(origin.substr(0, scheme.size()), scheme) &&
           same_authority(origin.substr(scheme.size()), *host, default_port);
}

bool body_length(std::string_view text, off_t* length) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    *length = 0;
    for (char digit : text)
        *length = *length * 10 + (digit - '0');
    return true;
}

bool announced_length(const request& r, off_t* length, std::string* why) {
    if (r.head.transfer_encoding) {
        *length = -1;
        // Both would let a second request hide in the body, read one way here
        // and another way by a proxy in front.
        *why = r.head.content_length ? "the body announces both a length and chunks"
               : r.is_http10()       ? "an HTTP/1.0 body comes in no chunks"
                                     : "only the chunked transfer coding is taken";
        return !r.head.content_length && !r.is_http10() &&
               equal_ignoring_case(*r.head.transfer_encoding, "chunked");
    }
    *why = r.head.content_length ? "the Content-Length is not a length"
                                 : "the body announces no length";
    return r.head.content_length && body_length(*r.head.content_length, length);
}

bool expects_continue(const request& r) {
    return !r.is_http10() && r.head.expect && equal_ignoring_case(*r.head.expect, "100-continue");
}

bool has_hidden_step(std::string_view resolved) {
    return resolved.starts_with('.') || resolved.find("/.") != std::string_view::npos;
}
