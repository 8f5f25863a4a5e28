// The methods websrv answers, one row each: which unit decides them, what
// access to the share they need, whether they change it, whether they
// carry a body, and which keys of the site switch them on. The dispatcher,
// the Allow field and the same-site rule read this one table; a new method
// is one row.
#pragma once

#include <string>
#include <string_view>

#include "app/site_policy.h"

enum class method_unit {
    files,   // GET and HEAD of files and listings (app/decide/files.h)
    upload,  // PUT and POST of files (app/decide/upload.h)
    dav,     // the WebDAV methods (app/decide/dav.h)
};

struct method_row {
    const char* name;
    method_unit unit;
    share_access needs;  // the least access of the user that may send it
    bool unsafe;         // it changes the share: only a page of this site may send it
    bool has_body;       // it may carry a body that its unit reads
    bool (*served)(const site_policy& site);
};

// The row of `method` when the site answers it; null otherwise.
const method_row* served_method(const site_policy& site, std::string_view method);

// Whether any method the site answers carries a body: without one, a head
// that announces a body is not served.
bool takes_bodies(const site_policy& site);

// The methods the site answers, in the table's order: "GET, HEAD, PUT, POST";
// with `granted`, only those a user of that access may send.
std::string allowed_methods(const site_policy& site, share_access granted = share_access::change);

// "Allow: " and allowed_methods, as a header line.
std::string allow_field(const site_policy& site, share_access granted = share_access::change);
