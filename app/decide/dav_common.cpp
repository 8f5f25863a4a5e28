#include "app/decide/dav_common.h"

#include <algorithm>
#include <cstring>

#include "app/decide/rules.h"
#include "app/upload.h"

const char* const multistatus_open =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">\n";
const char* const multistatus_close = "</D:multistatus>\n";

namespace {

class text_source : public body_source {
  public:
    explicit text_source(std::string text) : text(std::move(text)) {}
    long long length() const override { return static_cast<long long>(text.size()); }
    long long produce(char* buffer, size_t room) override {
        const size_t part = std::min(room, text.size() - sent);
        memcpy(buffer, text.data() + sent, part);
        sent += part;
        return static_cast<long long>(part);
    }

  private:
    std::string text;
    size_t sent = 0;
};

// The largest WebDAV request body: a PROPPATCH of many properties, a lock's owner.
const size_t max_xml_body = 1 << 20;

// Holds a small body in memory, then hands it to its decision.
class held_body : public body_taker {
  public:
    held_body(body_decision decide, bool http10) : decide(std::move(decide)), http10(http10) {}
    bool take(const char* data, size_t size) override {
        if (text.size() + size > max_xml_body) {
            too_large = true;
            return false;
        }
        text.append(data, size);
        return true;
    }
    void end() override {}
    answer result(const decision_context& context) override {
        if (!too_large) {
            answer a = decide(context, text);
            frame_generated(&a, http10);
            return a;
        }
        answer a = status_answer(status_413, "Connection: close\r\n");
        a.body_text = "a WebDAV request body is larger than 1 MiB";
        return a;
    }

  private:
    body_decision decide;
    bool http10;
    std::string text;
    bool too_large = false;
};

std::string without_slashes(std::string path) {
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

}  // namespace

std::string href_of(const std::string& resolved, bool collection) {
    std::string href = "/" + percent_encode_path(resolved);
    if (collection && !resolved.empty()) href += '/';
    return href;
}

std::string dav_resource::href() const {
    return href_of(resolved, is_collection());
}

const char* find_resource(const site_policy& site, const std::string& path, dav_resource* found) {
    std::string resolved;
    if (!(site.whole_dot_steps || get_level_min(path) >= 0) ||
        !resolve_dot_steps(path, &resolved)) {
        return status_403;
    }
    found->resolved = without_slashes(resolved);
    if (site.hide_dot_names && has_hidden_step(found->resolved)) return status_404;
    found->file = site.root + found->resolved;
    found->exists = lstat(found->file.empty() ? "." : found->file.c_str(), &found->info) == 0;
    return nullptr;
}

const char* request_resource(const site_policy& site, const request& r, dav_resource* found) {
    return find_resource(site, r.path(), found);
}

const char* destination_resource(const site_policy& site, const request& r, dav_resource* found) {
    if (!r.head.destination || r.head.destination->empty()) return status_400;
    std::string_view target = *r.head.destination;
    return href_resource(site, r, target, found);
}

const char* href_resource(const site_policy& site, const request& r, std::string_view target,
                          dav_resource* found) {
    const std::string scheme = std::string(seen_scheme(site, r)) + "://";
    if (target.size() > scheme.size() &&
        equal_ignoring_case(target.substr(0, scheme.size()), scheme)) {
        target.remove_prefix(scheme.size());
        const size_t slash = target.find('/');
        const std::string_view authority = target.substr(0, slash);
        // Only this server's resources, as the client reached it.
        const std::optional<std::string_view> host = seen_host(r);
        if (!host || !equal_ignoring_case(authority, *host)) return status_502;
        target = slash == std::string_view::npos ? "/" : target.substr(slash);
    } else if (target.find("://") != std::string_view::npos) {
        return status_502;
    }
    if (target.empty() || target[0] != '/') return status_400;
    target = target.substr(0, target.find_first_of("?#"));
    std::string path(target.substr(1));
    if (site.decode_path) {
        std::string decoded;
        if (!percent_decode(path, &decoded)) return status_400;
        path = std::move(decoded);
    }
    return find_resource(site, path, found);
}

bool may_name(const site_policy& site, const std::string& resolved) {
    const std::string name = resolved.substr(resolved.rfind('/') + 1);
    return !resolved.empty() && valid_upload_name(name) &&
           !(site.hide_dot_names && has_hidden_step(resolved)) &&
           // A name never begins with "." in the share's own hidden files.
           !name.starts_with(".upload-");
}

answer after_body(const decision_context& context, const request& r, body_decision decide) {
    if (!announces_body(r.head)) return decide(context, std::string());
    off_t length = 0;
    std::string why;
    if (!announced_length(r, &length, &why)) {
        answer a = status_answer(r.head.content_length || r.head.transfer_encoding ? status_400
                                                                                   : status_411);
        a.body_text = why;
        a.last_of_group = true;
        return a;
    }
    if (length > static_cast<off_t>(max_xml_body)) {
        answer a = status_answer(status_413);
        a.body_text = "a WebDAV request body is larger than 1 MiB";
        a.last_of_group = true;
        return a;
    }
    answer a;
    a.what = answer::kind::body;
    a.body = std::make_unique<held_body>(std::move(decide), r.is_http10());
    a.body_bytes = length;
    a.continue_first = expects_continue(r);
    return a;
}

std::unique_ptr<body_source> text_body(std::string text) {
    return std::make_unique<text_source>(std::move(text));
}

answer xml_answer(const char* status, std::string xml) {
    answer a;
    a.what = answer::kind::generated;
    a.status = status;
    a.content_type = "application/xml; charset=utf-8";
    a.source = text_body(std::move(xml));
    return a;
}
