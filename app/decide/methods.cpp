#include "app/decide/methods.h"

namespace {

const method_row method_rows[] = {
    {"GET", method_unit::files, false, false, [](const site_policy&) { return true; }},
    {"HEAD", method_unit::files, false, false, [](const site_policy& s) { return s.head; }},
    {"PUT", method_unit::upload, true, true, [](const site_policy& s) { return s.upload; }},
    {"POST", method_unit::upload, true, true, [](const site_policy& s) { return s.upload; }},
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

std::string allow_field(const site_policy& site) {
    std::string field = "Allow:";
    for (const method_row& row : method_rows) {
        if (!row.served(site)) continue;
        field += field.size() > 6 ? ", " : " ";
        field += row.name;
    }
    return field + "\r\n";
}
