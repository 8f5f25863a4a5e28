#include "app/responder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "app/beneath_root.h"
#include "app/listing_cache.h"
#include "app/request.h"
#include "http/proxy_utils.h"

namespace {

const char* const status_302 = "302 Found";
const char* const status_401 = "401 Unauthorized";
const char* const status_403 = "403 Forbidden";
const char* const status_404 = "404 Not Found";
const char* const status_500 = "500 Internal Server Error";
const char* const status_200 = "200 OK";
const char* const status_206 = "206 Partial Content";
const char* const status_304 = "304 Not Modified";
const char* const status_416 = "416 Range Not Satisfiable";
const char* const status_400 = "400 Bad Request";
const char* const status_409 = "409 Conflict";
const char* const status_411 = "411 Length Required";
const char* const status_413 = "413 Payload Too Large";
const char* const status_405 = "405 Method Not Allowed";
const char* const status_429 = "429 Too Many Requests";
const char* const status_303 = "303 See Other";
const char* const status_201 = "201 Created";

// With large_files, a file body longer than this is sent from the file. Up to
// it, one copy through the response buffer, sent with the header, costs less
// CPU than the header followed by sendfile (bench/run --crossover), and a
// short body sent as a segment of its own behind the header can wait for the
// client's delayed acknowledgement; beyond it, the file spares the buffer's
// pages.
const off_t body_from_file_threshold = 512 * 1024;

// The parts of one request that the decision looks at.
struct request {
    request_head head;
    request_target target;
    std::string decoded_path;  // with decode_path: the target's path, percent-decoded
    bool decoded = false;

