#include "app/decide/dav_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app/beneath_root.h"
#include "app/decide/dav_common.h"
#include "app/decide/files.h"
#include "http/if_field.h"
#include "http/xml.h"
#include "log/printf_ex.h"

namespace {

const xml_writer dav_xml({{"DAV:", "D"}});

// What the If field says of a request: whether it holds, and the lock
// tokens it submits.
struct if_verdict {
    const char* refusal = nullptr;  // 400 or 412; null: it holds, or there is none
    std::vector<std::string> submitted;
};

// A resource as the conditions of one list of the If field see it.
struct if_subject {
    bool known = false;  // the list names a resource of the root
    std::string resolved;
    std::string tag;  // its entity tag; empty while nothing is there
};

if_subject subject_of(const decision_context& context, const request& r, const if_list& list) {
    dav_resource resource;
    const char* refused = list.resource.empty()
                              ? request_resource(context.site, r, &resource)
                              : href_resource(context.site, r, list.resource, &resource);
    if_subject subject;
    if (refused != nullptr) return subject;
    subject.known = true;
    subject.resolved = resource.resolved;
    // The tag of what a GET serves there: a link is followed.
    struct stat info {};
    if (stat(resource.file.empty() ? "." : resource.file.c_str(), &info) == 0) {
        subject.tag = version_tag(info);
    }
    return subject;
}

bool condition_holds(const decision_context& context, const if_subject& subject,
                     const if_condition& condition) {
    const bool state =
        subject.known &&
        (condition.entity_tag ? !subject.tag.empty() && condition.text == subject.tag
                              : context.services.locks.covering(condition.text, subject.resolved,
                                                                context.now_ms) != nullptr);
    return state != condition.negated;
}

if_verdict read_if_field(const decision_context& context, const request& r) {
    if_verdict verdict;
    if (!r.head.if_tokens) return verdict;
    std::vector<if_list> lists;
    if (!parse_if_field(*r.head.if_tokens, &lists)) {
        verdict.refusal = status_400;
        return verdict;
    }
    bool holds = false;
    for (const if_list& list : lists) {
        const if_subject subject = subject_of(context, r, list);
        if (!std::all_of(
                list.conditions.begin(), list.conditions.end(),
                [&](const if_condition& c) { return condition_holds(context, subject, c); }))
            continue;
        holds = true;
        for (const if_condition& condition : list.conditions) {
            if (!condition.entity_tag && !condition.negated)
                verdict.submitted.push_back(condition.text);
        }
    }
    if (!holds) verdict.refusal = status_412;
    return verdict;
}

// The verdict's refusal, else 423 when a lock on one of `paths` is not submitted.
const char* locks_refusal(const decision_context& context, const if_verdict& verdict,
                          const std::vector<std::string>& paths, bool whole_tree) {
    if (verdict.refusal != nullptr) return verdict.refusal;
    for (const std::string& path : paths) {
        if (context.services.locks.blocking(path, whole_tree, verdict.submitted, context.now_ms) !=
            nullptr) {
            return status_423;
        }
    }
    return nullptr;
}

const char* refusal_reason(const char* refusal) {
    if (refusal == status_400) return "the If field cannot be read";
    if (refusal == status_412) return "no list of the If field holds";
    return "it is locked, and the request names no lock token of it";
}

// "locked: /a/b.txt", safe to log whatever the name holds.
std::string lock_notice(const char* what, const std::string& resolved) {
    std::string line = std::string(what) + "/";
    append_log_safe(&line, resolved.data(), resolved.size());
    return line;
}

void append_active_lock(std::string& out, const dav_lock& lock, long long now_ms) {
    const long long left_s = std::max(0LL, (lock.expires_ms - now_ms + 999) / 1000);
    dav_xml.start(out, "DAV:", "activelock");
    dav_xml.start(out, "DAV:", "locktype");
    dav_xml.empty(out, "DAV:", "write");
    dav_xml.end(out, "DAV:", "locktype");
    dav_xml.start(out, "DAV:", "lockscope");
    dav_xml.empty(out, "DAV:", lock.exclusive ? "exclusive" : "shared");
    dav_xml.end(out, "DAV:", "lockscope");
    dav_xml.text_element(out, "DAV:", "depth", lock.whole_tree ? "infinity" : "0");
    out += lock.owner;
    dav_xml.text_element(out, "DAV:", "timeout", "Second-" + std::to_string(left_s));
    dav_xml.start(out, "DAV:", "locktoken");
    dav_xml.text_element(out, "DAV:", "href", lock.token);
    dav_xml.end(out, "DAV:", "locktoken");
    dav_xml.start(out, "DAV:", "lockroot");
    dav_xml.text_element(out, "DAV:", "href", lock.root_href);
    dav_xml.end(out, "DAV:", "lockroot");
    dav_xml.end(out, "DAV:", "activelock");
}

void append_lockdiscovery(std::string& out, const std::vector<dav_lock>& locks, long long now_ms) {
    if (locks.empty()) return dav_xml.empty(out, "DAV:", "lockdiscovery");
    dav_xml.start(out, "DAV:", "lockdiscovery");
    for (const dav_lock& lock : locks)
        append_active_lock(out, lock, now_ms);
    dav_xml.end(out, "DAV:", "lockdiscovery");
}

// The answer to a LOCK that took or refreshed `lock`: its lockdiscovery.
answer lock_discovery_answer(const char* status, const dav_lock& lock, long long now_ms) {
    std::string xml;
    dav_xml.begin_document(xml, "DAV:", "prop");
    append_lockdiscovery(xml, {lock}, now_ms);
    dav_xml.end(xml, "DAV:", "prop");
    return xml_answer(status, std::move(xml));
}

// An error body of RFC 4918's precondition `condition`, with the href of
// the resource it is about, if any.
answer precondition_answer(const char* status, const char* condition, const std::string& href) {
    std::string xml;
    dav_xml.begin_document(xml, "DAV:", "error");
    if (href.empty()) {
        dav_xml.empty(xml, "DAV:", condition);
    } else {
        dav_xml.start(xml, "DAV:", condition);
        dav_xml.text_element(xml, "DAV:", "href", href);
        dav_xml.end(xml, "DAV:", condition);
    }
    dav_xml.end(xml, "DAV:", "error");
    return xml_answer(status, std::move(xml));
}

answer refusal(const char* status, std::string why) {
    answer a = status_answer(status);
    a.body_text = std::move(why);
    return a;
}

// The seconds a lock lasts: the first time of the Timeout field understood
// ("Second-N", "Infinite"), at most max_lock_seconds, else the default.
long long lock_seconds(const request& r) {
    std::string_view rest = r.head.timeout.value_or("");
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view item = trim_blanks(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (equal_ignoring_case(item, "Infinite")) return max_lock_seconds;
        const std::string_view prefix = "Second-";
        if (item.size() <= prefix.size() || !equal_ignoring_case(item.substr(0, 7), prefix))
            continue;
        const std::string_view digits = item.substr(prefix.size());
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        long long seconds = 0;
        for (char c : digits)
            seconds = std::min(seconds * 10 + (c - '0'), max_lock_seconds);
        return std::max(seconds, 1LL);
    }
    return default_lock_seconds;
}

// A Depth field of a LOCK: absent or "infinity" (the whole tree), or "0".
bool read_lock_depth(const request& r, bool* whole_tree) {
    const std::string_view depth = trim_blanks(r.head.depth.value_or("infinity"));
    *whole_tree = equal_ignoring_case(depth, "infinity");
    return *whole_tree || depth == "0";
}

// What a lockinfo body asks for: the scope, and the owner's markup.
bool read_lockinfo(const std::string& body, bool* exclusive, std::string* owner, std::string* why) {
    xml_document document;
    if (const xml_error error = xml_parse(body, &document); error != xml_error::none) {
        *why = std::string("the body is not XML: ") + xml_error_str(error);
        return false;
    }
    const xml_element& info = document.root;
    const xml_element* scope = info.child("DAV:", "lockscope");
    const xml_element* type = info.child("DAV:", "locktype");
    *why = "a lockinfo asks for a write lock, exclusive or shared";
    if (!info.is("DAV:", "lockinfo") || scope == nullptr || type == nullptr ||
        type->child("DAV:", "write") == nullptr) {
        return false;
    }
    *exclusive = scope->child("DAV:", "exclusive") != nullptr;
    if (*exclusive == (scope->child("DAV:", "shared") != nullptr)) return false;
    const xml_element* owner_element = info.child("DAV:", "owner");
    owner->clear();
    if (owner_element != nullptr) *owner = xml_markup(document, *owner_element);
    *why = "the lock's owner is longer than " + std::to_string(max_lock_owner) + " bytes";
    return owner->size() <= max_lock_owner;
}

// Makes the empty file that a lock of an unmapped name stands on. Null when
// it is there (made now, or by someone else meanwhile), else the status.
const char* make_empty_file(const site_policy& site, const std::string& resolved, bool* made) {
    const size_t slash = resolved.rfind('/');
    const std::string name = slash == std::string::npos ? resolved : resolved.substr(slash + 1);
    const open_file folder(open_beneath_root(site.root, folder_of(resolved)));
    if (folder.get() == -1) return status_409;
    const int fd = openat(folder.get(), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    *made = fd != -1;
    if (fd != -1) close(fd);
    if (*made || errno == EEXIST) return nullptr;
    if (errno == ENOENT || errno == ENOTDIR) return status_409;
    return errno == ENOSPC || errno == EDQUOT ? status_507 : status_403;
}

// What a new lock needs of its request once the body has come.
struct lock_wish {
    dav_resource resource;
    bool whole_tree = true;
    long long seconds = default_lock_seconds;
    std::vector<std::string> submitted;
    std::string user;
};

answer new_lock_answer(const decision_context& context, const lock_wish& wish,
                       const std::string& body) {
    dav_lock lock;
    std::string why;
    if (!read_lockinfo(body, &lock.exclusive, &lock.owner, &why)) return refusal(status_400, why);
    const dav_resource& resource = wish.resource;
    dav_locks& locks = context.services.locks;
    if (!resource.exists) {
        if (!may_name(context.site, resource.resolved))
            return refusal(status_403, "no file may be made by that name");
        // The new file is a new member of its folder.
        if (locks.blocking(folder_of(resource.resolved), false, wish.submitted, context.now_ms))
            return refusal(status_423, refusal_reason(status_423));
    }
    lock.root = resource.resolved;
    lock.root_href = resource.href();
    lock.whole_tree = wish.whole_tree;
    lock.user = wish.user;
    lock.timeout_s = wish.seconds;
    dav_lock taken;
    switch (locks.take(std::move(lock), context.now_ms, &taken)) {
        case dav_locks::outcome::conflict:
            return precondition_answer(status_423, "no-conflicting-lock", taken.root_href);
        case dav_locks::outcome::unavailable:
            return refusal(status_503, "no more locks can be taken now");
        case dav_locks::outcome::taken:
            break;
    }
    bool made = false;
    if (!resource.exists) {
        if (const char* failed = make_empty_file(context.site, resource.resolved, &made)) {
            locks.release(taken.token, taken.root, context.now_ms);
            return refusal(failed, "no empty file can be made there to lock");
        }
    }
    answer a = lock_discovery_answer(made ? status_201 : status_200, taken, context.now_ms);
    a.extra_headers = "Lock-Token: <" + taken.token + ">\r\n";
    a.notice = lock_notice("locked: ", resource.resolved);
    return a;
}

answer refresh_answer(const decision_context& context, const request& r,
                      const dav_resource& resource, const std::string& user) {
    if (!r.head.if_tokens)
        return refusal(status_400, "a LOCK without a body refreshes the lock its If field names");
    const if_verdict verdict = read_if_field(context, r);
    if (verdict.refusal != nullptr)
        return refusal(verdict.refusal, refusal_reason(verdict.refusal));
    dav_locks& locks = context.services.locks;
    for (const std::string& token : verdict.submitted) {
        const dav_lock* lock = locks.covering(token, resource.resolved, context.now_ms);
        if (lock == nullptr) continue;
        if (lock->user != user) return refusal(status_403, "the lock is another user's");
        lock = locks.refresh(token, resource.resolved, lock_seconds(r), context.now_ms);
        return lock_discovery_answer(status_200, *lock, context.now_ms);
    }
    return refusal(status_412, "the If field names no lock of this resource");
}

answer no_content() {
    answer a;
    a.what = answer::kind::not_modified;
    a.status = status_204;
    return a;
}

}  // namespace

std::string folder_of(const std::string& resolved) {
    const size_t slash = resolved.rfind('/');
    return slash == std::string::npos ? std::string() : resolved.substr(0, slash);
}

const char* write_refusal(const decision_context& context, const request& r,
                          const std::string& resolved, bool whole_tree) {
    if (!context.site.webdav) return nullptr;
    return locks_refusal(context, read_if_field(context, r), {resolved}, whole_tree);
}

const char* store_refusal(const decision_context& context, const request& r, bool names_file,
                          std::string* why) {
    dav_resource target;
    if (!context.site.webdav || request_resource(context.site, r, &target) != nullptr)
        return nullptr;
    std::vector<std::string> written = {target.resolved};
    if (names_file && !target.exists) written.push_back(folder_of(target.resolved));
    const char* refused = locks_refusal(context, read_if_field(context, r), written, false);
    if (refused != nullptr) *why = refusal_reason(refused);
    return refused;
}

void append_active_locks(std::string& out, const decision_context& context,
                         const std::string& resolved) {
    for (const dav_lock& lock : context.services.locks.locks_on(resolved, context.now_ms))
        append_active_lock(out, lock, context.now_ms);
}

void append_supported_locks(std::string& out) {
    for (const char* scope : {"exclusive", "shared"}) {
        dav_xml.start(out, "DAV:", "lockentry");
        dav_xml.start(out, "DAV:", "lockscope");
        dav_xml.empty(out, "DAV:", scope);
        dav_xml.end(out, "DAV:", "lockscope");
        dav_xml.start(out, "DAV:", "locktype");
        dav_xml.empty(out, "DAV:", "write");
        dav_xml.end(out, "DAV:", "locktype");
        dav_xml.end(out, "DAV:", "lockentry");
    }
}

std::string lockdiscovery(const decision_context& context, const std::string& resolved) {
    std::string xml;
    append_lockdiscovery(xml, context.services.locks.locks_on(resolved, context.now_ms),
                         context.now_ms);
    return xml;
}

answer lock_answer(const decision_context& context, const request& r, const std::string& user) {
    lock_wish wish;
    if (const char* refused = request_resource(context.site, r, &wish.resource))
        return status_answer(refused);
    if (!announces_body(r.head)) return refresh_answer(context, r, wish.resource, user);
    if (!read_lock_depth(r, &wish.whole_tree))
        return refusal(status_400, "the Depth of a LOCK is 0 or infinity");
    if_verdict verdict = read_if_field(context, r);
    if (verdict.refusal != nullptr)
        return refusal(verdict.refusal, refusal_reason(verdict.refusal));
    wish.seconds = lock_seconds(r);
    wish.submitted = std::move(verdict.submitted);
    wish.user = user;
    return after_body(context, r, [wish](const decision_context& later, const std::string& body) {
        return new_lock_answer(later, wish, body);
    });
}

answer unlock_answer(const decision_context& context, const request& r, const std::string& user) {
    dav_resource resource;
    if (const char* refused = request_resource(context.site, r, &resource))
        return status_answer(refused);
    const std::string_view field = trim_blanks(r.head.lock_token.value_or(""));
    if (field.size() < 3 || field.front() != '<' || field.back() != '>')
        return refusal(status_400, "UNLOCK names its lock as <token> in Lock-Token");
    const std::string_view token = field.substr(1, field.size() - 2);
    dav_locks& locks = context.services.locks;
    const dav_lock* lock = locks.covering(token, resource.resolved, context.now_ms);
    if (lock == nullptr)
        return precondition_answer(status_409, "lock-token-matches-request-uri", std::string());
    if (lock->user != user) return refusal(status_403, "the lock is another user's");
    locks.release(token, resource.resolved, context.now_ms);
    answer a = no_content();
    a.notice = lock_notice("unlocked: ", resource.resolved);
    return a;
}
