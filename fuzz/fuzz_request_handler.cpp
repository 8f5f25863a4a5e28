// The whole request handler: a node on one end of a socket pair answers one
// request group over a small generated site, with an output buffer whose size
// the input chooses. Input: two bytes for the output size, one option byte
// (bit 0: the connection is already authenticated; the rest: earlier failed
// attempts; bits 7, 6, 5, 4 and 3 also: decode_path, large_files, ranges,
// conditional and head are set), then the request bytes, made into a group
// that ends with an empty line. Every file of the site has the same
// modification time, "Thu, 01 Jan 2026 00:00:00 GMT", for date fields to name.
//
// Checks: the node either answers every head of the group, or closes the
// connection; without large_files it answers in one send that fits its
// buffer, or closes having sent nothing, and with it each send's buffered part
// fits the buffer and a closed connection has sent whole answers to the first
// heads only. Every response is a well-formed 200, 206, 302, 304, 401, 403,
// 404, 416 or 500 (the new ones only with their keys) whose Content-Length
// equals the bytes that follow it, none for a HEAD; a 200 serves a file of the
// site and a 206 the part of one that its Content-Range names; a path that
// climbs above the root is never served or redirected; the file beside the
// root never leaks, also not through the links in the root that point to
// shallower places; no descriptor is left open.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/connection.h"
#include "app/request.h"
#include "engine/platform.h"
#include "fuzz/fuzz_support.h"
#include "log/printf_ex.h"

namespace {

// The settings each run serves with; the run sets the keys it varies.
configuration config;

namespace fs = std::filesystem;

constexpr int receive_size = 4096;
constexpr int largest_output = 4096;
const std::string_view secret = "secret 5b1e0c93 beside the root";
const time_t site_modified = 1767225600;  // Thu, 01 Jan 2026 00:00:00 GMT

// Bytes that differ from place to place, so that a part served from the
// wrong offset shows.
std::string counting(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 23);
    return text;
}

// The site: a root directory with a few files, and a secret file beside it.
// Made once per process, in the temporary directory, and removed at exit.
class site {
  public:
    site() : dir_(fs::temp_directory_path() / ("websrv-fuzz-" + std::to_string(getpid()))) {
        fs::create_directories(dir_ / "root" / "docs");
        dir_ = fs::canonical(dir_);  // as /proc/self/fd names the files
        add("index.htm", "<p>home</p>");
        add("docs/index.htm", "<p>docs</p>");
        add("a.txt", "alpha");
        add("script.js", "run();");
        add("empty.htm", "");
        add("big.bin", counting(3000));
        add("large.bin", counting(40000));  // beyond the size sent from its file in any case
        std::ofstream(dir_ / "secret.txt", std::ios::binary) << secret;
        // Links to shallower places inside the root and a backslash in a name:
        // a path that is fine as text may still lead above the root through them.
        fs::create_directory_symlink(".", dir_ / "root" / "www");
        fs::create_directories(dir_ / "root" / "sub");
        fs::create_directory_symlink("..", dir_ / "root" / "sub" / "up");
        fs::create_directories(dir_ / "root" / "a\\b");
    }
    ~site() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    site(const site&) = delete;
    site& operator=(const site&) = delete;

    std::string root() const { return (dir_ / "root").string() + "/"; }
    bool holds(const std::string& path) const { return path.starts_with(dir_.string()); }
    bool serves(std::string_view body) const {
        for (const std::string& content : contents_)
            if (body == content) return true;
        return false;
    }
    // Whether bytes first..last of a file of `size` bytes can be `part`.
    bool serves_part(std::string_view part, size_t first, size_t last, size_t size) const {
        for (const std::string& content : contents_) {
            if (content.size() == size && first <= last && last < size &&
                part == std::string_view(content).substr(first, last - first + 1)) {
                return true;
            }
        }
        return false;
    }

