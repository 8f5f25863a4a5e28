#include "app/decide/listing.h"

#include <algorithm>

#include "app/listing.h"
#include "app/zip_stream.h"

namespace {

// The value of a query's parameter as it was sent; empty when it is not there.
std::string query_value(const request& r, const char* key) {
    param_map query;
    parse_query(r.target.query_begin, r.target.query_end, nullptr, &query);
    auto found = query.find(key);
    return found == query.end() ? std::string() : found->second;
}

bool query_says(const request& r, const char* key, const char* value) {
    return query_value(r, key) == value;
}

// The order a page is asked for: "?sort=name|size|date", "&order=desc".
void read_order(const request& r, listing_options* options) {
    const std::string sort = query_value(r, "sort");
    options->sort_by = sort == "size"   ? listing_sort::size
                       : sort == "date" ? listing_sort::date
                                        : listing_sort::name;
    options->descending = query_says(r, "order", "desc");
}

// The text of "?q=", as a form sends it: "+" for a space, other bytes
// percent-encoded. False when it does not decode.
bool search_text(const request& r, std::string* text) {
    std::string sent = query_value(r, "q");
    std::replace(sent.begin(), sent.end(), '+', ' ');
    return percent_decode(sent, text);
}

// Whether a listing is asked for as JSON: "?format=json".
bool wants_json(const request& r) {
    return query_says(r, "format", "json");
}

// The archive's top folder: the folder's own name, or the root's.
std::string archive_name(const site_policy& site, const std::string& resolved) {
    std::string path = resolved.empty() ? site.root : resolved;
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    const std::string name = path.substr(path.find_last_of('/') + 1);
    return name.empty() || name == "." || name == ".." ? "root" : name;
}

// The name a browser saves the archive as. The quoted name holds printable
// ASCII only (anything else becomes "_"), so no byte of a folder's name can
// end the field; a name beyond it is given exactly in filename*, which
// browsers prefer, as percent-encoded UTF-8.
std::string attachment_field(const std::string& name) {
    std::string quoted;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        quoted += byte < 0x20 || byte > 0x7E || c == '"' || c == '\\' ? '_' : c;
    }
    std::string field = "Content-Disposition: attachment; filename=\"" + quoted + ".zip\"";
    // A "%" in the quoted name may be decoded by a browser: filename* says it exactly.
    const bool inexact = quoted != name || name.find('%') != std::string::npos;
    if (inexact && is_well_formed_utf8(name))
        field += "; filename*=UTF-8''" + percent_encode_path(name + ".zip");
    return field + "\r\n";
}

}  // namespace

bool wants_zip(const request& r) {
    return query_says(r, "download", "zip");
}

// The folder is walked here, on the thread that polls: a walk costs a few
// microseconds an entry, milliseconds for a folder of thousands of files.
answer zip_answer(const decision_context& context, const std::string& resolved) {
    const site_policy& site = context.site;
    zip_limits limits;
    limits.file_ranges = true;  // the connection sends the files' bytes from the files
    zip_folder folder;
    folder.root = site.root;
    folder.dir = site.root + resolved;
    folder.name = archive_name(site, resolved);
    folder.show_hidden = site.listing_hidden;
    folder.known_crcs = &context.services.archived_crcs;
    answer a;
    switch (walk_for_zip(folder, limits, &a.source)) {
        case zip_walk::made:
            break;
        case zip_walk::not_found:
            return status_answer(status_404);
        case zip_walk::too_large: {
            answer refused = status_answer(status_507);
            refused.body_text = "the folder is too large for one archive: more than " +
                                std::to_string(limits.entries_max) + " entries or " +
                                std::to_string(limits.name_bytes_max >> 20) + " MiB of names";
            refused.notice = "archive refused: " + refused.body_text;
            return refused;
        }
    }
    a.what = answer::kind::generated;
    a.status = status_200;
    a.content_type = "application/zip";
    a.extra_headers = attachment_field(folder.name);
    return a;
}

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
    what.options.replace = granted >= share_access::replace;
    what.options.make_folders = site.webdav && granted >= share_access::create;
    what.options.change = site.webdav && granted >= share_access::change;
    what.options.decoded_paths = site.decode_path;
    if (!what.json) {
        read_order(r, &what.options);
        if (!search_text(r, &what.search) || what.search.size() > search_limits().text_max) {
            answer refused = status_answer(status_400);
            refused.body_text = "the search text is not percent-encoded, or longer than " +
                                std::to_string(search_limits().text_max) + " bytes";
            return refused;
        }
        what.root = site.root;
    }
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
