#include "app/responder.h"

#include "app/decide/dav.h"
#include "app/decide/files.h"
#include "app/decide/methods.h"
#include "app/decide/pages.h"
#include "app/decide/rules.h"

namespace {

// The target and the Host field are echoed into the Location line of a
// redirect, where a CR, LF or NUL would end that header line early and let the
// request write header lines of its own.
bool breaks_header_line(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool served_version(const site_policy& site, std::string_view version) {
    return version == "HTTP/1.1" || (site.http10 && version == "HTTP/1.0");
}

// Takes one request head apart. False for a head, version, target or scheme
// that the server does not serve, for a path whose escapes do not decode, and
// for a head that announces a body where no method takes one: the connection
// is then closed.
bool parse_request(const site_policy& site, char* begin, char* end, char** next, request* r) {
    request_head& head = r->head;
    if (!read_request_head(begin, end, next, &head) || !served_version(site, head.version) ||
        (announces_body(head) && !takes_bodies(site))) {
        return false;
    }
    char* target_begin = const_cast<char*>(head.target.data());
    if (!split_target(target_begin, target_begin + head.target.size(), &r->target) ||
        (!r->target.scheme.empty() && r->target.scheme != "http")) {
        return false;
    }
    if (breaks_header_line(head.target) || breaks_header_line(head.host.value_or(""))) {
        return false;
    }
    r->decoded = site.decode_path;
    return !site.decode_path || percent_decode(r->target.path, &r->decoded_path);
}

// Said in the log, not in the answer, which another site's page reads.
answer cross_site_refusal() {
    answer a = refused_upload(status_403);
    a.notice = "upload refused: a page of another site sent it";
    return a;
}

// An answer given without reading the request's body. A 401 lets the client
// try again on this connection once the body of announced length is read and
// thrown away, unless that length is beyond upload_max; after any other
// answer, and whenever the client waits to be asked for the body or its
// length is not told, the connection closes once what the client still
// sends has been drained.
void leave_body_unread(const site_policy& site, const request& r, answer* a) {
    off_t length = 0;
    const bool known = !r.head.transfer_encoding && r.head.content_length &&
                       body_length(*r.head.content_length, &length);
    a->body_unread = known ? static_cast<long long>(length) : -1;
    const bool worth_reading = known && length <= site.upload_max && !expects_continue(r);
    if (a->status == status_401 && worth_reading) return;
    a->close_after_send = true;
}

// A user whose access is less than the method needs is refused: the
// answer says what they may do, the log who tried what.
answer beyond_access(const request& r, const std::string& user, share_access granted) {
    answer a = status_answer(status_403);
    a.body_text = granted == share_access::read ? "this share is read-only for you"
                                                : "you may not change what is in this share";
    a.notice = "refused: " + (user.empty() ? std::string("-") : user) + " may not " +
               std::string(r.head.method);
    return a;
}

// A refusal as a browser reads it, where the site answers browsers with pages.
answer paged(const site_policy& site, const request& r, answer a) {
    if (refusals_are_pages(site, r)) refuse_with_page(&a, folder_of(site, r));
    return a;
}

// The answer to an authenticated request of a user with `granted` access,
// by the unit of its method. A method the site does not answer is refused
// 405 where clients may store files or mount the share, and closes the
// connection otherwise, as it always did.
answer authorized_answer(const decision_context& context, const request& r, const std::string& user,
                         share_access granted) {
    const site_policy& site = context.site;
    const method_row* method = served_method(site, r.head.method);
    if (method == nullptr) {
        return site.upload || site.webdav ? status_answer(status_405, allow_field(site)) : answer();
    }
    if (granted < method->needs) return paged(site, r, beyond_access(r, user, granted));
    if (method->unsafe && !from_this_site(site, r)) return cross_site_refusal();
    switch (method->unit) {
        case method_unit::upload:
            return upload_answer(context, r, granted);
        case method_unit::dav:
            return dav_answer(context, r, user, granted);
        case method_unit::files:
            break;
    }
    return paged(site, r, file_answer(context, r, granted));
}

// A query must be key=value pairs, unless paths are decoded: then a query
// such as "?v2", which a page adds to bust a cache, is not looked at.
bool query_is_served(const site_policy& site, const request& r) {
    param_map query;
    return parse_query(r.target.query_begin, r.target.query_end, nullptr, &query) ||
           site.decode_path;
}

// Whether the client asks to close the connection after this answer: an
// HTTP/1.1 client with "Connection: close", heard only in the HTTP/1.0 mode.
bool asks_close(const site_policy& site, const request& r) {
    return site.http10 && !r.is_http10() && lists_connection_option(r.head, "close");
}

// What the version and the Connection field of the request say of the
// connection after its answer.
void keep_or_close(const site_policy& site, const request& r, answer* a) {
    // An HTTP/1.0 client learns that the connection stays open only from
    // this field; without it, it reads each answer to the close.
    if (r.is_http10()) {
        if (lists_connection_option(r.head, "keep-alive")) {
            a->extra_headers += "Connection: keep-alive\r\n";
        } else {
            a->close_after_send = true;
        }
    }
    if (asks_close(site, r) && !a->close_after_send) a->last_of_group = true;
    // An HTTP/1.1 client that is not told would send its next request into
    // a connection that closes.
    if ((a->close_after_send || a->last_of_group) && !r.is_http10()) {
        a->extra_headers += "Connection: close\r\n";
    }
}

// The login, then the unit of the method. With no credentials to check, a
// Host that is not this server's names another site, made to lead here
// (DNS rebinding): it is answered 421.
answer decide(const decision_context& context, login_state* login, const request& r) {
    const site_policy& site = context.site;
    if (authentication_off(context) && !host_is_ours(site, r)) return status_answer(status_421);
    // A public share is read by anyone who brings no credentials; whoever
    // brings them logs in, and only a login may change the share.
    if (!login->authorized && site.public_read && !carries_credentials(r)) {
        const method_row* method = served_method(site, r.head.method);
        if (method != nullptr && method->needs == share_access::read) {
            if (!query_is_served(site, r)) return answer();
            // Only reading: a listing offers an anonymous reader nothing else.
            return authorized_answer(context, r, std::string(), share_access::read);
        }
    }
    answer a;
    if (!login->authorized) a = check_login(context, login, r);
    if (!login->authorized) return a;
    if (!query_is_served(site, r)) return answer();
    const char* event = a.event;
    a = authorized_answer(context, r, login->user, access_of(site, login->user));
    a.event = event;
    return a;
}

}  // namespace

answer respond(const decision_context& context, login_state* login, char* begin, char* end,
               char** next) {
    request r;
    if (!parse_request(context.site, begin, end, next, &r)) return answer();
    find_request_client(context.site, login, &r);
    answer a = decide(context, login, r);
    if (a.what == answer::kind::close || a.what == answer::kind::waiting) return a;
    // A body that no unit takes is read and thrown away.
    if (announces_body(r.head) && a.what != answer::kind::body)
        leave_body_unread(context.site, r, &a);
    keep_or_close(context.site, r, &a);
    // A body made as it is sent, of a length not known before: in chunks, or
    // for an HTTP/1.0 client, which knows none, to the close.
    frame_generated(&a, r.is_http10());
    // A HEAD is answered as a GET, every decision included, without the
    // body: a client that sent HEAD reads none, even with a 401 or 403.
    a.head_only = r.is_head();
    a.request_line = r.head.request_line;
    a.referer = r.head.referer.value_or("");
    a.user_agent = r.head.user_agent.value_or("");
    return a;
}
