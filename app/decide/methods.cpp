#include "app/decide/methods.h"

namespace {

bool always(const site_policy&) {
    return true;
}
bool with_head(const site_policy& s) {
    return s.head;
}
bool with_writes(const site_policy& s) {
    return s.upload || s.webdav;
}
bool with_webdav(const site_policy& s) {
    return s.webdav;
}

const method_row method_rows[] = {
    {"GET", method_unit::files, share_access::read, false, false, always},
    {"HEAD", method_unit::files, share_access::read, false, false, with_head},
    {"PUT", method_unit::upload, share_access::create, true, true, with_writes},
    {"POST", method_unit::upload, share_access::create, true, true, with_writes},
    {"OPTIONS", method_unit::dav, share_access::read, false, false, with_webdav},
    {"PROPFIND", method_unit::dav, share_access::read, false, true, with_webdav},
    {"PROPPATCH", method_unit::dav, share_access::change, true, true, with_webdav},
    {"MKCOL", method_unit::dav, share_access::create, true, true, with_webdav},
    {"DELETE", method_unit::dav, share_access::change, true, false, with_webdav},
    {"COPY", method_unit::dav, share_access::create, true, false, with_webdav},
    {"MOVE", method_unit::dav, share_access::change, true, false, with_webdav},
    {"LOCK", method_unit::dav, share_access::change, true, true, with_webdav},
    {"UNLOCK", method_unit::dav, share_access::change, true, false, with_webdav},
};

}  // namespace

const method_row* served_method(const site_policy& site, std::string_view method) {
    for (const method_row& row : method_rows) {
        if (method == row.name) return row.served(site) ? &row : nullptr;
    }
    return nullptr;
}

bool takes_bodies(const site_policy& site) {
    for (const method_row& row : method_rows) {
        if (row.has_body && row.served(site)) return true;
    }
    return false;
}

std::string allowed_methods(const site_policy& site, share_access granted) {
    std::string methods;
    for (const method_row& row : method_rows) {
        if (!row.served(site) || row.needs > granted) continue;
        if (!methods.empty()) methods += ", ";
        methods += row.name;
    }
    return methods;
}

std::string allow_field(const site_policy& site, share_access granted) {
    return "Allow: " + allowed_methods(site, granted) + "\r\n";
}
