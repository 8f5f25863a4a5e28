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
// buffer or, with large_files, from the file.
answer listing_answer(const decision_context& context, const request& r,
                      const std::string& directory) {
    const site_policy& site = context.site;
    listing_options options;
    options.show_hidden = site.listing_hidden;
    options.upload_form = site.upload;
    options.decoded_paths = site.decode_path;
    const bool json = wants_json(r);
    const listing_page page = context.services.listings.page(directory, "/" + r.target.path, json,
                                                             options, context.now_ms);
    if (!page.listed) return status_answer(status_404);
    answer a;
    a.file = open_file(page.fd);
    if (a.file.get() == -1) return status_answer(status_500);
    a.file_info = page.info;
    a.what = answer::kind::file;
    a.status = status_200;
    a.content_type = json ? "application/json" : "text/html; charset=utf-8";
    a.body_length = a.file_info.st_size;
    return a;
}
