#include "app/decide/pages.h"

#include <string_view>

#include "app/decide/rules.h"

namespace {

// The refusals a browser's user can do something about.
bool is_paged(std::string_view status) {
    for (const std::string_view paged :
         {status_400, status_403, status_409, status_413, status_507})
        if (status == paged) return true;
    return false;
}

}  // namespace

bool prefers_html(const request& r) {
    const std::string_view accept = r.head.accept.value_or("");
    const size_t html = accept.find("text/html");
    return html != std::string_view::npos &&
           accept.substr(0, html).find('/') == std::string_view::npos;
}

bool refusals_are_pages(const site_policy& site, const request& r) {
    return (site.listing || site.upload) && prefers_html(r);
}

std::string folder_of(const site_policy& site, const request& r) {
    std::string resolved;
    if (!resolve_in_root(site, r, &resolved)) return "/";
    const std::string& path = r.target.path;
    return "/" + path.substr(0, path.rfind('/') + 1);
}

void refuse_with_page(answer* a, const std::string& folder, const refusal_offer& offer) {
    if (a->what != answer::kind::status || a->status == nullptr || !is_paged(a->status)) return;
    a->page = refusal_page(a->status, a->body_text, folder, offer);
}
