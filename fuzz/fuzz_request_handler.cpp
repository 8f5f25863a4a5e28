// The whole request handler: nodes on one end of socket pairs answer request
// groups over a small generated site, with an output buffer whose size the
// input chooses, and with the modes the input switches on. Every file of the
// site has the same modification time, "Thu, 01 Jan 2026 00:00:00 GMT", for
// date fields to name.
//
// Input: two bytes for the output size; an option byte (bit 0: the first
// connection is already authenticated; the rest: its earlier failed
// attempts; bits 7, 6, 5, 4 and 3 also: decode_path, large_files, ranges,
// conditional and head are set); a mode byte (bit 0: listing=1; bit 1:
// listing=all; bit 2: upload=1; bit 3: upload=replace; bit 4: login_limit=2;
// bit 5: a password file with the user ann:bee, bit 6: with cat:dog too;
// bit 7: the request bytes are split at NUL bytes into up to 8 connections,
// one after the other, of one site); then the request bytes, each
// connection's made into a group that ends with an empty line. A body that
// does not come in full is abandoned: the client shuts its side down.
//
// Checks: the node answers every head of its group, or closes the
// connection. Without uploads and large_files it answers in one send that
// fits its buffer, or closes having sent nothing (with a login limit: or
// having sent the answers up to a 403 that ends the group); with large_files
// each send's buffered part fits the buffer and a closed connection has sent
// whole answers to the first heads only. Every response is well formed, with
// the status and fields one of the site's modes gives, and a Content-Length
// equal to the bytes that follow it (none for a HEAD); a 200 serves a file of
// the site, a listing or what a client stored, and a 206 a part of one that
// its Content-Range names. A path that climbs above the root is never served
// or redirected, and the file beside the root never leaks. A listing never
// names a hidden entry unless with listing=all, and with listing=1 no path
// with a step beginning with "." is served and no hidden file's bytes are
// sent. An upload never leaves a temporary or partial file: a connection
// that stored none leaves the whole site byte for byte as it was, and one
// that did only adds or (with replace) changes visible files of the root
// that hold bytes the client sent, a PUT's file holding its whole body. A
// run never lets more failed logins through than its login limit, and a
// wrong password never authorizes. No descriptor is left open.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/connection.h"
#include "app/decide/methods.h"
#include "app/decide/rules.h"
#include "app/request.h"
#include "engine/platform.h"
#include "fuzz/fuzz_support.h"
#include "http/proxy_utils.h"
#include "log/printf_ex.h"

namespace {

namespace fs = std::filesystem;

constexpr int receive_size = 4096;
constexpr int largest_output = 4096;
constexpr size_t most_connections = 8;
constexpr unsigned int failed_logins_allowed = 2;
// A decision that waits for a password hash or a listing page gets this
// long, a millisecond at a time.
constexpr long long decision_wait_ns = 5'000'000'000;
const std::string_view secret = "secret 5b1e0c93 beside the root";
const std::string hidden_text = "hidden a61f0d2e";  // in every file under a hidden name
const time_t site_modified = 1767225600;            // Thu, 01 Jan 2026 00:00:00 GMT

// bcrypt at its lowest cost: a check costs about a millisecond.
const char* const ann_line = "ann:$2b$04$je0cVqG/vX98ilABTvblH.QwJfve4c2hpc4MtjdY5Z8TFTNTkbKKq\n";
const char* const cat_line = "cat:$2b$04$E8UpCmNAbnX3d4WSB5JvPuCJegGr3Yw7sWOjul6ZniDGd7OOk4EaS\n";

// Bytes that differ from place to place, so that a part served from the
// wrong offset shows.
std::string counting(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 23);
    return text;
}

std::string content_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// One entry of a directory tree, as an upload may change it.
struct tree_entry {
    char kind;  // 'd'irectory, 'l'ink, 'f'ile
    time_t modified;
    std::string content;  // a file's bytes, a link's target
    bool operator==(const tree_entry&) const = default;
};
using tree = std::map<std::string, tree_entry>;  // by path relative to the site

bool is_visible_file_of_root(const std::string& path, const tree_entry& entry) {
    return entry.kind == 'f' && path.starts_with("root/") &&
           !fs::path(path).filename().string().starts_with('.');
}

