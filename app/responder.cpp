#include "app/responder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "app/request.h"
#include "http/proxy_utils.h"

namespace {

const char* const status_302 = "302 Found";
const char* const status_401 = "401 Unauthorized";
const char* const status_403 = "403 Forbidden";
const char* const status_404 = "404 Not Found";
const char* const status_500 = "500 Internal Server Error";

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

// Constant-time for texts of equal length, so a comparison's duration tells
// nothing of how much of a guess was right.
bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// One set of credentials a request: the target's user information when it
// has some, else the Authorization field, else none (an empty login and
// password). With both configured empty, authentication is off.
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
    if (!read_request_head(begin, end, next, &head) || !served_version(site, head.version) ||
        announces_body(head)) {
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

// Opens the file that `seen` describes. The name may have been swapped for a
// pipe or a device since it was looked at: the open never waits for a writer,
// and a descriptor that is not the same regular file is closed again.
open_file open_seen_file(const std::string& file_name, const struct stat& seen) {
    open_file file(open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (file.get() == -1 || fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino) {
        return open_file();
    }
    return file;
}

// Maps an authenticated GET onto the root directory. The file opened is the
// one the path names once its dot steps are resolved as text: the kernel
// would resolve a ".." after following a link, and a link to a shallower
// place (www -> .) would then lead above the root.
answer file_answer(const site_policy& site, const request& r) {
    const request_target& t = r.target;
    std::string resolved;
    if (get_level_min(r.path()) < 0 || !resolve_dot_steps(r.path(), &resolved)) {
        return status_answer(status_403);
    }
    // A path that resolves to the root without naming it as a directory
    // ("." or "docs/..") is redirected like any directory named without "/".
    if (resolved.empty() && !r.path().empty() && r.path().back() != '/') resolved.push_back('.');
    std::string file_name = site.root + resolved;
    if (file_name.empty()) return status_answer(status_404);
    if (file_name.back() == '\\' || file_name.back() == '/') file_name += site.index_name;
    answer a;
    if (stat(file_name.c_str(), &a.file_info) != 0) return status_answer(status_404);
    if (S_ISDIR(a.file_info.st_mode)) {
        // The redirect names the path as the client sent it.
        std::string query = t.query_begin ? std::string(t.query_begin, t.query_end) : "";
        std::string uri =
            create_uri("http", t.user, t.password, std::string(r.head.host.value_or("")),
                       t.path + "/", query, t.fragment);
        return status_answer(status_302, "Location: " + uri + "\r\n");
    }
    // Pipes and devices could block the whole server on open or read.
    if (!S_ISREG(a.file_info.st_mode)) return status_answer(status_500);
    a.file = open_seen_file(file_name, a.file_info);
    if (a.file.get() == -1) return status_answer(status_500);
    a.what = answer::kind::file;
    a.file_name = std::move(file_name);
    return a;
}

// The credentials of a connection that is not yet authorized. Null when they
// pass; otherwise the 401 or 403 to answer with.
answer check_login(const site_policy& site, login_state* login, const request& r) {
    login_limiter* logins = site.logins;
    const long now = logins != nullptr ? monotonic_seconds() : 0;
    // With a login limit, a client that may try no more logins is answered
    // and closed, and the rest of its group is dropped.
    if (logins != nullptr && logins->refuses(login->peer, now)) {
        answer a = status_answer(status_403);
        if (logins->first_refusal(login->peer, now)) a.event = "login limit reached";
        a.last_of_group = true;
        return a;
    }
    if (login->a_counter > site.max_attempts) {
        answer a = status_answer(status_403);
        a.last_of_group = logins != nullptr;
        return a;
    }
    ++login->a_counter;
    if (credentials_match(site, r)) {
        login->authorized = true;
        answer a;
        a.event = "authorization detected";
        return a;
    }
    // A request without credentials, as a browser's first one is, guesses nothing.
    if (logins != nullptr && carries_credentials(r)) logins->record_failure(login->peer, now);
    return status_answer(status_401, "WWW-Authenticate: Basic realm=\"" + site.realm + "\"\r\n");
}

// Reads exactly `size` bytes of the file into `target`, straight from the
// descriptor: a stream would add a status call and a buffer of its own.
bool read_file(int fd, char* target, long size) {
    long done = 0;
    while (done < size) {
        ssize_t n = pread(fd, target + done, static_cast<size_t>(size - done), done);
        if (n <= 0) break;  // an error, or the file became shorter since stat
        done += n;
    }
    return done == size;
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

// Writes a short answer, with its terminating NUL, only when it fits.
written write_status(const char* status, const std::string& extra_headers, char* pos, int room) {
    const char* extra = extra_headers.empty() ? nullptr : extra_headers.c_str();
    written w;
    if (http_print_length(status, extra, nullptr, nullptr) >= room) return w;
    w.length = http_print(pos, &w.header_length, status, extra, nullptr, nullptr);
    return w;
}

// Writes the 200 header and the file behind it; a file that does not fit, or
// that cannot be read whole, is answered with the 500 instead.
written write_file(const site_policy& site, const answer& a, char* pos, int room) {
    long size = static_cast<long>(a.file_info.st_size);
    int header_length =
        snprintf(pos, static_cast<size_t>(room),
                 "HTTP/1.1 200 OK\r\n%sLast-Modified: %s\r\nContent-Type: %s\r\n"
                 "Content-Length: %li\r\n\r\n",
                 a.extra_headers.c_str(), last_modified(a.file_info.st_mtime).c_str(),
                 lookup_content_type(site.content_types, get_ext(a.file_name)).c_str(), size);
    bool fits = header_length >= 0 && header_length < room && size <= room - header_length;
    if (!fits || !read_file(a.file.get(), pos + header_length, size)) {
        return write_status(status_500, a.extra_headers, pos, room);
    }
    written w;
    w.length = header_length + static_cast<int>(size);
    w.header_length = header_length;
    w.file_served = true;
    return w;
}

}  // namespace

void open_file::reset() {
    if (fd != -1) close(fd);
    fd = -1;
}

answer respond(const site_policy& site, login_state* login, char* begin, char* end, char** next) {
    request r;
    if (!parse_request(site, begin, end, next, &r)) return answer();

    answer a;
    if (!login->authorized) a = check_login(site, login, r);
    if (login->authorized) {
        param_map query;
        if (!served_method(site, r.head.method) ||
            !parse_query(r.target.query_begin, r.target.query_end, nullptr, &query)) {
            return answer();
        }
        const char* event = a.event;
        a = file_answer(site, r);
        a.event = event;
    }
    // An HTTP/1.0 client learns that the connection stays open only from
    // this field; without it, it reads each answer to the close.
    if (r.is_http10()) {
        if (asks_keep_alive(r.head)) {
            a.extra_headers += "Connection: keep-alive\r\n";
        } else {
            a.close_after_send = true;
        }
    }
    // A HEAD is answered as a GET, every decision included, without the
    // body: a client that sent HEAD reads none, even with a 401 or 403.
    a.head_only = r.is_head();
    return a;
}

written write_answer(const site_policy& site, const answer& a, char* pos, int room) {
    written w = a.what == answer::kind::file ? write_file(site, a, pos, room)
                                             : write_status(a.status, a.extra_headers, pos, room);
    if (a.head_only && w.length >= 0) w.length = w.header_length;
    return w;
}
