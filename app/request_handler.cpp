// The request handler: once the received bytes end with an empty line, every
// request head of the group is answered in order, the answers are written one
// after the other into the response buffer, and one send job sends them all.
// A request that is not served with a response closes the connection, and
// nothing of its group is sent.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

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

// The parts of one request head that the handler looks at.
struct request {
    std::string method;
    std::string version;
    param_map fields;
    std::string host_field;  // the Host field, read before the query reuses `fields`
    std::string scheme, user, password, path, fragment;
    char* query_begin = nullptr;
    char* query_end = nullptr;
};

std::string field(const param_map& fields, const char* name) {
    auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
}

std::string expected_authorization() {
    std::string credentials = settings::login + ":" + settings::password;
    return "Basic " + base64_encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                                    static_cast<unsigned int>(credentials.size()));
}

// Credentials in the request target, or else in the Authorization field.
bool credentials_match(const request& r) {
    if (r.user == settings::login && r.password == settings::password) return true;
    auto it = r.fields.find("Authorization");
    return it != r.fields.end() && it->second == expected_authorization();
}

// The target and the Host field are echoed into the Location line of a
// redirect, where a CR, LF or NUL would end that header line early and let the
// request write header lines of its own.
bool breaks_header_line(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Takes one request head apart. False for a head, version, target or scheme
// that the server does not serve: the connection is then closed.
bool parse_request(char* begin, char* end, char** next, request* r) {
    char* target_begin = nullptr;
    char* target_end = nullptr;
    if (!parse_header(begin, end, next, &r->method, &target_begin, &target_end, &r->version,
                      &r->fields) ||
        r->version != "HTTP/1.1" ||
        !parse_uri(target_begin, target_end, nullptr, &r->scheme, &r->user, &r->password, nullptr,
                   nullptr, &r->path, &r->query_begin, &r->query_end, &r->fragment) ||
        (!r->scheme.empty() && r->scheme != "http")) {
        return false;
    }
    r->host_field = field(r->fields, "Host");
    return !breaks_header_line(
               std::string_view(target_begin, static_cast<size_t>(target_end - target_begin))) &&
           !breaks_header_line(r->host_field);
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

// Maps an authenticated GET onto the root directory.
answer file_answer(const request& r) {
    std::string file_name = settings::root + r.path;
    if (file_name.empty()) return status_answer(status_404);
    if (file_name.back() == '\\' || file_name.back() == '/') file_name += "index.htm";
    if (get_level_min(r.path) < 0) return status_answer(status_403);
    answer a;
    if (stat(file_name.c_str(), &a.file_info) != 0) return status_answer(status_404);
    if (S_ISDIR(a.file_info.st_mode)) {
        std::string query = r.query_begin ? std::string(r.query_begin, r.query_end) : "";
        std::string uri =
            create_uri("http", r.user, r.password, r.host_field, r.path + "/", query, r.fragment);
        return status_answer(status_302, "Location: " + uri + "\r\n");
    }
    // Pipes and devices could block the whole server on open or read.
    if (!S_ISREG(a.file_info.st_mode)) return status_answer(status_500);
    a.file_name = std::move(file_name);
    return a;
}

// Reads exactly `size` bytes of the file into `target`, straight from the
// descriptor: a stream would add a status call and a buffer of its own.
bool read_file(const std::string& file_name, char* target, long size) {
    int fd = open(file_name.c_str(), O_RDONLY | O_CLOEXEC);
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
    int header_length = snprintf(pos, static_cast<size_t>(room),
                                 "HTTP/1.1 200 OK\r\nLast-Modified: %s\r\nContent-Type: %s\r\n"
                                 "Content-Length: %li\r\n\r\n",
                                 last_modified(a.file_info.st_mtime).c_str(),
                                 get_content_type(get_ext(a.file_name)).c_str(), size);
    bool fits = header_length >= 0 && header_length < room && size <= room - header_length;
    if (!fits || !read_file(a.file_name, pos + header_length, size)) {
        return write_status(status_answer(status_500), pos, room);
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
    if (!job_active() || get_job() != _recv || transferred < 4) return;
    etx_detected = memcmp(in_buf + transferred - 4, "\r\n\r\n", 4) == 0;
    if (!etx_detected) return;

    // Log the group without its closing empty line.
    in_buf[transferred - 2] = '\0';
    log_block("etx detected", in_buf);
    in_buf[transferred - 2] = '\r';

    abort_job();
    answer_request_group();
}

void simple_server_node::answer_request_group() {
    char* current = in_buf;
    char* group_end = in_buf + transferred;
    char* write_pos = out_buf;
    int room = out_size;
    to_transfer = 0;

    while (current != group_end) {
        request r;
        char* next = nullptr;
        if (!parse_request(current, group_end, &next, &r)) return disconnect();

        answer a;
        if (!authorized) {
            if (a_counter > max_a_counter) {
                a = status_answer(status_403);
            } else {
                ++a_counter;
                if (credentials_match(r)) {
                    authorized = true;
                    log_event("authorization detected");
                } else {
                    a = status_answer(status_401,
                                      "WWW-Authenticate: Basic realm=\"" + realm() + "\"\r\n");
                }
            }
        }
        if (authorized) {
            if (r.method != "GET" || !parse_query(r.query_begin, r.query_end, nullptr, &r.fields)) {
                return disconnect();
            }
            a = file_answer(r);
        }

        written w = write_answer(a, write_pos, room);
        if (w.length < 0) return disconnect();  // the response buffer is full
        if (!w.file_served) log_event("error detected");

        // Log the header without its closing empty line.
        write_pos[w.header_length - 2] = '\0';
        log_block("header to send", write_pos);
        write_pos[w.header_length - 2] = '\r';

        write_pos += w.length;
        room -= w.length;
        to_transfer += w.length;
        current = next;
    }

    buffer_size = out_size;
    buffer = out_buf;
    log_job_activation(activate_job(_send, false));
}