  private:
    void add(const char* name, const std::string& content) {
        const fs::path path = dir_ / "root" / name;
        std::ofstream(path, std::ios::binary) << content;
        const timespec times[2] = {{site_modified, 0}, {site_modified, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
        contents_.push_back(content);
    }

    fs::path dir_;
    std::vector<std::string> contents_;
};

class fuzz_node : public simple_server_node {
  public:
    fuzz_node(const site_policy* site, site_services* services)
        : simple_server_node(site, services) {}
    using simple_server_node::login;

    int sends_done = 0;
    int sent = 0;              // the buffered bytes of the last send
    int largest_buffered = 0;  // of every send

    void result_proc() override {
        if (get_job() == _send && get_result() == success) {
            ++sends_done;
            sent = to_transfer;
            largest_buffered = std::max(largest_buffered, to_transfer);
        }
        simple_server_node::result_proc();
    }
    // Every answer is sent and the next group awaited.
    bool idle() const { return sends_done > 0 && job_active() && get_job() == _recv; }
};

struct response {
    std::string_view status_line;
    std::map<std::string_view, std::string_view> fields;
    std::string_view body;

    bool has_exactly(const std::vector<std::string_view>& names) const {
        if (fields.size() != names.size()) return false;
        for (std::string_view name : names)
            if (!fields.contains(name)) return false;
        return true;
    }
    std::string_view field(std::string_view name) const {
        auto it = fields.find(name);
        return it == fields.end() ? std::string_view() : it->second;
    }
};

bool is_field_name(std::string_view name) {
    return !name.empty() && name.find_first_not_of(
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                "abcdefghijklmnopqrstuvwxyz-") == name.npos;
}

// Reads header lines, each "Name: value\r\n", into `r`: no name twice, and no
// CR, LF or NUL inside a line.
void read_fields(std::string_view lines, response* r) {
    while (!lines.empty()) {
        std::string_view line = lines.substr(0, lines.find("\r\n"));
        size_t colon = line.find(": ");
        require(colon != line.npos && is_field_name(line.substr(0, colon)),
                "a header line is not \"Name: value\"");
        require(line.find_first_of(std::string_view("\r\n\0", 3)) == line.npos,
                "a header line holds a CR, LF or NUL");
        require(r->fields.emplace(line.substr(0, colon), line.substr(colon + 2)).second,
                "a header field appears twice");
        lines.remove_prefix(line.size() + 2);
    }
}

// A decimal number of up to five digits; -1 for anything else.
long small_number(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos) {
        return -1;
    }
    return std::stol(std::string(text));
}

// What the group asked, head by head, as far as its heads parse.
struct asked {
    std::vector<std::string> paths;
    std::vector<bool> head_only;  // a HEAD: its answer has no body
    bool all_parse = true;
};

// Splits what the node sent into responses, each followed by as many body
// bytes as its Content-Length says, none for a HEAD or a 304.
std::vector<response> split_responses(std::string_view stream, const asked& heads) {
    std::vector<response> responses;
    while (!stream.empty()) {
        require(responses.size() < heads.paths.size(), "more answers than request heads");
        size_t empty_line = stream.find("\r\n\r\n");
        require(empty_line != stream.npos, "a response head has no empty line");
        size_t status_end = stream.find("\r\n");
        response r;
        r.status_line = stream.substr(0, status_end);
        // The field lines with their CR LF; none when the empty line follows the status line.
        read_fields(stream.substr(status_end + 2, empty_line - status_end), &r);
        size_t body_begin = empty_line + 4;
        long body_length = 0;
        if (r.status_line != "HTTP/1.1 304 Not Modified") {
            body_length = small_number(r.field("Content-Length"));
            require(body_length >= 0, "Content-Length is not a number");
        }
        if (heads.head_only[responses.size()]) body_length = 0;
        require(stream.size() - body_begin >= static_cast<size_t>(body_length),
                "a body is shorter than announced");
        r.body = stream.substr(body_begin, static_cast<size_t>(body_length));
        stream.remove_prefix(body_begin + static_cast<size_t>(body_length));
        responses.push_back(r);
    }
    return responses;
}

// The fields of a file answer with the keys in force, and `more`.
std::vector<std::string_view> file_fields(const site_policy& keys,
                                          std::initializer_list<std::string_view> more) {
    std::vector<std::string_view> names = {"Last-Modified", "Content-Type", "Content-Length"};
    if (keys.conditional) names.push_back("ETag");
    if (keys.ranges) names.push_back("Accept-Ranges");
    names.insert(names.end(), more);
    return names;
}

// A 206 serves the part of a file of the site that its Content-Range names.
void require_part(const response& r, const site& files, bool head_only) {
    std::string_view range = r.field("Content-Range");
    require(range.starts_with("bytes "), "a 206 without bytes in its Content-Range");
    range.remove_prefix(6);
    const size_t dash = range.find('-'), slash = range.find('/');
    require(dash < slash && slash != range.npos, "a 206 with a malformed Content-Range");
    const long first = small_number(range.substr(0, dash));
    const long last = small_number(range.substr(dash + 1, slash - dash - 1));
    const long size = small_number(range.substr(slash + 1));
    require(first >= 0 && last >= first && size > last, "a 206 with an impossible range");
    require(small_number(r.field("Content-Length")) == last - first + 1,
            "a 206's Content-Length is not the length of its range");
    require(head_only || files.serves_part(r.body, static_cast<size_t>(first),
                                           static_cast<size_t>(last), static_cast<size_t>(size)),
            "a 206 body is not the part of a file that it names");
}

// A file answer (200, 206 or 304) with the fields its keys give it.
bool require_file_answer(const response& r, const site& files, const site_policy& keys,
                         bool head_only) {
    if (r.status_line == "HTTP/1.1 200 OK") {
        require(r.has_exactly(file_fields(keys, {})), "a 200 with other fields");
        require(head_only || files.serves(r.body), "a 200 body is not a file of the site");
    } else if (r.status_line == "HTTP/1.1 206 Partial Content") {
        require(keys.ranges, "a 206 without ranges");
        require(r.has_exactly(file_fields(keys, {"Content-Range"})), "a 206 with other fields");
        require_part(r, files, head_only);
    } else if (r.status_line == "HTTP/1.1 304 Not Modified") {
        require(keys.conditional, "a 304 without conditional");
        require(r.has_exactly({"Last-Modified", "ETag"}) &&
                    r.field("Last-Modified") == "Thu, 01 Jan 2026 00:00:00 GMT",
                "a 304 with other fields");
    } else {
        return false;
    }
    return true;
}

// A file answer, or a short answer with its status text (the body a GET gets).
void require_well_formed(const response& r, const site& files, const site_policy& keys,
                         bool head_only) {
    if (require_file_answer(r, files, keys, head_only)) return;
    require(r.status_line.starts_with("HTTP/1.1 "), "a status line without HTTP/1.1");
    const std::string_view text = r.status_line.substr(9);
    require(small_number(r.field("Content-Length")) == static_cast<long>(text.size()) &&
                (head_only || r.body == text),
            "a short answer's body is not its status text");
    require(r.field("Content-Type") == "text/plain", "a short answer is not text/plain");
    if (text == "302 Found") {
        require(r.has_exactly({"Location", "Content-Type", "Content-Length"}) &&
                    r.field("Location").starts_with("http://"),
                "a 302 without its Location");
    } else if (text == "401 Unauthorized") {
        require(r.has_exactly({"WWW-Authenticate", "Content-Type", "Content-Length"}) &&
                    r.field("WWW-Authenticate") == "Basic realm=\"websrv\"",
                "a 401 without its realm");
    } else if (text == "416 Range Not Satisfiable") {
        require(keys.ranges, "a 416 without ranges");
        require(r.has_exactly({"Content-Range", "Content-Type", "Content-Length"}) &&
                    r.field("Content-Range").starts_with("bytes */"),
                "a 416 without its Content-Range");
    } else {
        require(text == "403 Forbidden" || text == "404 Not Found" ||
                    text == "500 Internal Server Error",
                "a response is not one of 200, 206, 302, 304, 401, 403, 404, 416, 500");
        require(r.has_exactly({"Content-Type", "Content-Length"}),
                "a short answer with extra fields");
    }
}

// The path that one head names, as the node reads it; false when the head
// does not parse.
bool read_head(char** at, char* end, request_head* head, std::string* path) {
    if (!read_request_head(*at, end, at, head)) return false;
    char* target_begin = const_cast<char*>(head->target.data());
    request_target target;
    if (!split_target(target_begin, target_begin + head->target.size(), &target)) return false;
    if (config.site.decode_path) return percent_decode(target.path, path);
    *path = target.path;
    return true;
}

// The paths and methods of the group's heads, in order, up to the first that
// does not parse.
asked read_heads(std::string_view group) {
    asked heads;
    exact_copy range(group);
    for (char* at = range.begin(); at != range.end();) {
        request_head head;
        std::string path;
        if (!read_head(&at, range.end(), &head, &path)) {
            heads.all_parse = false;
            break;
        }
        heads.paths.push_back(path);
        heads.head_only.push_back(head.method == "HEAD");
    }
    return heads;
}

// Whether a path leads above the root: by whole ".." steps where the site
// reads them so (a name like "v1..2" does not climb), else by any "..".
bool climbs(const site_policy& site, const std::string& path) {
    std::string resolved;
    return site.whole_dot_steps ? !resolve_dot_steps(path, &resolved) : get_level_min(path) < 0;
}

// The answers went to the group's first heads, in order.
void require_answers_match(const site_policy& site, const asked& heads,
                           const std::vector<response>& responses) {
    for (size_t i = 0; i < responses.size(); ++i) {
        if (!climbs(site, heads.paths[i])) continue;
        require(responses[i].status_line.ends_with("401 Unauthorized") ||
                    responses[i].status_line.ends_with("403 Forbidden"),
                "a path above the root is served or redirected");
    }
}

// The sockets and the site's files that the process holds open. Other kinds
// are left out: the sanitizers' symbolizer, for one, talks through pipes.
int open_descriptors(const site& files) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code gone;  // the iterator's own descriptor may be listed
        const std::string target = fs::read_symlink(entry.path(), gone).string();
        if (target.starts_with("socket:") || files.holds(target)) ++count;
    }
    return count;
}

