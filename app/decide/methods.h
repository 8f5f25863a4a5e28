// The methods websrv answers, one row each: which unit decides them, what
// they do to the share, and which keys of the site switch them on. The
// dispatcher, the Allow field of a 405 and the same-site rule read this one
// table; a new method is one row.
#pragma once

#include <string>
#include <string_view>

#include "app/site_policy.h"

enum class method_unit {
    files,   // GET and HEAD of files and listings (app/decide/files.h)
    upload,  // PUT and POST of files (app/decide/upload.h)
};

struct method_row {
    const char* name;
    method_unit unit;
    bool unsafe;    // it changes the share: only a page of this site may send it
    bool has_body;  // it carries a body that its unit reads
    bool (*served)(const site_policy& site);
};

// The row of `method` when the site answers it; null otherwise.
const method_row* served_method(const site_policy& site, std::string_view method);

// Whether any method the site answers carries a body: without one, a head
// that announces a body is not served.
bool takes_bodies(const site_policy& site);

// "Allow: GET, HEAD, PUT, POST\r\n": the methods the site answers, in the
// table's order.
std::string allow_field(const site_policy& site);
