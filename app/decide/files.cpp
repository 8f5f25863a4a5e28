#include "app/decide/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "app/decide/byteranges.h"
#include "app/decide/listing.h"
#include "app/decide/rules.h"

namespace {

// Opens the file a request names and looks at what was opened: one look,
// so a name swapped for a pipe or a device between a look and the open
// cannot slip through, and the open never waits for a writer of a pipe. A
// name that cannot be opened is looked at by name (it may be there without
// the right to read it): `file` then stays closed. False when there is
// nothing by that name. A small file kept open is looked at by name and
// taken while the name still leads to it unchanged.
bool open_and_look(open_file_cache& kept, const std::string& file_name, open_file* file,
                   struct stat* info) {
    *file = kept.find(file_name, info);
    if (file->get() != -1) return true;
    *file = open_file(open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file->get() == -1) return stat(file_name.c_str(), info) == 0;
    if (fstat(file->get(), info) == 0) {
        kept.keep(file_name, *file, *info);
        return true;
    }
    file->reset();
    return false;
}

// Whether the client's copy, named by its entity tag or its date, is the
// file's version: an If-None-Match field decides alone when there is one.
bool copy_is_current(const request& r, const std::string& tag, time_t modified) {
    if (r.head.if_none_match) return if_none_match_matches(*r.head.if_none_match, tag);
    long since = 0;
    return r.head.if_modified_since && parse_http_time(*r.head.if_modified_since, &since) &&
           modified <= since;
}

// The most ranges one Range field may list; more are answered with the
// whole file.
const size_t max_ranges = 16;

// Several ranges: one 206 whose parts are made from the file as it is sent.
answer several_ranges(const decision_context& context, answer file,
                      std::vector<byte_range> ranges) {
    answer a;
    a.what = answer::kind::generated;
    a.status = status_206;
    const std::string boundary = random_boundary();
    a.content_type = "multipart/byteranges; boundary=" + boundary;
    a.extra_headers = file.extra_headers + "Last-Modified: " +
                      context.services.last_modified.at(file.file_info.st_mtime) + "\r\n" +
                      file.file_fields;
    a.source = byteranges_body(file.file.release(), file.file_info.st_size, std::move(ranges),
                               file_content_type(context.site, file.file_name), boundary);
    return a;
}

// Revalidation and byte ranges of a file answer, each only with its key: a
// current copy is answered 304, a range 206 or 416; an If-Range that names
// another version, or a Range field that does not parse, gets the whole file.
answer select_version_and_range(const decision_context& context, const request& r, answer a) {
    const site_policy& site = context.site;
    const off_t size = a.file_info.st_size;
    const std::string& modified = context.services.last_modified.at(a.file_info.st_mtime);
    std::string tag;
    if (site.conditional) {
        tag = version_tag(a.file_info);
        if (copy_is_current(r, tag, a.file_info.st_mtime)) {
            answer current;
            current.what = answer::kind::not_modified;
            current.status = status_304;
            current.extra_headers =
                a.extra_headers + "Last-Modified: " + modified + "\r\nETag: " + tag + "\r\n";
            return current;
        }
        a.file_fields += "ETag: " + tag + "\r\n";
    }
    if (!site.ranges) return a;
    a.file_fields += "Accept-Ranges: bytes\r\n";
    if (!r.head.range || (r.head.if_range && !if_range_matches(*r.head.if_range, tag, modified))) {
        return a;
    }
    std::vector<byte_range> ranges;
    const range_kind found =
        parse_byte_ranges(*r.head.range, static_cast<std::uint64_t>(size), max_ranges, &ranges);
    if (found == range_kind::ignore) return a;
    if (found == range_kind::unsatisfiable) {
        return status_answer(status_416, a.extra_headers + "Content-Range: bytes */" +
                                             std::to_string(size) + "\r\n");
    }
    if (ranges.size() > 1) return several_ranges(context, std::move(a), std::move(ranges));
    const byte_range& range = ranges.front();
    const std::string content_range_line =
        "Content-Range: " + content_range(range, static_cast<std::uint64_t>(size)) + "\r\n";
    a.status = status_206;
    a.body_offset = static_cast<off_t>(range.first);
    a.body_length = static_cast<off_t>(range.last - range.first + 1);
    a.file_fields += content_range_line;
    return a;
}

answer redirect_to_directory(const site_policy& site, const request& r) {
    const request_target& t = r.target;
    // The redirect names the path as the client sent it.
    std::string query = t.query_begin ? std::string(t.query_begin, t.query_end) : "";
    std::string uri =
        create_uri(std::string(seen_scheme(site, r)), t.user, t.password,
                   std::string(seen_host(r).value_or("")), t.path + "/", query, t.fragment);
    return status_answer(status_302, "Location: " + uri + "\r\n");
}

}  // namespace

std::string version_tag(const struct stat& info) {
    const auto nanoseconds = static_cast<std::uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                             static_cast<std::uint64_t>(info.st_mtim.tv_nsec);
    return entity_tag(static_cast<std::uint64_t>(info.st_size), nanoseconds);
}

// The file opened is the one the path names once its dot steps are resolved
// as text: the kernel would resolve a ".." after following a link, and a
// link to a shallower place (www -> .) would then lead above the root.
answer file_answer(const decision_context& context, const request& r, share_access granted) {
    const site_policy& site = context.site;
    std::string resolved;
    if (!resolve_in_root(site, r, &resolved)) return status_answer(status_403);
    if (site.hide_dot_names && has_hidden_step(resolved)) return status_answer(status_404);
    // A path that resolves to the root without naming it as a directory
    // ("." or "docs/..") is redirected like any directory named without "/".
    if (resolved.empty() && !r.path().empty() && r.path().back() != '/') resolved.push_back('.');
    std::string file_name = site.root + resolved;
    if (file_name.empty()) return status_answer(status_404);
    const bool names_directory = file_name.back() == '\\' || file_name.back() == '/';
    const std::string directory = file_name;
    // A folder's archive is asked for by name, whether or not it has an index.
    if (site.listing && directory.back() == '/' && wants_zip(r))
        return zip_answer(context, resolved);
    if (names_directory) file_name += site.index_name;
    answer a;
    if (!open_and_look(context.services.open_files, file_name, &a.file, &a.file_info)) {
        // Only a directory named with its "/" is listed, as its index would be served.
        if (site.listing && directory.back() == '/')
            return listing_answer(context, r, resolved, granted);
        return status_answer(status_404);
    }
    if (S_ISDIR(a.file_info.st_mode)) return redirect_to_directory(site, r);
    // Pipes and devices could block the whole server on a read.
    if (!S_ISREG(a.file_info.st_mode) || a.file.get() == -1) return status_answer(status_500);
    a.what = answer::kind::file;
    a.status = status_200;
    a.file_name = std::move(file_name);
    a.body_length = a.file_info.st_size;
    return select_version_and_range(context, r, std::move(a));
}