    // The path that names the file; a redirect names the target's path instead.
    const std::string& path() const { return decoded ? decoded_path : target.path; }
    bool is_http10() const { return head.version == "HTTP/1.0"; }
    bool is_head() const { return head.method == "HEAD"; }
};

// One set of credentials a request: the target's user information when it
// has some, else the Authorization field, else none (an empty login and
// password). With both configured empty, authentication is off.
// The user and password a request brings, from the target's user
// information or a Basic Authorization field; false when it brings none.
bool brought_credentials(const request& r, std::string* user, std::string* password) {
    if (r.target.has_user_info) {
        *user = r.target.user;
        *password = r.target.password;
        return true;
    }
    std::string decoded;
    if (!r.head.authorization ||
        !base64_decode(basic_credentials(*r.head.authorization), &decoded)) {
        return false;
    }
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

// With a password file: whether the request's credentials are a user's of
// it; `user` is then who logged in.
bool password_file_match(const site_policy& site, const request& r, long long now,
                         std::string* user) {
    std::string password;
    return brought_credentials(r, user, &password) && site.users->check(*user, password, now);
}

bool credentials_match(const site_policy& site, const request& r) {
    if (site.login.empty() && site.password.empty()) return true;
    if (r.target.has_user_info) {
        // Both are compared whatever the first says.
        const bool user_matches = same_secret(r.target.user, site.login);
        const bool password_matches = same_secret(r.target.password, site.password);
        return user_matches && password_matches;
    }
    if (r.head.authorization) {
        return same_secret(basic_credentials(*r.head.authorization), site.expected_credentials);
    }
    return false;
}

bool carries_credentials(const request& r) {
    return r.target.has_user_info || r.head.authorization.has_value();
}

// The target and the Host field are echoed into the Location line of a
// redirect, where a CR, LF or NUL would end that header line early and let the
// request write header lines of its own.
bool breaks_header_line(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool served_version(const site_policy& site, std::string_view version) {
    return version == "HTTP/1.1" || (site.http10 && version == "HTTP/1.0");
}

bool served_method(const site_policy& site, std::string_view method) {
    return method == "GET" || (site.head && method == "HEAD");
}

// Takes one request head apart. False for a head, version, target or scheme
// that the server does not serve, for a path whose escapes do not decode, and
// for a head that announces a body: the connection is then closed.
bool parse_request(const site_policy& site, char* begin, char* end, char** next, request* r) {
    request_head& head = r->head;
    // Without uploads no body is read, so none may follow a head.
    if (!read_request_head(begin, end, next, &head) || !served_version(site, head.version) ||
        (!site.upload && announces_body(head))) {
        return false;
    }
    char* target_begin = const_cast<char*>(head.target.data());
    if (!split_target(target_begin, target_begin + head.target.size(), &r->target) ||
        (!r->target.scheme.empty() && r->target.scheme != "http")) {
        return false;
    }
    if (breaks_header_line(head.target) || breaks_header_line(head.host.value_or(""))) {
        return false;
    }
    r->decoded = site.decode_path;
    return !site.decode_path || percent_decode(r->target.path, &r->decoded_path);
}

answer status_answer(const char* status, std::string extra_headers = std::string()) {
    answer a;
    a.what = answer::kind::status;
    a.status = status;
    a.extra_headers = std::move(extra_headers);
    return a;
}

// Opens the file a request names and looks at what was opened: one look,
// so a name swapped for a pipe or a device between a look and the open
// cannot slip through, and the open never waits for a writer of a pipe. A
// name that cannot be opened is looked at by name (it may be there without
// the right to read it): `file` then stays closed. False when there is
// nothing by that name.
bool open_and_look(const std::string& file_name, open_file* file, struct stat* info) {
    *file = open_file(open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file->get() == -1) return stat(file_name.c_str(), info) == 0;
    if (fstat(file->get(), info) == 0) return true;
    file->reset();
    return false;
}

// The Last-Modified text of a modification time: the same few files are
// served again and again, so the last date is kept.
const std::string& last_modified(time_t modified) {
    static time_t cached_time = 0;
    static std::string cached_text;
    if (cached_text.empty() || modified != cached_time) {
        cached_text = http_time_str(static_cast<long>(modified));
        cached_time = modified;
    }
    return cached_text;
}

// Whether the client's copy, named by its entity tag or its date, is the
// file's version: an If-None-Match field decides alone when there is one.
bool copy_is_current(const request& r, const std::string& tag, time_t modified) {
    if (r.head.if_none_match) return if_none_match_matches(*r.head.if_none_match, tag);
    long since = 0;
    return r.head.if_modified_since && parse_http_time(*r.head.if_modified_since, &since) &&
           modified <= since;
}

std::string version_tag(const struct stat& info) {
    const auto nanoseconds = static_cast<std::uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                             static_cast<std::uint64_t>(info.st_mtim.tv_nsec);
    return entity_tag(static_cast<std::uint64_t>(info.st_ino),
                      static_cast<std::uint64_t>(info.st_size), nanoseconds);
}

// Revalidation and byte ranges of a file answer, each only with its key: a
// current copy is answered 304, a range 206 or 416; an If-Range that names
// another version, or a Range field that does not parse, gets the whole file.
answer select_version_and_range(const site_policy& site, const request& r, answer a) {
    const off_t size = a.file_info.st_size;
    std::string tag;
    if (site.conditional) {
        tag = version_tag(a.file_info);
        if (copy_is_current(r, tag, a.file_info.st_mtime)) {
            answer current;
            current.what = answer::kind::not_modified;
            current.status = status_304;
            current.extra_headers = a.extra_headers +
                                    "Last-Modified: " + last_modified(a.file_info.st_mtime) +
                                    "\r\nETag: " + tag + "\r\n";
            return current;
        }
        a.file_fields += "ETag: " + tag + "\r\n";
    }
    if (!site.ranges) return a;
    a.file_fields += "Accept-Ranges: bytes\r\n";
    if (!r.head.range ||
        (r.head.if_range &&
         !if_range_matches(*r.head.if_range, tag, last_modified(a.file_info.st_mtime)))) {
        return a;
    }
    const byte_range range = parse_byte_range(*r.head.range, static_cast<std::uint64_t>(size));
    if (range.kind == range_kind::ignore) return a;
    const std::string content_range_line =
        "Content-Range: " + content_range(range, static_cast<std::uint64_t>(size)) + "\r\n";
    if (range.kind == range_kind::unsatisfiable) {
        return status_answer(status_416, a.extra_headers + content_range_line);
    }
    a.status = status_206;
    a.body_offset = static_cast<off_t>(range.first);
    a.body_length = static_cast<off_t>(range.last - range.first + 1);
    a.file_fields += content_range_line;
    return a;
}

// Whether a listing is asked for as JSON: "?format=json".
bool wants_json(const request& r) {
    param_map query;
    parse_query(r.target.query_begin, r.target.query_end, nullptr, &query);
    auto format = query.find("format");
    return format != query.end() && format->second == "json";
}

// A directory without its index file, listed. The page is held in a file in
// memory, shared by the readers of one version of it, so that it is answered
// as any file of its size is, from the response buffer or, with large_files,
// from the file.
answer listing_answer(const site_policy& site, const request& r, const std::string& directory,
                      long long now_ms) {
    listing_options options;
    options.show_hidden = site.listing_hidden;
    options.upload_form = site.upload;
    options.decoded_paths = site.decode_path;
    const bool json = wants_json(r);
    listing_cache unshared;
    listing_cache* pages = site.listings != nullptr ? site.listings : &unshared;
    const listing_page page = pages->page(directory, "/" + r.target.path, json, options, now_ms);
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

// The request's path with its dot steps resolved as text, for joining to the
// root; false for a path that leads above the root.
bool resolve_in_root(const site_policy& site, const request& r, std::string* resolved) {
    return (site.whole_dot_steps || get_level_min(r.path()) >= 0) &&
           resolve_dot_steps(r.path(), resolved);
}

// Maps an authenticated GET onto the root directory. The file opened is the
// one the path names once its dot steps are resolved as text: the kernel
// would resolve a ".." after following a link, and a link to a shallower
// place (www -> .) would then lead above the root.
answer file_answer(const site_policy& site, const request& r, long long now_ms) {
    const request_target& t = r.target;
    std::string resolved;
    if (!resolve_in_root(site, r, &resolved)) return status_answer(status_403);
    // A path that resolves to the root without naming it as a directory
    // ("." or "docs/..") is redirected like any directory named without "/".
    if (resolved.empty() && !r.path().empty() && r.path().back() != '/') resolved.push_back('.');
    std::string file_name = site.root + resolved;
    if (file_name.empty()) return status_answer(status_404);
    const bool names_directory = file_name.back() == '\\' || file_name.back() == '/';
    const std::string directory = file_name;
    if (names_directory) file_name += site.index_name;
    answer a;
    if (!open_and_look(file_name, &a.file, &a.file_info)) {
        // Only a directory named with its "/" is listed, as its index would be served.
        if (site.listing && directory.back() == '/')
            return listing_answer(site, r, directory, now_ms);
        return status_answer(status_404);
    }
    if (S_ISDIR(a.file_info.st_mode)) {
        // The redirect names the path as the client sent it.
        std::string query = t.query_begin ? std::string(t.query_begin, t.query_end) : "";
        std::string uri =
            create_uri(site.tls ? "https" : "http", t.user, t.password,
                       std::string(r.head.host.value_or("")), t.path + "/", query, t.fragment);
        return status_answer(status_302, "Location: " + uri + "\r\n");
    }
    // Pipes and devices could block the whole server on a read.
    if (!S_ISREG(a.file_info.st_mode) || a.file.get() == -1) return status_answer(status_500);
    a.what = answer::kind::file;
    a.status = status_200;
    a.file_name = std::move(file_name);
    a.body_length = a.file_info.st_size;
    return select_version_and_range(site, r, std::move(a));
}

// The credentials of a connection that is not yet authorized. Null when they
// pass; otherwise the 401 or 403 to answer with.
answer check_login(const site_policy& site, login_state* login, long long now, const request& r) {
    login_limiter* logins = site.logins;
    // With a login limit, a client that may try no more logins is answered
    // and closed, and the rest of its group is dropped.
    if (logins != nullptr && logins->refuses(login->peer, now)) {
        const long long wait_s = (logins->ms_until_allowed(login->peer, now) + 999) / 1000;
        answer a =
            site.retry_after
                ? status_answer(status_429, "Retry-After: " + std::to_string(wait_s) + "\r\n")
                : status_answer(status_403);
        if (logins->first_refusal(login->peer, now)) {
            a.event = "login limit reached";
            a.event_for_every_log = true;
        }
        a.last_of_group = true;
        return a;
    }
    if (login->a_counter > site.max_attempts) {
        answer a = status_answer(status_403);
        a.last_of_group = logins != nullptr;
        return a;
    }
    ++login->a_counter;
    std::string user = site.login;
    if (site.users ? password_file_match(site, r, now, &user) : credentials_match(site, r)) {
        login->authorized = true;
        login->user = std::move(user);
        answer a;
        a.event = "authorization detected";
        return a;
    }
    answer a =
        status_answer(status_401, "WWW-Authenticate: Basic realm=\"" + site.realm + "\"\r\n");
    // A request without credentials, as a browser's first one is, guesses nothing.
    a.failed_login = carries_credentials(r);
    if (logins != nullptr && a.failed_login) logins->record_failure(login->peer, now);
    return a;
}

// Reads exactly `size` bytes of the file from `offset` into `target`,
// straight from the descriptor: a stream would add a buffer of its own.
bool read_file(int fd, char* target, off_t offset, off_t size) {
    off_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, target + done, static_cast<size_t>(size - done), offset + done);
        if (n <= 0) break;  // an error, or the file became shorter since stat
        done += n;
    }
    return done == size;
}

// A type of text as a browser reads it: without a charset, UTF-8 text shows
// as mojibake. A type that names one keeps it.
std::string with_charset(const site_policy& site, std::string type) {
    if (site.charset.empty() || type.find("charset=") != std::string::npos) return type;
    const bool text =
        type.starts_with("text/") || type == "application/javascript" || type == "application/json";
    return text ? type + "; charset=" + site.charset : type;
}

// The Date field of answers given now: formatted once a second.
const std::string& date_field() {
    static time_t formatted = 0;
    static std::string field;
    const time_t now = time(nullptr);
    if (field.empty() || now != formatted) {
        field = "Date: " + http_time_str(static_cast<long>(now)) + "\r\n";
        formatted = now;
    }
    return field;
}

// Writes a short answer, with its terminating NUL, only when it fits. Its body
// is the status text, or that text and `body_text` on a line of their own.
written write_status(const char* status, const std::string& extra_headers,
                     const std::string& body_text, char* pos, int room) {
    const char* extra = extra_headers.empty() ? nullptr : extra_headers.c_str();
    const std::string body = body_text.empty() ? "" : std::string(status) + ": " + body_text + "\n";
    const char* text = body.empty() ? nullptr : body.c_str();
    // The text may name a file the client sent, in UTF-8.
    const char* type = body.empty() ? nullptr : "text/plain; charset=utf-8";
    written w;
    if (http_print_length(status, extra, type, text) >= room) return w;
    w.length = http_print(pos, &w.header_length, status, extra, type, text);
    return w;
}

// Writes the file answer's header and the body behind it; a body that does not
// fit, or that cannot be read whole, is answered with the 500 instead, unless
// it is to be sent from the file.
written write_file(const site_policy& site, const answer& a, const std::string& extra_headers,
                   char* pos, int room) {
    const long long length = a.body_length;
    int header_length = snprintf(
        pos, static_cast<size_t>(room),
        "HTTP/1.1 %s\r\n%sLast-Modified: %s\r\n%sContent-Type: %s\r\n"
        "Content-Length: %lli\r\n\r\n",
        a.status, extra_headers.c_str(), last_modified(a.file_info.st_mtime).c_str(),
        a.file_fields.c_str(),
        a.content_type.empty()
            ? with_charset(site, lookup_content_type(site.content_types, get_ext(a.file_name)))
                  .c_str()
            : a.content_type.c_str(),
        length);
    const bool header_fits = header_length >= 0 && header_length < room;
    const bool fits = header_fits && length <= room - header_length;
    written w;
    w.header_length = header_length;
    w.file_served = true;
    if (header_fits && site.large_files && (!fits || length > body_from_file_threshold)) {
        w.length = header_length;
        w.body_from_file = true;
        return w;
    }
    // A HEAD's body is left out: nothing of it is read.
    if (!fits ||
        (!a.head_only && !read_file(a.file.get(), pos + header_length, a.body_offset, length))) {
        return write_status(status_500, extra_headers, "", pos, room);
    }
    w.length = header_length + static_cast<int>(length);
    return w;
}

// The 304: the header alone, with the fields that name the version.
written write_not_modified(const answer& a, const std::string& extra_headers, char* pos, int room) {
    written w;
    const int length = snprintf(pos, static_cast<size_t>(room), "HTTP/1.1 %s\r\n%s\r\n", a.status,
                                extra_headers.c_str());
    if (length < 0 || length >= room) return w;
    w.length = w.header_length = length;
    return w;
}

// An upload refused before its body is read: the body may still follow, so
// the connection closes once the answer is sent.
answer refused_upload(const char* status) {
    answer a = status_answer(status);
    a.last_of_group = true;
    return a;
}

// The announced length of a body; false for anything but decimal digits
// that fit.
bool body_length(std::string_view text, off_t* length) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    *length = 0;
    for (char digit : text)
        *length = *length * 10 + (digit - '0');
    return true;
}

answer refused_upload(const char* status, std::string why) {
    answer a = refused_upload(status);
    a.refusal = std::move(why);
    a.body_text = a.refusal;
    return a;
}

// Where an upload goes, confined like a GET's file, and more: no step of it
// may begin with ".", and it is opened without following a link out of the
// root. The directory (open in `dir`) and, for a PUT, the file name. Null
// when the path is fine, else the status to refuse it with, and why.
const char* upload_target(const site_policy& site, const request& r, bool names_file,
                          open_file* dir, std::string* name, std::string* why) {
    std::string resolved;
    *why = "the path leads out of the root";
    if (!resolve_in_root(site, r, &resolved)) return status_403;
    const std::string& path = r.path();
    if (names_file) {
        // The last step as sent: "x/." or "x/.." names no file.
        const std::string_view last = std::string_view(path).substr(path.rfind('/') + 1);
        const size_t slash = resolved.rfind('/');
        *name = slash == std::string::npos ? resolved : resolved.substr(slash + 1);
        *why = "the path names no file";
        if (!valid_upload_name(last) || !valid_upload_name(*name)) return status_400;
        resolved.resize(resolved.size() - name->size());
    }
    const std::string steps = "/" + resolved + (names_file ? *name : "");
    *why = "names that begin with \".\" are not stored";
    if (steps.find("/.") != std::string::npos) return status_403;
    *dir = open_file(open_beneath_root(site.root, resolved));
    *why = "no directory of the root is there";
    if (dir->get() == -1) return status_403;
    struct stat info {};
    *why = *name + " is a directory";
    if (names_file && fstatat(dir->get(), name->c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode)) {
        return status_409;
    }
    return nullptr;
}

// The boundary of a form's Content-Type, or why there is none.
bool form_boundary(const request& r, std::string* boundary, std::string* why) {
    media_type type;
    *why = "the body is not multipart/form-data";
    if (!r.head.content_type || !parse_media_type(*r.head.content_type, &type) ||
        type.type != "multipart/form-data") {
        return false;
    }
    const auto found = type.parameters.find("boundary");
    *why = "the form's boundary is missing or longer than 70 characters";
    if (found == type.parameters.end() || found->second.empty() || found->second.size() > 70) {
        return false;
    }
    *boundary = found->second;
    return true;
}

// A PUT stores its body as the file the path names; a POST stores the
// files of its multipart form in the directory the path names.
answer upload_answer(const site_policy& site, const request& r) {
    off_t length = 0;
    if (r.head.transfer_encoding || !r.head.content_length) {
        return refused_upload(status_411, "an upload must announce its length");
    }
    if (!body_length(*r.head.content_length, &length)) {
        return refused_upload(status_400, "the Content-Length is not a length");
    }
    if (length > site.upload_max) {
        return refused_upload(status_413, "the body is larger than upload_max (" +
                                              std::to_string(site.upload_max) + " bytes)");
    }
    const bool put = r.head.method == "PUT";
    std::string boundary;
    std::string why;
    if (!put && !form_boundary(r, &boundary, &why)) return refused_upload(status_400, why);
    open_file dir;
    std::string name;
    if (const char* refused = upload_target(site, r, put, &dir, &name, &why)) {
        return refused_upload(refused, why);
    }
    // The Location names the file as the client named its path.
    std::string location = "/" + r.target.path;
    if (!put && location.back() != '/') location += '/';
    answer a;
    a.what = answer::kind::upload;
    a.body = put ? upload::single_file(dir.get(), name, length, site.upload_replace, location)
                 : upload::form_files(dir.get(), boundary, length, site.upload_replace, location);
    return a;
}

bool is_upload_method(std::string_view method) {
    return method == "PUT" || method == "POST";
}

// An HTTP/1.0 client knows nothing of "100 Continue" and waits for none.
bool expects_continue(const request& r) {
    return !r.is_http10() && r.head.expect && equal_ignoring_case(*r.head.expect, "100-continue");
}

// Whether an origin text names the host a request was sent to: the port of
// the scheme may be written or left out.
bool same_authority(std::string_view origin_authority, std::string_view host) {
    auto without_default_port = [](std::string_view text) {
        for (std::string_view port : {std::string_view(":80"), std::string_view(":443")}) {
            if (text.ends_with(port)) return text.substr(0, text.size() - port.size());
        }
        return text;
    };
    return equal_ignoring_case(without_default_port(origin_authority), without_default_port(host));
}

// Whether a request comes from a page of this site, or from no page at all.
// A browser names the page's origin in Origin and says in Sec-Fetch-Site
// whether it is this site; scripts and command-line clients send neither. A
// form of another site would otherwise store files with the credentials the
// browser keeps for this one.
bool from_this_site(const site_policy& site, const request& r) {
    if (r.head.sec_fetch_site && !equal_ignoring_case(*r.head.sec_fetch_site, "same-origin") &&
        !equal_ignoring_case(*r.head.sec_fetch_site, "none")) {
        return false;
    }
    if (!r.head.origin) return true;
    const std::string_view origin = *r.head.origin;
    const std::string_view scheme = site.tls ? "https://" : "http://";
    return r.head.host && origin.size() > scheme.size() &&
           equal_ignoring_case(origin.substr(0, scheme.size()), scheme) &&
           same_authority(origin.substr(scheme.size()), *r.head.host);
}

// Whether the client would rather read HTML than anything else, as a browser
// that submits a form does: its Accept field names text/html before any
// other type it takes.
bool prefers_html(const request& r) {
    const std::string_view accept = r.head.accept.value_or("");
    const size_t html = accept.find("text/html");
    return html != std::string_view::npos &&
           accept.substr(0, html).find('/') == std::string_view::npos;
}

answer cross_site_refusal() {
    answer a = refused_upload(status_403);
    a.refusal = "a page of another site sent it";
    return a;
}

answer method_not_allowed(const site_policy& site) {
    return status_answer(
        status_405, site.head ? "Allow: GET, HEAD, PUT, POST\r\n" : "Allow: GET, PUT, POST\r\n");
}

// An answer given without reading the request's body. A 401 lets the client
// try again on this connection once the body of announced length is read and
// thrown away; after any other answer, and whenever the client waits to be
// asked for the body or its length is not told, the connection closes once
// what the client still sends has been drained.
void leave_body_unread(const request& r, answer* a) {
    off_t length = 0;
    const bool known = !r.head.transfer_encoding && r.head.content_length &&
                       body_length(*r.head.content_length, &length);
    a->body_unread = known ? static_cast<long long>(length) : -1;
    if (a->status == status_401 && known && !expects_continue(r)) return;
    a->close_after_send = true;
    a->extra_headers += "Connection: close\r\n";
}

// The answer to an authenticated request.
answer authorized_answer(const site_policy& site, const request& r, long long now_ms) {
    if (site.upload && is_upload_method(r.head.method)) {
        if (!from_this_site(site, r)) return cross_site_refusal();
        answer a = upload_answer(site, r);
        if (a.what == answer::kind::upload) {
            a.continue_first = expects_continue(r);
            a.browser_form = r.head.method == "POST" && prefers_html(r);
        }
        return a;
    }
    if (!served_method(site, r.head.method))
        return site.upload ? method_not_allowed(site) : answer();
    return file_answer(site, r, now_ms);
}

// A query must be key=value pairs, unless paths are decoded: then a query
// such as "?v2", which a page adds to bust a cache, is not looked at.
bool query_is_served(const site_policy& site, const request& r) {
    param_map query;
    return parse_query(r.target.query_begin, r.target.query_end, nullptr, &query) ||
           site.decode_path;
}

// Whether the client asks to close the connection after this answer: an
// HTTP/1.1 client with "Connection: close", heard only in the HTTP/1.0 mode.
bool asks_close(const site_policy& site, const request& r) {
    return site.http10 && !r.is_http10() && lists_connection_option(r.head, "close");
}

}  // namespace

