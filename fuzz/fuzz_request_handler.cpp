// The whole request handler: a node on one end of a socket pair answers one
// request group over a small generated site, with an output buffer whose size
// the input chooses. Input: two bytes for the output size, one option byte
// (bit 0: the connection is already authenticated; the rest: earlier failed
// attempts; bit 7 also: paths are percent-decoded, as with decode_path=1),
// then the request bytes, made into a group that ends with an empty line.
//
// Checks: the node either answers every head of the group in one send that
// fits its buffer, or closes the connection having sent nothing; every
// response is a well-formed 200, 302, 401, 403, 404 or 500 whose
// Content-Length matches its body; a 200 serves a file of the site; a path
// that climbs above the root is never served or redirected; the file beside
// the root never leaks, also not through the links in the root that point to
// shallower places; no descriptor is left open.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/main.h"
#include "app/request.h"
#include "engine/platform.h"
#include "fuzz/fuzz_support.h"
#include "log/printf_ex.h"

namespace {

namespace fs = std::filesystem;

constexpr int receive_size = 4096;
constexpr int largest_output = 4096;
const std::string_view secret = "secret 5b1e0c93 beside the root";

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
        add("big.bin", std::string(3000, 'b'));
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

  private:
    void add(const char* name, const std::string& content) {
        std::ofstream(dir_ / "root" / name, std::ios::binary) << content;
        contents_.push_back(content);
    }

    fs::path dir_;
    std::vector<std::string> contents_;
};

class fuzz_node : public simple_server_node {
  public:
    explicit fuzz_node(const site_policy* site) : simple_server_node(site) {}
    using simple_server_node::login;

    int sends_done = 0;
    int sent = 0;

    void result_proc() override {
        if (get_job() == _send && get_result() == success) {
            ++sends_done;
            sent = to_transfer;
        }
        simple_server_node::result_proc();
    }
};

struct response {
    std::string_view status_line;
    std::map<std::string_view, std::string_view> fields;
    std::string_view body;

