// The request handler: once the received bytes end with an empty line, every
// request head of the group is answered in order, the answers are written one
// after the other into the response buffer, and one send job sends them all.
// A request that is not served with a response closes the connection, and
// nothing of its group is sent.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/request.h"
#include "app/settings.h"
#include "app/simple_server.h"
#include "http/http_utils.h"
#include "http/proxy_utils.h"

namespace {

const char* const status_302 = "302 Found";
const char* const status_401 = "401 Unauthorized";
const char* const status_403 = "403 Forbidden";
const char* const status_404 = "404 Not Found";
const char* const status_500 = "500 Internal Server Error";

// What one request of the group is answered with, before it is written.
struct answer {
    const char* status = nullptr;  // null: the 200 response with the file
    std::string extra_headers;     // a Location or WWW-Authenticate line
    std::string file_name;         // the file of the 200 response
    struct stat file_info {};
};

// The parts of one request that the handler looks at.
struct request {
    request_head head;
    request_target target;
    std::string decoded_path;  // with decode_path: the target's path, percent-decoded

    // The path that names the file; a redirect names the target's path instead.
    const std::string& path() const { return settings::decode_path ? decoded_path : target.path; }
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

std::string expected_credentials() {
    std::string credentials = settings::login + ":" + settings::password;
    return base64_encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                         static_cast<unsigned int>(credentials.size()));
}

// One set of credentials a request: the target's user information when it
// has some, else the Authorization field, else none (an empty login and
// password). With both configured empty, authentication is off.
bool credentials_match(const request& r) {
    if (settings::login.empty() && settings::password.empty()) return true;
    if (r.target.has_user_info) {
        // Both are compared whatever the first says.
        const bool user_matches = same_secret(r.target.user, settings::login);
        const bool password_matches = same_secret(r.target.password, settings::password);
        return user_matches && password_matches;
    }
    if (r.head.authorization) {
        return same_secret(basic_credentials(*r.head.authorization), expected_credentials());
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

bool served_version(std::string_view version) {
    return version == "HTTP/1.1" || (settings::http10 && version == "HTTP/1.0");
}

bool served_method(std::string_view method) {
    return method == "GET" || (settings::head && method == "HEAD");
}

// Takes one request head apart. False for a head, version, target or scheme
// that the server does not serve, for a path whose escapes do not decode, and
// for a head that announces a body: the connection is then closed.
bool parse_request(char* begin, char* end, char** next, request* r) {
    request_head& head = r->head;
    if (!read_request_head(begin, end, next, &head) || !served_version(head.version) ||
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
    return !settings::decode_path || percent_decode(r->target.path, &r->decoded_path);
}

std::string realm() {
    return change_ext(get_name(settings::exe_name), "");
}

answer status_answer(const char* status, std::string extra_headers = std::string()) {
    answer a;
    a.status = status;
    a.extra_headers = std::move(extra_headers);
    return a;
}

// Maps an authenticated GET onto the root directory. The file opened is the
// one the path names once its dot steps are resolved as text: the kernel
// would resolve a ".." after following a link, and a link to a shallower
// place (www -> .) would then lead above the root.
answer file_answer(const request& r) {
    const request_target& t = r.target;
    std::string resolved;
    if (get_level_min(r.path()) < 0 || !resolve_dot_steps(r.path(), &resolved)) {
        return status_answer(status_403);
    }
    // A path that resolves to the root without naming it as a directory
    // ("." or "docs/..") is redirected like any directory named without "/".
    if (resolved.empty() && !r.path().empty() && r.path().back() != '/') resolved = ".";
    std::string file_name = settings::root + resolved;
    if (file_name.empty()) return status_answer(status_404);
    if (file_name.back() == '\\' || file_name.back() == '/') file_name += settings::index_name;
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
    a.file_name = std::move(file_name);
    return a;
}

// Opens the file that `seen` describes. The name may have been swapped for a
// pipe or a device since it was looked at: the open never waits for a writer,
// and a descriptor that is not the same regular file is closed again (-1).
int open_seen_file(const std::string& file_name, const struct stat& seen) {
    int fd = open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return -1;
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != seen.st_dev ||
        opened.st_ino != seen.st_ino) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly `size` bytes of the file into `target`, straight from the
// descriptor: a stream would add a status call and a buffer of its own.
bool read_file(const std::string& file_name, const struct stat& seen, char* target, long size) {
    int fd = open_seen_file(file_name, seen);
    if (fd == -1) return false;
    long done = 0;
    while (done < size) {
        ssize_t n = read(fd, target + done, static_cast<size_t>(size - done));
        if (n <= 0) break;  // an error, or the file became shorter since stat
        done += n;
    }
    close(fd);
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

// Where one response landed in the response buffer.
struct written {
    int length = -1;  // header and body; -1 when not even a short response fits
    int header_length = 0;
    bool file_served = false;  // the 200 response
};

// Writes a short response, with its terminating NUL, only when it fits.
written write_status(const answer& a, char* pos, int room) {
    const char* extra = a.extra_headers.empty() ? nullptr : a.extra_headers.c_str();
    written w;
    if (http_print_length(a.status, extra, nullptr, nullptr) >= room) return w;
    w.length = http_print(pos, &w.header_length, a.status, extra, nullptr, nullptr);
    return w;
}

// Writes the 200 header and the file behind it; a file that does not fit, or
// that cannot be read whole, is answered with the 500 instead.
written write_file(const answer& a, char* pos, int room) {
    long size = static_cast<long>(a.file_info.st_size);
    int header_length = snprintf(
        pos, static_cast<size_t>(room),
        "HTTP/1.1 200 OK\r\n%sLast-Modified: %s\r\nContent-Type: %s\r\n"
        "Content-Length: %li\r\n\r\n",
        a.extra_headers.c_str(), last_modified(a.file_info.st_mtime).c_str(),
        lookup_content_type(settings::content_type_table, get_ext(a.file_name)).c_str(), size);
    bool fits = header_length >= 0 && header_length < room && size <= room - header_length;
    if (!fits || !read_file(a.file_name, a.file_info, pos + header_length, size)) {
        return write_status(status_answer(status_500, a.extra_headers), pos, room);
    }
    written w;
    w.length = header_length + static_cast<int>(size);
    w.header_length = header_length;
    w.file_served = true;
    return w;
}

written write_answer(const answer& a, char* pos, int room) {
    return a.status == nullptr ? write_file(a, pos, room) : write_status(a, pos, room);
}

}  // namespace

void simple_server_node::before_job_proc() {
    release_idle_answer_pages();
    if (!job_active() || get_job() != _recv || transferred < 4) return;
    etx_detected = memcmp(in_buf + transferred - 4, "\r\n\r\n", 4) == 0;
    if (!etx_detected && !body_announced()) return;

    // The group without its closing empty line; a head that announces a body
    // is logged with whatever followed it.
    log_block("etx detected",
              std::string_view(in_buf, static_cast<size_t>(transferred - (etx_detected ? 2 : 0))));
    abort_job();
    answer_request_group();
}

// A head's body may never end with an empty line, or may hold a request of its
// own: a complete head that announces one is noticed at once, wherever it
// stands among the bytes received so far. Each search goes on where the last
// one stopped, and each complete head is read once: linear in the bytes received.
bool simple_server_node::body_announced() {
    char* received_end = in_buf + transferred;
    for (;;) {
        char* from = in_buf + std::max(unchecked_head, searched - 3);
        char* head_end = find_str(from, received_end, "\r\n\r\n");
        if (head_end == nullptr) {
            searched = transferred;
            return false;
        }
        request_head head;
        char* next = nullptr;
        if (read_request_head(in_buf + unchecked_head, received_end, &next, &head) &&
            announces_body(head)) {
            return true;
        }
        unchecked_head = searched = static_cast<int>(head_end + 4 - in_buf);
    }
}

void simple_server_node::answer_request_group() {
    char* current = in_buf;
    char* group_end = in_buf + transferred;
    char* write_pos = out_buf;
    int room = out_size;
    to_transfer = 0;
    close_after_send = false;

    while (current != group_end) {
        request r;
        char* next = nullptr;
        if (!parse_request(current, group_end, &next, &r)) return disconnect();

        answer a;
        // With a login limit, a client that may try no more logins is
        // answered and closed, and the rest of its group is dropped.
        bool last_of_group = false;
        if (!authorized) {
            const in_addr_t peer = addr.sin_addr.s_addr;
            const long now = logins != nullptr ? monotonic_seconds() : 0;
            if (logins != nullptr && logins->refuses(peer, now)) {
                if (logins->first_refusal(peer, now)) log_event("login limit reached");
                a = status_answer(status_403);
                last_of_group = true;
            } else if (a_counter > max_a_counter) {
                a = status_answer(status_403);
                last_of_group = logins != nullptr;
            } else {
                ++a_counter;
                if (credentials_match(r)) {
                    authorized = true;
                    log_event("authorization detected");
                } else {
                    a = status_answer(status_401,
                                      "WWW-Authenticate: Basic realm=\"" + realm() + "\"\r\n");
                    // A request without credentials, as a browser's first
                    // one is, guesses nothing.
                    if (logins != nullptr && carries_credentials(r)) {
                        logins->record_failure(peer, now);
                    }
                }
            }
        }
        if (authorized) {
            param_map query;
            if (!served_method(r.head.method) ||
                !parse_query(r.target.query_begin, r.target.query_end, nullptr, &query)) {
                return disconnect();
            }
            a = file_answer(r);
        }
        // An HTTP/1.0 client learns that the connection stays open only from
        // this field; without it, it reads each answer to the close.
        if (r.is_http10()) {
            if (asks_keep_alive(r.head)) {
                a.extra_headers += "Connection: keep-alive\r\n";
            } else {
                close_after_send = true;
            }
        }

        written w = write_answer(a, write_pos, room);
        if (w.length < 0) return disconnect();  // the response buffer is full
        if (!w.file_served) log_event("error detected");
        // A HEAD is answered as a GET, every decision included, without the
        // body: a client that sent HEAD reads none, even with a 401 or 403.
        if (r.is_head()) w.length = w.header_length;

        // Log the header without its closing empty line.
        log_block("header to send",
                  std::string_view(write_pos, static_cast<size_t>(w.header_length - 2)));

        write_pos += w.length;
        room -= w.length;
        to_transfer += w.length;
        current = next;
        if (last_of_group) {
            close_after_send = true;
            break;
        }
    }

    buffer_size = out_size;
    buffer = out_buf;
    log_job_activation(activate_job(_send, false));
}
