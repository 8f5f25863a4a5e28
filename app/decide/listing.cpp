#include "app/decide/listing.h"

namespace {

// Whether a listing is asked for as JSON: "?format=json".
bool wants_json(const request& r) {
    param_map query;
    parse_query(r.target.query_begin, r.target.query_end, nullptr, &query);
    auto format = query.find("format");
    return format != query.end() && format->second == "json";
}

}  // namespace

// The page is held in a file in memory, shared by the readers of one version
// of it, so that it is answered as any file of its size is, from the response
// buffer or, with large_files, from the file. It is titled with the path that
// its dot steps resolve to, the same for every spelling of it.
answer listing_answer(const decision_context& context, const request& r,
                      const std::string& resolved, share_access granted) {
    const site_policy& site = context.site;
    listing_request what;
    what.dir = site.root + resolved;
    what.url_path = "/" + (site.decode_path ? percent_encode_path(resolved) : resolved);
    what.json = wants_json(r);
    what.options.show_hidden = site.listing_hidden;
    what.options.upload_form = granted >= share_access::create;
    what.options.decoded_paths = site.decode_path;
    const listing_page page =
        context.services.listings.page(what, context.now_ms, context.services.page_builds.get());
    if (page.building) return waiting_answer(page.building);
    if (page.busy) return status_answer(status_503, "Retry-After: 1\r\n");
    if (!page.listed) return status_answer(status_404);
    answer a;
    a.file = open_file(page.fd);
    if (a.file.get() == -1) return status_answer(status_500);
    a.file_info = page.info;
    a.what = answer::kind::file;
    a.status = status_200;
    a.content_type = what.json ? "application/json" : "text/html; charset=utf-8";
    a.body_length = a.file_info.st_size;
    return a;
}