void open_file::reset() {
    if (fd != -1) close(fd);
    fd = -1;
}

answer respond(const site_policy& site, login_state* login, long long now_ms, char* begin,
               char* end, char** next) {
    request r;
    if (!parse_request(site, begin, end, next, &r)) return answer();

    answer a;
    if (!login->authorized) a = check_login(site, login, now_ms, r);
    if (login->authorized) {
        if (!query_is_served(site, r)) return answer();
        const char* event = a.event;
        a = authorized_answer(site, r, now_ms);
        if (a.what == answer::kind::close) return a;
        a.event = event;
    }
    // Bodies are read only with uploads: without them, a head that announces
    // one is not parsed.
    if (announces_body(r.head) && a.what != answer::kind::upload) leave_body_unread(r, &a);
    // An HTTP/1.0 client learns that the connection stays open only from
    // this field; without it, it reads each answer to the close.
    if (r.is_http10()) {
        if (lists_connection_option(r.head, "keep-alive")) {
            a.extra_headers += "Connection: keep-alive\r\n";
        } else {
            a.close_after_send = true;
        }
    }
    if (asks_close(site, r) && !a.close_after_send) {
        a.last_of_group = true;
        a.extra_headers += "Connection: close\r\n";
    }
    // A HEAD is answered as a GET, every decision included, without the
    // body: a client that sent HEAD reads none, even with a 401 or 403.
    a.head_only = r.is_head();
    a.request_line = r.head.request_line;
    a.referer = r.head.referer.value_or("");
    a.user_agent = r.head.user_agent.value_or("");
    return a;
}