    bool has_exactly(std::initializer_list<std::string_view> names) const {
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

// Splits what the node sent into responses, each with as many body bytes as
// its Content-Length says.
std::vector<response> split_responses(std::string_view stream) {
    std::vector<response> responses;
    while (!stream.empty()) {
        size_t empty_line = stream.find("\r\n\r\n");
        require(empty_line != stream.npos, "a response head has no empty line");
        size_t status_end = stream.find("\r\n");
        response r;
        r.status_line = stream.substr(0, status_end);
        // The field lines with their CR LF; none when the empty line follows the status line.
        read_fields(stream.substr(status_end + 2, empty_line - status_end), &r);
        std::string_view length = r.field("Content-Length");
        require(!length.empty() && length.size() < 6 &&
                    length.find_first_not_of("0123456789") == length.npos,
                "Content-Length is not a number");
        size_t body_begin = empty_line + 4;
        size_t body_length = std::stoul(std::string(length));
        require(stream.size() - body_begin >= body_length, "a body is shorter than announced");
        r.body = stream.substr(body_begin, body_length);
        stream.remove_prefix(body_begin + body_length);
        responses.push_back(r);
    }
    return responses;
}

// A 200 with a file of the site, or a short answer with its status text.
void require_well_formed(const response& r, const site& files) {
    if (r.status_line == "HTTP/1.1 200 OK") {
        require(r.has_exactly({"Last-Modified", "Content-Type", "Content-Length"}),
                "a 200 with other fields");
        require(files.serves(r.body), "a 200 body is not a file of the site");
        return;
    }
    require(r.status_line == "HTTP/1.1 " + std::string(r.body),
            "a short answer's body is not its status text");
    require(r.field("Content-Type") == "text/plain", "a short answer is not text/plain");
    if (r.body == "302 Found") {
        require(r.has_exactly({"Location", "Content-Type", "Content-Length"}) &&
                    r.field("Location").starts_with("http://"),
                "a 302 without its Location");
    } else if (r.body == "401 Unauthorized") {
        require(r.has_exactly({"WWW-Authenticate", "Content-Type", "Content-Length"}) &&
                    r.field("WWW-Authenticate") == "Basic realm=\"websrv\"",
                "a 401 without its realm");
    } else {
        require(r.body == "403 Forbidden" || r.body == "404 Not Found" ||
                    r.body == "500 Internal Server Error",
                "a response is not one of 200, 302, 401, 403, 404, 500");
        require(r.has_exactly({"Content-Type", "Content-Length"}),
                "a short answer with extra fields");
    }
}

// The paths of the group's heads, in order; false when a head does not parse.
bool read_paths(std::string_view group, std::vector<std::string>* paths) {
    exact_copy range(group);
    for (char* at = range.begin(); at != range.end();) {
        request_head head;
        request_target target;
        char* target_begin = nullptr;
        if (!read_request_head(at, range.end(), &at, &head)) return false;
        target_begin = const_cast<char*>(head.target.data());
        if (!split_target(target_begin, target_begin + head.target.size(), &target)) return false;
        std::string decoded;
        if (settings::decode_path && !percent_decode(target.path, &decoded)) return false;
        paths->push_back(settings::decode_path ? decoded : target.path);
    }
    return true;
}

void require_answers_match(std::string_view group, const std::vector<response>& responses) {
    std::vector<std::string> paths;
    require(read_paths(group, &paths), "a group with a malformed head is answered");
    require(paths.size() == responses.size(), "not every head of the group is answered");
    for (size_t i = 0; i < paths.size(); ++i) {
        if (get_level_min(paths[i]) >= 0) continue;
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
};

// Runs one connection: the group goes in, the node is stepped until it has
// answered or closed, and everything it sent comes back.
exchange_result exchange(const std::string& group, uint8_t options) {
    int fds[2];
    require(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
    enable_nonblocking_mode(fds[0], true);
    enable_nonblocking_mode(fds[1], true);
    const site_policy site = site_policy_from_settings();
    auto node = std::make_unique<fuzz_node>(&site);
    require(node->has_buffers(), "the node has no buffers");
    node->login.authorized = (options & 1) != 0;
    node->login.a_counter = node->login.authorized ? 1 : (options >> 1) % 6;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    prepare_server_node(node.get(), fds[0], peer);
    node->after_connect();
    require(write(fds[1], group.data(), group.size()) == static_cast<ssize_t>(group.size()),
            "the group does not fit the socket pair");
    for (int step = 0; step < 20 && node->connected() && node->sends_done == 0; ++step)
        step_node(*node);

    exchange_result result;
    char chunk[largest_output + 1];
    for (ssize_t n; (n = read(fds[1], chunk, sizeof chunk)) > 0;)
        result.sent.append(chunk, static_cast<size_t>(n));
    result.connected = node->connected();
    result.sends_done = node->sends_done;
    result.send_size = node->sent;
    node.reset();
    close(fds[1]);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const site files;
    static const int descriptors = [] {
        printf_ex_enabled(false);
        settings::exe_name = "/opt/websrv/websrv";
        settings::root = files.root();
        settings::sizeof_in = receive_size;
        return open_descriptors(files);
    }();
    static unsigned runs = 0;
    if (size < 3) return 0;

    settings::sizeof_out = 1 + ((data[0] << 8) | data[1]) % largest_output;
    settings::decode_path = (data[2] & 0x80) != 0;
    const std::string group = request_group(data + 3, size - 3);
    const exchange_result result = exchange(group, data[2]);

    require(result.sent.size() <= static_cast<size_t>(settings::sizeof_out),
            "more bytes sent than the output buffer holds");
    if (!result.connected) {
        require(result.sent.empty(), "a closed connection sent something");
    } else {
        require(
            result.sends_done == 1 && result.sent.size() == static_cast<size_t>(result.send_size),
            "a complete group is neither answered in one send nor closed");
        std::vector<response> responses = split_responses(result.sent);
        for (const response& r : responses)
            require_well_formed(r, files);
        require_answers_match(group, responses);
    }
    require(result.sent.find(secret) == std::string::npos || group.find(secret) != group.npos,
            "the file beside the root leaks");
    if (++runs % 64 == 0) require(open_descriptors(files) == descriptors, "a descriptor leaks");
    return 0;
}