// The site: a root directory with a few files, a folder without an index
// that holds hidden names, and beside the root a secret file and two
// password files. Made once per process, in the temporary directory, and
// removed at exit; what an upload changes is put back after each run.
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
        fs::create_directories(dir_ / "root" / "list" / ".hidden-dir");
        add("list/shown.txt", "shown");
        add("list/.hidden-note", hidden_text + " note");
        add("list/.hidden-dir/inner.txt", hidden_text + " inner");
        add(".env", hidden_text + " env");
        fs::create_directories(dir_ / "root" / "drop");
        std::ofstream(dir_ / "secret.txt", std::ios::binary) << secret;
        std::ofstream(dir_ / "users-1", std::ios::binary) << ann_line;
        std::ofstream(dir_ / "users-2", std::ios::binary) << ann_line << cat_line;
        // Links to shallower places inside the root and a backslash in a name:
        // a path that is fine as text may still lead above the root through them.
        fs::create_directory_symlink(".", dir_ / "root" / "www");
        fs::create_directories(dir_ / "root" / "sub");
        fs::create_directory_symlink("..", dir_ / "root" / "sub" / "up");
        fs::create_directories(dir_ / "root" / "a\\b");
        pristine_ = snapshot();
    }
    ~site() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    site(const site&) = delete;
    site& operator=(const site&) = delete;

    std::string root() const { return (dir_ / "root").string() + "/"; }
    std::string password_file(bool two_users) const {
        return (dir_ / (two_users ? "users-2" : "users-1")).string();
    }
    bool holds(const std::string& path) const { return path.starts_with(dir_.string()); }
    bool serves(std::string_view body) const {
        return std::find(contents_.begin(), contents_.end(), body) != contents_.end();
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

    // Everything below the site's directory, links not followed.
    tree snapshot() const {
        tree found;
        const size_t prefix = dir_.string().size() + 1;
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            const std::string path = entry.path().string().substr(prefix);
            struct stat info {};
            require(lstat(entry.path().c_str(), &info) == 0, "an entry of the site is gone");
            if (S_ISLNK(info.st_mode)) {
                found[path] = {'l', 0, fs::read_symlink(entry.path()).string()};
            } else if (S_ISDIR(info.st_mode)) {
                found[path] = {'d', 0, ""};
            } else {
                found[path] = {'f', info.st_mtime, content_of(entry.path())};
            }
        }
        return found;
    }
    // Puts back the files that uploads added or changed.
    void restore() const {
        const tree now = snapshot();
        if (now == pristine_) return;
        std::error_code ignored;
        for (const auto& [path, entry] : now)
            if (!pristine_.contains(path)) fs::remove_all(dir_ / path, ignored);
        for (const auto& [path, entry] : pristine_) {
            if (entry.kind != 'f' || (now.contains(path) && now.at(path) == entry)) continue;
            fs::remove(dir_ / path, ignored);
            write(dir_ / path, entry.content);
        }
    }

  private:
    static void write(const fs::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
        const timespec times[2] = {{site_modified, 0}, {site_modified, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    void add(const char* name, const std::string& content) {
        write(dir_ / "root" / name, content);
        contents_.push_back(content);
    }

    fs::path dir_;
    std::vector<std::string> contents_;
    tree pristine_;
};

// The site's policy and the services its connections share, for one run.
struct run_setup {
    site_policy site;
    site_services services;
    explicit run_setup(const configuration& config) { assemble_site(config, &site, &services); }
};

class fuzz_node : public simple_server_node {
  public:
    using simple_server_node::login;
    using simple_server_node::simple_server_node;

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
    // A receive waits for bytes that the client has not sent.
    bool waits_for_client() const {
        int queued = 0;
        return job_active() && get_job() == _recv && ioctl(sock, FIONREAD, &queued) == 0 &&
               queued == 0;
    }
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
    std::string_view status() const {
        return status_line.substr(std::min<size_t>(9, status_line.size()));
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

// One head of a group, as the node reads it.
struct head_asked {
    std::string path;  // decoded where the site decodes paths
    bool head_only = false;
    bool put = false;
    bool carries_credentials = false;  // in the target or an Authorization field
    bool valid_credentials = false;    // and they are a login of the site
    std::string body;                  // the bytes of its body that came
    bool whole_body = false;
};

// What a group asked, head by head, as far as its heads parse.
struct asked {
    std::vector<head_asked> heads;
    bool all_parse = true;  // false: a complete group holds a head the node does not read
};

// Splits what the node sent into responses, each followed by as many body
// bytes as its Content-Length says, none for a HEAD or a 304. An interim
// "100 Continue" answers no head.
std::vector<response> split_responses(std::string_view stream, const asked& group,
                                      const site_policy& keys) {
    static const std::string_view go_on = "HTTP/1.1 100 Continue\r\n\r\n";
    std::vector<response> responses;
    while (!stream.empty()) {
        if (stream.starts_with(go_on)) {
            require(keys.upload, "a 100 Continue where nothing is uploaded");
            stream.remove_prefix(go_on.size());
            continue;
        }
        require(responses.size() < group.heads.size(), "more answers than request heads");
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
        if (group.heads[responses.size()].head_only) body_length = 0;
        require(stream.size() - body_begin >= static_cast<size_t>(body_length),
                "a body is shorter than announced");
        r.body = stream.substr(body_begin, static_cast<size_t>(body_length));
        stream.remove_prefix(body_begin + static_cast<size_t>(body_length));
        responses.push_back(r);
    }
    return responses;
}

// What every answer of the site's modes carries, or may: checked, then
// taken out of `r`.
void take_mode_fields(response* r, const site_policy& keys) {
    if (keys.upload) {
        require(r->field("X-Content-Type-Options") == "nosniff",
                "an answer where clients store files lets its type be guessed");
        r->fields.erase("X-Content-Type-Options");
    }
    // An answer after which the connection closes says so.
    if (r->fields.contains("Connection")) {
        require(r->field("Connection") == "close", "a Connection field other than close");
        r->fields.erase("Connection");
    }
}

// The bytes a client sent in this run, where clients store files: what a
// file of the site may now hold.
struct served_from {
    const site& files;
    std::string_view stored;  // empty without uploads

    bool file(std::string_view body) const {
        return files.serves(body) || (!stored.empty() && stored.find(body) != stored.npos);
    }
};

// The fields of a file answer with the keys in force, and `more`.
std::vector<std::string_view> file_fields(const site_policy& keys,
                                          std::initializer_list<std::string_view> more) {
    std::vector<std::string_view> names = {"Last-Modified", "Content-Type", "Content-Length"};
    if (keys.conditional) names.push_back("ETag");
    if (keys.ranges) names.push_back("Accept-Ranges");
    names.insert(names.end(), more);
    return names;
}

// A 206 serves the part of a file that its Content-Range names.
void require_part(const response& r, const served_from& from, bool head_only) {
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
    require(head_only ||
                from.files.serves_part(r.body, static_cast<size_t>(first),
                                       static_cast<size_t>(last), static_cast<size_t>(size)) ||
                (!from.stored.empty() && from.stored.find(r.body) != from.stored.npos),
            "a 206 body is not the part of a file that it names");
}

// A multipart 206: every part names its range, holds exactly those bytes of
// one file, and the parts come in order without overlapping.
void require_parts(const response& r, const served_from& from) {
    const std::string_view type = r.field("Content-Type");
    const std::string delimiter = "--" + std::string(type.substr(type.find('=') + 1));
    std::string_view rest = r.body;
    long previous_last = -2;  // no part yet: the first may begin at 0
    for (bool first = true;; first = false) {
        if (!first) {
            require(rest.starts_with("\r\n"), "a part of a 206 does not end with CR LF");
            rest.remove_prefix(2);
        }
        require(rest.starts_with(delimiter), "a part of a 206 does not begin with its delimiter");
        rest.remove_prefix(delimiter.size());
        if (rest == "--\r\n") return;
        const size_t head_end = rest.find("\r\n\r\n");
        require(head_end != rest.npos, "a part of a 206 without its head");
        const std::string_view head = rest.substr(0, head_end);
        const size_t at = head.find("Content-Range: bytes ");
        require(at != head.npos, "a part of a 206 without its Content-Range");
        std::string_view range = head.substr(at + 21);
        range = range.substr(0, range.find("\r\n"));
        const size_t dash = range.find('-'), slash = range.find('/');
        require(dash < slash && slash != range.npos, "a part with a malformed Content-Range");
        const long part_first = small_number(range.substr(0, dash));
        const long part_last = small_number(range.substr(dash + 1, slash - dash - 1));
        const long size = small_number(range.substr(slash + 1));
        require(part_first > previous_last + 1 && part_last >= part_first && size > part_last,
                "the parts of a 206 overlap, touch, or are not in order");
        previous_last = part_last;
        rest.remove_prefix(head_end + 4);
        const auto length = static_cast<size_t>(part_last - part_first + 1);
        require(rest.size() >= length, "a part of a 206 is cut short");
        require(from.files.serves_part(std::string(rest.substr(0, length)),
                                       static_cast<size_t>(part_first),
                                       static_cast<size_t>(part_last), static_cast<size_t>(size)),
                "a part of a 206 is not the part of a file that it names");
        rest.remove_prefix(length);
    }
}

// The names of a listing page's entries, HTML or JSON, as written (escaped).
std::vector<std::string_view> listed_names(std::string_view page) {
    std::vector<std::string_view> names;
    const bool json = page.starts_with('[');
    const std::string_view row = json ? "{\"name\":\"" : "\n<tr><td>";
    for (size_t at = page.find(row); at != page.npos; at = page.find(row, at + 1)) {
        std::string_view name = page.substr(at + row.size());
        if (!json && name.starts_with("<a href=\"")) name.remove_prefix(name.find("\">") + 2);
        names.push_back(name.substr(0, name.find_first_of(json ? "\"" : "<")));
    }
    return names;
}

// A listing page: only where the site lists, with its own type and fields,
// and without hidden entries unless the site lists them.
bool require_listing_page(const response& r, const served_from& from, const site_policy& keys,
                          bool head_only) {
    const std::string_view type = r.field("Content-Type");
    if (!keys.listing || (type != "text/html; charset=utf-8" && type != "application/json") ||
        !r.has_exactly({"Last-Modified", "Content-Type", "Content-Length"}) ||
        (!head_only && from.file(r.body))) {
        return false;
    }
    if (keys.listing_hidden) return true;
    for (std::string_view name : listed_names(r.body))
        require(!name.starts_with('.') || name == "../", "a listing names a hidden entry");
    return true;
}

// A file answer (200, 206 or 304) with the fields its keys give it.
bool require_file_answer(const response& r, const served_from& from, const site_policy& keys,
                         bool head_only) {
    if (r.status_line == "HTTP/1.1 200 OK") {
        if (require_listing_page(r, from, keys, head_only)) return true;
        require(r.has_exactly(file_fields(keys, {})), "a 200 with other fields");
        require(head_only || from.file(r.body), "a 200 body is not a file of the site");
    } else if (r.status_line == "HTTP/1.1 206 Partial Content" &&
               r.field("Content-Type").starts_with("multipart/byteranges; boundary=")) {
        require(keys.ranges, "a 206 without ranges");
        require(r.has_exactly(file_fields(keys, {})), "a multipart 206 with other fields");
        if (!head_only) require_parts(r, from);
    } else if (r.status_line == "HTTP/1.1 206 Partial Content") {
        require(keys.ranges, "a 206 without ranges");
        require(r.has_exactly(file_fields(keys, {"Content-Range"})), "a 206 with other fields");
        require_part(r, from, head_only);
    } else if (r.status_line == "HTTP/1.1 304 Not Modified") {
        require(keys.conditional, "a 304 without conditional");
        require(r.has_exactly({"Last-Modified", "ETag"}), "a 304 with other fields");
        require(!from.stored.empty() || r.field("Last-Modified") == "Thu, 01 Jan 2026 00:00:00 GMT",
                "a 304 names another time");
    } else {
        return false;
    }
    return true;
}

bool always(const site_policy&) {
    return true;
}
bool with_ranges(const site_policy& keys) {
    return keys.ranges;
}
bool with_uploads(const site_policy& keys) {
    return keys.upload;
}
// A listing page waits in a queue that may be full. (Password hashes do
// too, but the connections here are one after the other: one waits at most.)
bool with_listing(const site_policy& keys) {
    return keys.listing;
}

// A short answer: its status, the fields it has besides Content-Type and
// Content-Length, and the sites that give it.
struct short_answer {
    std::string_view status;
    std::vector<std::string_view> fields;
    bool (*given)(const site_policy& keys);
};

const short_answer short_answers[] = {
    {"302 Found", {"Location"}, always},
    {"401 Unauthorized", {"WWW-Authenticate"}, always},
    {"403 Forbidden", {}, always},
    {"404 Not Found", {}, always},
    {"500 Internal Server Error", {}, always},
    {"416 Range Not Satisfiable", {"Content-Range"}, with_ranges},
    {"201 Created", {"Location"}, with_uploads},
    {"303 See Other", {"Location"}, with_uploads},
    {"400 Bad Request", {}, with_uploads},
    {"405 Method Not Allowed", {"Allow"}, with_uploads},
    {"409 Conflict", {}, with_uploads},
    {"411 Length Required", {}, with_uploads},
    {"413 Payload Too Large", {}, with_uploads},
    {"507 Insufficient Storage", {}, with_uploads},
    {"503 Service Unavailable", {}, with_uploads},  // too many uploads at once
    {"503 Service Unavailable", {"Retry-After"}, with_listing},
};

// The field values of a short answer that its status fixes.
void require_short_fields(const response& r) {
    const std::string_view status = r.status();
    if (status == "302 Found") {
        require(r.field("Location").starts_with("http://"), "a 302 without its Location");
    } else if (status == "201 Created" || status == "303 See Other") {
        require(r.field("Location").starts_with('/'), "a stored upload without its Location");
    } else if (status == "401 Unauthorized") {
        require(r.field("WWW-Authenticate") == "Basic realm=\"websrv\"", "a 401 without its realm");
    } else if (status == "416 Range Not Satisfiable") {
        require(r.field("Content-Range").starts_with("bytes */"),
                "a 416 without its Content-Range");
    } else if (r.fields.contains("Retry-After")) {
        require(small_number(r.field("Retry-After")) >= 0, "a Retry-After that is no number");
    }
}

// A file answer, or a short answer whose body is its status text, or for a
// refused upload that text and why, a browser's refusal a page.
void require_well_formed(response r, const served_from& from, const site_policy& keys,
                         bool head_only) {
    take_mode_fields(&r, keys);
    if (require_file_answer(r, from, keys, head_only)) return;
    require(r.status_line.starts_with("HTTP/1.1 "), "a status line without HTTP/1.1");
    const std::string_view text = r.status();
    const bool given = std::any_of(
        std::begin(short_answers), std::end(short_answers), [&](const short_answer& row) {
            std::vector<std::string_view> fields = row.fields;
            fields.insert(fields.end(), {"Content-Type", "Content-Length"});
            return row.status == text && row.given(keys) && r.has_exactly(fields);
        });
    require(given, "a short answer that none of the site's modes gives, or with other fields");
    require_short_fields(r);
    const long length = small_number(r.field("Content-Length"));
    if (r.field("Content-Type") == "text/plain") {
        require(length == static_cast<long>(text.size()) && (head_only || r.body == text),
                "a short answer's body is not its status text");
        return;
    }
    if (r.field("Content-Type") == "text/html; charset=utf-8") {
        // A browser's refusal: a page that names the status.
        require((keys.listing || keys.upload) && length > 0 &&
                    (head_only || (static_cast<long>(r.body.size()) == length &&
                                   r.body.starts_with("<!DOCTYPE html>\n") &&
                                   r.body.find(text) != std::string::npos)),
                "a refusal page where the site lists and takes nothing, or without its status");
        return;
    }
    const std::string told = std::string(text) + ": ";
    require(keys.upload && r.field("Content-Type") == "text/plain; charset=utf-8" &&
                length > static_cast<long>(told.size()) &&
                (head_only || (r.body.starts_with(told) && r.body.ends_with('\n'))),
            "a short answer's body is neither its status text nor why an upload is refused");
}

// The credentials a head brings, as "user:password": the target's user
// information, else the Authorization field's; empty without any.
std::string brought_credentials(const request_head& head, const request_target& target) {
    if (target.has_user_info) return target.user + ":" + target.password;
    std::string decoded;
    if (head.authorization) base64_decode(basic_credentials(*head.authorization), &decoded);
    return decoded;
}

// One head as the node reads it, with its target and the path that names
// its file; false when the node closes the connection at it.
bool read_head(char** at, char* end, const site_policy& keys, request_head* head,
               request_target* target, std::string* path) {
    if (!read_request_head(*at, end, at, head) || (announces_body(*head) && !takes_bodies(keys))) {
        return false;
    }
    char* target_begin = const_cast<char*>(head->target.data());
    if (!split_target(target_begin, target_begin + head->target.size(), target)) return false;
    if (keys.decode_path) return percent_decode(target->path, path);
    *path = target->path;
    return true;
}

// The heads of a group, in order, up to the first that the node does not
// read; a body that follows a head (where the site takes bodies) is skipped
// as far as its length is known, and nothing after a body of unknown length
// is read.
asked read_heads(std::string_view group, const site_policy& keys,
                 const std::vector<std::string>& logins) {
    asked found;
    exact_copy range(group);
    // Behind a body the next group begins, which the node waits for until
    // it ends with an empty line.
    const char* group_begin = range.begin();
    for (char* at = range.begin(); at != range.end();) {
        request_head head;
        request_target target;
        head_asked h;
        if (!read_head(&at, range.end(), keys, &head, &target, &h.path)) {
            const std::string_view rest(group_begin,
                                        static_cast<size_t>(range.end() - group_begin));
            found.all_parse = !rest.ends_with("\r\n\r\n");
            break;
        }
        h.head_only = head.method == "HEAD";
        h.put = head.method == "PUT";
        h.carries_credentials = target.has_user_info || head.authorization.has_value();
        const std::string credentials = brought_credentials(head, target);
        h.valid_credentials = std::find(logins.begin(), logins.end(), credentials) != logins.end();
        // Without Content-Length and Transfer-Encoding the body is empty, and whole.
        off_t length = 0;
        const bool body_known =
            !head.transfer_encoding &&
            (!head.content_length || body_length(*head.content_length, &length));
        const size_t taken = static_cast<size_t>(std::min<off_t>(length, range.end() - at));
        h.body.assign(at, taken);
        h.whole_body = body_known && static_cast<off_t>(taken) == length;
        at += taken;
        if (announces_body(head)) group_begin = at;
        found.heads.push_back(std::move(h));
        if (!body_known) break;
    }
    return found;
}

// The path with its dot steps resolved, as the site joins it to the root;
// false when it leads above the root: by whole ".." steps where the site
// reads them so (a name like "v1..2" does not climb), else by any "..".
bool resolve(const site_policy& site, const std::string& path, std::string* resolved) {
    return (site.whole_dot_steps || get_level_min(path) >= 0) && resolve_dot_steps(path, resolved);
}

// The answers a client gets without having logged in.
bool is_refusal(std::string_view status) {
    return status == "401 Unauthorized" || status == "403 Forbidden" ||
           status == "503 Service Unavailable";
}

// The answers to a path above the root: the login, or the refusal of the
// path; where clients store files, also what refuses an upload before its
// path is looked at.
bool refuses_climbing(const site_policy& keys, std::string_view status) {
    if (status == "401 Unauthorized" || status == "403 Forbidden") return true;
    return keys.upload && (status == "400 Bad Request" || status == "405 Method Not Allowed" ||
                           status == "411 Length Required" || status == "413 Payload Too Large");
}

// What a file's answer tells of it: its bytes, its size, that it is there.
bool tells_of_a_file(std::string_view status) {
    return !status.starts_with('4') || status == "416 Range Not Satisfiable";
}

// A path above the root is never served or redirected; with listing=1 a
// path with a step beginning with "." is never served either.
void require_paths_kept(const site_policy& keys, const asked& group,
                        const std::vector<response>& responses) {
    for (size_t i = 0; i < responses.size(); ++i) {
        const std::string_view status = responses[i].status();
        std::string resolved;
        if (!resolve(keys, group.heads[i].path, &resolved)) {
            require(refuses_climbing(keys, status),
                    "a path above the root is served or redirected");
        } else if (keys.hide_dot_names && ("/" + resolved).find("/.") != std::string::npos) {
            require(!tells_of_a_file(status), "a hidden path is served");
        }
    }
}

// A connection that never brought a login of the site is answered nothing
// but refusals until it has; once a head brought one and was not refused
// outright (a 401), the node may have let it in.
void require_no_wrong_login(bool authorized_first, bool authorized_last, const asked& group,
                            const std::vector<response>& responses) {
    bool maybe_in = authorized_first;
    for (size_t i = 0; i < responses.size() && !maybe_in; ++i) {
        require(is_refusal(responses[i].status()) || group.heads[i].valid_credentials,
                "a wrong password is let in");
        maybe_in = group.heads[i].valid_credentials && responses[i].status() != "401 Unauthorized";
    }
    const bool valid_brought = std::any_of(group.heads.begin(), group.heads.end(),
                                           [](const head_asked& h) { return h.valid_credentials; });
    require(authorized_first || valid_brought || !authorized_last, "a wrong password is let in");
}

int failed_logins(const asked& group, const std::vector<response>& responses) {
    int failed = 0;
    for (size_t i = 0; i < responses.size(); ++i)
        if (responses[i].status() == "401 Unauthorized" && group.heads[i].carries_credentials)
            ++failed;
    return failed;
}

// The file a PUT named, however the path reached it.
std::string stored_name(const site& files, const site_policy& keys, const head_asked& head) {
    std::string resolved;
    resolve(keys, head.path, &resolved);
    std::error_code unreadable;  // then no file of that name holds the body
    return fs::weakly_canonical(files.root() + resolved, unreadable).string();
}

// What the uploads of one connection did to the site: nothing unless one was
// stored, and then only visible files of the root, added or (with replace)
// changed, that hold what the client sent; a PUT's file holds its body.
void require_upload_effects(const site& files, const site_policy& keys, const tree& before,
                            const asked& group, const std::vector<response>& responses,
                            std::string_view sent_by_client) {
    const tree after = files.snapshot();
    bool stored = false, form_stored = false;
    std::map<std::string, std::string> put_bodies;
    for (size_t i = 0; i < responses.size(); ++i) {
        const std::string_view status = responses[i].status();
        if (status != "201 Created" && status != "303 See Other") continue;
        stored = true;
        const head_asked& head = group.heads[i];
        if (!head.put) {
            form_stored = true;
            continue;
        }
        require(head.whole_body, "an upload is stored before its whole body came");
        put_bodies[stored_name(files, keys, head)] = head.body;
    }
    if (!stored) {
        require(after == before, "a connection that stored no upload changed the site");
        return;
    }
    for (const auto& [path, was] : before) {
        const auto now = after.find(path);
        require(now != after.end(), "an upload removed something");
        require(now->second == was || (keys.upload_replace && is_visible_file_of_root(path, was) &&
                                       now->second.kind == 'f'),
                "an upload changed what it may not replace");
    }
    for (const auto& [path, now] : after) {
        if (before.contains(path) && before.at(path) == now) continue;
        require(is_visible_file_of_root(path, now),
                "an upload left something other than a visible file of the root");
        require(sent_by_client.find(now.content) != std::string_view::npos,
                "a stored file holds bytes the client did not send");
    }
    // A form may have replaced a PUT's file since.
    if (form_stored) return;
    for (const auto& [name, body] : put_bodies)
        require(content_of(name) == body, "a PUT's file does not hold its whole body");
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

// The request bytes of one connection as a group: below the receive
// buffer's size, closed by an empty line.
std::string request_group(std::string_view bytes) {
    std::string group(bytes.substr(0, receive_size - 5));
    if (!group.ends_with("\r\n\r\n")) group += "\r\n\r\n";
    return group;
}

// The groups of the run's connections: one, or the pieces between NUL bytes.
std::vector<std::string> connection_groups(std::string_view bytes, bool several) {
    std::vector<std::string> groups;
    for (;;) {
        const size_t end = several && groups.size() + 1 < most_connections ? bytes.find('\0')
                                                                           : std::string_view::npos;
        groups.push_back(request_group(bytes.substr(0, end)));
        if (end == std::string_view::npos) return groups;
        bytes.remove_prefix(end + 1);
    }
}

struct exchange_result {
    std::string sent;
    bool idle = false;  // answered, and waiting for the next group
    bool authorized = false;
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

// Runs one connection: the group goes in, and the node is stepped until it
// has answered (bodies sent from their files included) and waits for the
// next group, or has closed; everything it sent comes back. While a decision
// waits for work on another thread, the loop sleeps a millisecond at a time.
// A body that the group does not hold in full is not coming: the client then
// shuts its side down.
exchange_result exchange(run_setup& run, const std::string& group, const login_state& first) {
    int fds[2];
    require(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
    enable_nonblocking_mode(fds[0], true);
    enable_nonblocking_mode(fds[1], true);
    auto node = std::make_unique<fuzz_node>(&run.site, &run.services);
    require(node->has_buffers(), "the node has no buffers");
    node->login.authorized = first.authorized;
    node->login.a_counter = first.a_counter;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    prepare_server_node(node.get(), fds[0], peer);
    node->after_connect();
    require(write(fds[1], group.data(), group.size()) == static_cast<ssize_t>(group.size()),
            "the group does not fit the socket pair");
    exchange_result result;
    const long long deadline = monotonic_ns() + decision_wait_ns;
    bool client_gone = false;
    int quiet_steps = 0;
    // A few steps per head at most: every send finds the socket pair drained.
    for (int step = 0; step < 4 * receive_size && node->connected() && quiet_steps < 2;) {
        step_node(*node);
        read_available(fds[1], &result.sent);
        if (node->current_state() == simple_server_node::state::deciding) {
            require(monotonic_ns() < deadline, "a decision waits for its work for ever");
            Sleep(1);
            continue;
        }
        ++step;
        if (!node->waits_for_client()) {
            quiet_steps = 0;
        } else if (node->current_state() == simple_server_node::state::receiving) {
            ++quiet_steps;  // twice: the bytes carried into the receive are framed first
        } else if (!client_gone) {
            shutdown(fds[1], SHUT_WR);
            client_gone = true;
        }
    }
    require(!node->connected() || quiet_steps >= 2,
            "the node neither answers the group nor closes");
    result.idle = node->connected();
    result.authorized = node->login.authorized;
    result.sends_done = node->sends_done;
    result.send_size = node->sent;
    result.largest_buffered = node->largest_buffered;
    node.reset();
    close(fds[1]);
    return result;
}

// The run's settings, from the input's option and mode bytes.
struct run_keys {
    param_map params;
    std::vector<std::string> logins;  // "user:password" of each who may log in
};

run_keys keys_of(const uint8_t* data, const site& files) {
    const uint8_t options = data[2], modes = data[3];
    auto on = [](int bits) { return std::string(bits != 0 ? "1" : "0"); };
    run_keys keys;
    keys.params = {
        {"root", files.root()},
        {"sizeof_in", std::to_string(receive_size)},
        {"sizeof_out", std::to_string(1 + ((data[0] << 8) | data[1]) % largest_output)},
        {"decode_path", on(options & 0x80)},
        {"large_files", on(options & 0x40)},
        {"ranges", on(options & 0x20)},
        {"conditional", on(options & 0x10)},
        {"head", on(options & 0x08)},
    };
    if (modes & 0x03) keys.params["listing"] = modes & 0x02 ? "all" : "1";
    if (modes & 0x0C) keys.params["upload"] = modes & 0x08 ? "replace" : "1";
    if (modes & 0x10) keys.params["login_limit"] = std::to_string(failed_logins_allowed);
    if (modes & 0x60) {
        keys.params["htpasswd"] = files.password_file(modes & 0x40);
        keys.logins = {"ann:bee"};
        if (modes & 0x40) keys.logins.push_back("cat:dog");
    } else {
        keys.logins = {"user:5712"};
    }
    return keys;
}

configuration configured(const param_map& params) {
    configuration config = default_configuration("/opt/websrv/websrv");
    apply_config(params, config_form::bare, &config);
    return config;
}

login_state first_login(uint8_t options) {
    login_state first;
    first.authorized = (options & 1) != 0;
    first.a_counter = first.authorized ? 1 : (options >> 1) % 6;
    return first;
}

// What every connection's answers must be, whatever the modes.
void require_answers(const site_policy& keys, const exchange_result& result, const asked& group,
                     const std::vector<response>& responses, const served_from& from) {
    require(result.largest_buffered <= keys.sizeof_out,
            "a send's buffered part is larger than the output buffer");
    require(!result.idle || group.all_parse, "a group with a malformed head is answered");
    require(!result.idle || responses.size() == group.heads.size(),
            "not every head of the group is answered");
    for (size_t i = 0; i < responses.size(); ++i)
        require_well_formed(responses[i], from, keys, group.heads[i].head_only);
    require_paths_kept(keys, group, responses);
}

// Without bodies the node answers a group in one send, or closes having sent
// nothing; with a login limit it may close behind the 403 that ends a group.
// A body made as it is sent (several ranges) is sent before the rest of its
// group is read, as a file's body is with large_files.
void require_one_answer_per_group(const site_policy& keys, bool limited,
                                  const exchange_result& result, const asked& group,
                                  const std::vector<response>& responses) {
    const bool group_ended =
        limited && !responses.empty() && responses.back().status() == "403 Forbidden";
    const bool generated = std::any_of(responses.begin(), responses.end(), [](const response& r) {
        return r.field("Content-Type").starts_with("multipart/byteranges");
    });
    if (!keys.large_files && !generated) {
        require(result.sent.size() <= static_cast<size_t>(keys.sizeof_out),
                "more bytes sent than the output buffer holds");
        require(result.idle || result.sent.empty() || group_ended,
                "a closed connection sent something");
        require(!result.idle || (result.sends_done == 1 &&
                                 result.sent.size() == static_cast<size_t>(result.send_size)),
                "a complete group is neither answered in one send nor closed");
    }
    require(result.idle || !group.all_parse || responses.size() < group.heads.size() || group_ended,
            "a closed connection answered every head");
}

// A group answered without large_files is answered with it too, with the same
// statuses, except that a file that does not fit the buffer is served from
// it instead of answered 500. The file's header may be longer than the 500 it
// replaces, by less than `longer_header`: a group that may then no longer fit
// the buffer may close the connection, and is left out.
void require_as_without_large_files(param_map params, const std::string& group,
                                    const login_state& first, const asked& heads,
                                    const std::vector<response>& with_key) {
    constexpr size_t longer_header = 256;
    params["large_files"] = "0";
    const configuration config = configured(params);
    run_setup run(config);
    const exchange_result without = exchange(run, group, first);
    if (!without.idle) return;
    const std::vector<response> plain = split_responses(without.sent, heads, run.site);
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

// Bytes that must not leave unless the client sent them itself.
void require_kept(std::string_view sent, std::string_view input, std::string_view kept,
                  const char* invariant) {
    require(sent.find(kept) == sent.npos || input.find(kept) != input.npos, invariant);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const site files;
    static const int descriptors = [] {
        printf_ex_enabled(false);
        return open_descriptors(files);
    }();
    static unsigned runs = 0;
    if (size < 4) return 0;

    const run_keys keys_in = keys_of(data, files);
    const configuration config = configured(keys_in.params);
    require(config.htpasswd_problems.empty(), "the password file is not taken whole");
    const std::string_view input(reinterpret_cast<const char*>(data + 4), size - 4);
    const std::vector<std::string> groups = connection_groups(input, (data[3] & 0x80) != 0);
    std::string sent;
    int failed = 0;
    {
        run_setup run(config);
        const site_policy& keys = run.site;
        for (size_t i = 0; i < groups.size(); ++i) {
            const login_state first = i == 0 ? first_login(data[2]) : login_state();
            const tree before = keys.upload ? files.snapshot() : tree();
            const exchange_result result = exchange(run, groups[i], first);
            const asked group = read_heads(groups[i], keys, keys_in.logins);
            const std::vector<response> responses = split_responses(result.sent, group, keys);
            const served_from from{files, keys.upload ? std::string_view(input) : ""};
            require_answers(keys, result, group, responses, from);
            if (!keys.upload) {
                require_one_answer_per_group(keys, config.login_limit != 0, result, group,
                                             responses);
            }
            require_no_wrong_login(first.authorized, result.authorized, group, responses);
            failed += failed_logins(group, responses);
            if (keys.upload)
                require_upload_effects(files, keys, before, group, responses, groups[i]);
            if (keys.large_files && groups.size() == 1 && !keys.upload && !config.login_limit)
                require_as_without_large_files(keys_in.params, groups[i], first, group, responses);
            sent += result.sent;
        }
        if (keys.upload) files.restore();
        require(!config.login_limit || failed <= static_cast<int>(config.login_limit),
                "more failed logins than the login limit lets through");
        require_kept(sent, input, secret, "the file beside the root leaks");
        if (keys.hide_dot_names) require_kept(sent, input, hidden_text, "a hidden file is served");
    }
    if (++runs % 64 == 0) require(open_descriptors(files) == descriptors, "a descriptor leaks");
    return 0;
}