// The request bytes as a group: below the receive buffer's size, closed by an
// empty line.
std::string request_group(const uint8_t* data, size_t size) {
    std::string group(reinterpret_cast<const char*>(data),
                      std::min<size_t>(size, receive_size - 5));
    if (!group.ends_with("\r\n\r\n")) group += "\r\n\r\n";
    return group;
}

struct exchange_result {
    std::string sent;
    bool connected = false;
    int sends_done = 0;
    int send_size = 0;
    int largest_buffered = 0;
};

// Appends what the peer has received so far.
void read_available(int peer, std::string* received) {
    char chunk[largest_output + 1];
    for (ssize_t n; (n = read(peer, chunk, sizeof chunk)) > 0;)
        received->append(chunk, static_cast<size_t>(n));
}

// Runs one connection: the group goes in, the node is stepped until it has
// answered (bodies sent from their files included) or closed, and everything
// it sent comes back.
exchange_result exchange(const std::string& group, uint8_t options) {
    int fds[2];
    require(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
    enable_nonblocking_mode(fds[0], true);
    enable_nonblocking_mode(fds[1], true);
    site_policy site;
    site_services services;
    assemble_site(config, &site, &services);
    auto node = std::make_unique<fuzz_node>(&site, &services);
    require(node->has_buffers(), "the node has no buffers");
    node->login.authorized = (options & 1) != 0;
    node->login.a_counter = node->login.authorized ? 1 : (options >> 1) % 6;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    prepare_server_node(node.get(), fds[0], peer);
    node->after_connect();
    require(write(fds[1], group.data(), group.size()) == static_cast<ssize_t>(group.size()),
            "the group does not fit the socket pair");
    exchange_result result;
    // A few steps per head at most: every send finds the socket pair drained.
    for (int step = 0; step < 4 * receive_size && node->connected() && !node->idle(); ++step) {
        step_node(*node);
        read_available(fds[1], &result.sent);
    }
    require(!node->connected() || node->idle(), "the node neither answers the group nor closes");
    result.connected = node->connected();
    result.sends_done = node->sends_done;
    result.send_size = node->sent;
    result.largest_buffered = node->largest_buffered;
    node.reset();
    close(fds[1]);
    return result;
}

// A group answered without large_files is answered with it too, with the same
// statuses, except that a file that does not fit the buffer is served from
// it instead of answered 500. The file's header may be longer than the 500 it
// replaces, by less than `longer_header`: a group that may then no longer fit
// the buffer may close the connection, and is left out.
void require_as_without_large_files(const std::string& group, uint8_t options, const asked& heads,
                                    const std::vector<response>& with_key) {
    constexpr size_t longer_header = 256;
    config.site.large_files = false;
    const exchange_result without = exchange(group, options);
    config.site.large_files = true;
    if (!without.connected) return;
    const std::vector<response> plain = split_responses(without.sent, heads);
    size_t largest_need = without.sent.size();
    for (const response& r : plain)
        if (r.status_line.ends_with(" 500 Internal Server Error")) largest_need += longer_header;
    if (largest_need > static_cast<size_t>(config.site.sizeof_out)) return;
    require(with_key.size() == plain.size(), "large_files leaves heads unanswered");
    for (size_t i = 0; i < plain.size(); ++i) {
        const std::string_view status = with_key[i].status_line;
        require(status == plain[i].status_line ||
                    (plain[i].status_line.ends_with(" 500 Internal Server Error") &&
                     (status.ends_with(" 200 OK") || status.ends_with(" 206 Partial Content"))),
                "large_files changes a status other than a 500 for a file beyond the buffer");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const site files;
    static const int descriptors = [] {
        printf_ex_enabled(false);
        config.exe_name = "/opt/websrv/websrv";
        config.site.root = files.root();
        config.site.sizeof_in = receive_size;
        return open_descriptors(files);
    }();
    static unsigned runs = 0;
    if (size < 3) return 0;

    config.site.sizeof_out = 1 + ((data[0] << 8) | data[1]) % largest_output;
    config.site.decode_path = (data[2] & 0x80) != 0;
    config.site.large_files = (data[2] & 0x40) != 0;
    config.site.ranges = (data[2] & 0x20) != 0;
    config.site.conditional = (data[2] & 0x10) != 0;
    config.site.head = (data[2] & 0x08) != 0;
    const std::string group = request_group(data + 3, size - 3);
    const exchange_result result = exchange(group, data[2]);
    const asked heads = read_heads(group);

    if (!config.site.large_files) {
        require(result.sent.size() <= static_cast<size_t>(config.site.sizeof_out),
                "more bytes sent than the output buffer holds");
        require(result.connected || result.sent.empty(), "a closed connection sent something");
        require(!result.connected || (result.sends_done == 1 &&
                                      result.sent.size() == static_cast<size_t>(result.send_size)),
                "a complete group is neither answered in one send nor closed");
    }
    require(result.largest_buffered <= config.site.sizeof_out,
            "a send's buffered part is larger than the output buffer");
    require(!result.connected || heads.all_parse, "a group with a malformed head is answered");
    const std::vector<response> responses = split_responses(result.sent, heads);
    require(result.connected ? responses.size() == heads.paths.size()
                             : !heads.all_parse || responses.size() < heads.paths.size(),
            result.connected ? "not every head of the group is answered"
                             : "a closed connection answered every head");
    const site_policy keys = policy_of(config);
    for (size_t i = 0; i < responses.size(); ++i)
        require_well_formed(responses[i], files, keys, heads.head_only[i]);
    require_answers_match(keys, heads, responses);
    if (config.site.large_files) require_as_without_large_files(group, data[2], heads, responses);
    require(result.sent.find(secret) == std::string::npos || group.find(secret) != group.npos,
            "the file beside the root leaks");
    if (++runs % 64 == 0) require(open_descriptors(files) == descriptors, "a descriptor leaks");
    return 0;
}