answer upload_result(const upload& done, bool browser_form) {
    if (done.current() != upload::state::stored) {
        answer a = refused_upload(done.status(), done.reason());
        a.extra_headers = "Connection: close\r\n";
        return a;
    }
    // A browser is sent back to the listing of the directory, where it sees
    // what it stored; a reload there does not post the form again.
    if (browser_form) {
        const std::string& stored = done.location();
        return status_answer(status_303,
                             "Location: " + stored.substr(0, stored.rfind('/') + 1) + "\r\n");
    }
    return status_answer(status_201, "Location: " + done.location() + "\r\n");
}

written write_answer(const site_policy& site, const answer& a, char* pos, int room) {
    // Where clients may store files, no answer's type is guessed from its
    // bytes: a stored text would otherwise run as a page of this site.
    std::string extra = a.extra_headers;
    if (site.upload) extra += "X-Content-Type-Options: nosniff\r\n";
    if (site.date_field) extra += date_field();
    written w;
    switch (a.what) {
        case answer::kind::file:
            w = write_file(site, a, extra, pos, room);
            break;
        case answer::kind::not_modified:
            w = write_not_modified(a, extra, pos, room);
            break;
        default:
            w = write_status(a.status, extra, a.body_text, pos, room);
    }
    if (a.head_only && w.length >= 0) {
        w.length = w.header_length;
        w.body_from_file = false;
    }
    return w;
}
