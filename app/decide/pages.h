// Refusals that a browser is shown as pages: which requests get them, the
// folder a page leads back to, and the page put in place of a short answer's
// text. Only where the site lists folders or takes uploads: anywhere else,
// and for any client that does not ask for HTML first (curl, WebDAV
// clients, scripts), refusals stay the short texts they are.
#pragma once

#include <string>

#include "app/answer.h"
#include "app/html_page.h"
#include "app/request.h"
#include "app/site_policy.h"

// Whether the client would rather read HTML than anything else, as a browser
// that opens a page or submits a form does: its Accept field names text/html
// before any other type it takes.
bool prefers_html(const request& r);

// Whether this request's refusals are pages.
bool refusals_are_pages(const site_policy& site, const request& r);

// The folder a page about this request leads back to: its path up to its
// last "/", as the client sent it; "/" for a path that leads out of the root.
std::string folder_of(const site_policy& site, const request& r);

// Puts a page in place of the text of a short refusal with 400, 403, 409,
// 413 or 507; any other answer stays as it is.
void refuse_with_page(answer* a, const std::string& folder, const refusal_offer& offer = {});
