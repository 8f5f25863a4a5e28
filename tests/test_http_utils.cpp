#include "http/http_utils.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Holds a text so that its last byte lies right before an inaccessible page: any read at or
// beyond end() faults at once, with or without sanitizers.
class guarded_text {
  public:
    explicit guarded_text(const std::string& text) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t pages = (text.size() + page_ - 1) / page_ + 1;
        size_ = pages * page_;
        void* map =
            mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<char*>(map);
        char* guard = base_ + size_ - page_;
        if (mprotect(guard, page_, PROT_NONE) != 0) throw std::runtime_error("mprotect failed");
        begin_ = guard - text.size();
        std::memcpy(begin_, text.data(), text.size());
    }
    ~guarded_text() { munmap(base_, size_); }
    guarded_text(const guarded_text&) = delete;
    guarded_text& operator=(const guarded_text&) = delete;

    char* begin() const { return begin_; }
    char* end() const { return base_ + size_ - page_; }

  private:
    std::size_t page_ = 0;
    std::size_t size_ = 0;
    char* base_ = nullptr;
    char* begin_ = nullptr;
};

std::string range(const char* begin, const char* end) {
    return begin && end ? std::string(begin, end) : std::string("<null>");
}

// ---------------------------------------------------------------------------------------------
// find_str

TEST(FindStr, Table) {
    struct row {
        const char* what;
        std::string text;
        const char* pattern;
        int expected;  // offset of the match, -1 for none
    };
    const row rows[] = {
        {"range shorter than the pattern", "ab", "abc", -1},
        {"range exactly the pattern", "abc", "abc", 0},
        {"pattern straddles end", "xxab", "abc", -1},
        {"pattern at the very end", "xxabc", "abc", 2},
        {"first of two matches", "a\r\nb\r\n", "\r\n", 1},
        {"case-sensitive", "Host: h", "host", -1},
        {"NUL bytes in the range are ordinary bytes", std::string("a\0b: c", 6), ": ", 3},
        {"empty range", "", "a", -1},
        {"empty pattern matches at begin", "abc", "", 0},
        {"overlapping candidates", "aaab", "aab", 1},
    };
    for (const row& r : rows) {
        guarded_text text(r.text);
        char* found = find_str(text.begin(), text.end(), r.pattern);
        const int offset = found ? static_cast<int>(found - text.begin()) : -1;
        EXPECT_EQ(offset, r.expected) << r.what;
    }
}

TEST(FindStr, EndBeforeBeginFindsNothing) {
    char text[] = "abcabc";
    EXPECT_EQ(find_str(text + 4, text + 1, "a"), nullptr);
    EXPECT_EQ(find_str(text + 4, text + 1, ""), nullptr);
    EXPECT_EQ(find_str(nullptr, nullptr, "a"), nullptr);
}

// ---------------------------------------------------------------------------------------------
// parse_params and parse_query

TEST(ParseParams, Table) {
    struct row {
        const char* what;
        std::string text;
        bool result;
        param_map params;
    };
    const row rows[] = {
        {"closing empty line alone", "\r\n", true, {}},
        {"empty range", "", false, {}},
        {"two entries", "port=80\r\nlogin=user\r\n\r\n", true, {{"login", "user"}, {"port", "80"}}},
        {"first key wins", "a=1\r\na=2\r\n\r\n", true, {{"a", "1"}}},
        {"no closing empty line", "a=1\r\n", false, {{"a", "1"}}},
        {"two closing empty lines", "a=1\r\n\r\n\r\n", false, {{"a", "1"}}},
        {"closing line cut in half", "a=1\r\n\r", false, {{"a", "1"}}},
        {"entry without line end", "a=1\r\nb=2", false, {{"a", "1"}}},
        {"entry without =", "a=1\r\nb\r\n", false, {{"a", "1"}}},
        {"spaces are kept", "a = 1\r\n\r\n", true, {{"a ", " 1"}}},
        {"empty key and empty value", "=x\r\ny=\r\n\r\n", true, {{"", "x"}, {"y", ""}}},
        {"value holds =", "a=b=c\r\n\r\n", true, {{"a", "b=c"}}},
        {"key runs across a line without =", "note\r\nk=v\r\n\r\n", true, {{"note\r\nk", "v"}}},
        {"empty line inside joins the next key", "\r\nk=v\r\n\r\n", true, {{"\r\nk", "v"}}},
    };
    for (const row& r : rows) {
        guarded_text text(r.text);
        param_map params{{"stale", "value"}};
        EXPECT_EQ(parse_params(text.begin(), text.end(), &params), r.result) << r.what;
        EXPECT_EQ(params, r.params) << r.what;
        EXPECT_EQ(parse_params(text.begin(), text.end(), nullptr), r.result) << r.what;
    }
}

TEST(ParseQuery, Table) {
    struct row {
        const char* what;
        std::string text;
        bool result;
        param_map params;
        int pos;  // offset of *pos, -1 for end
    };
    const row rows[] = {
        {"empty query", "", true, {}, 0},
        {"two pairs", "a=1&b=2", true, {{"a", "1"}, {"b", "2"}}, -1},
        {"trailing &", "a=1&", false, {{"a", "1"}}, -1},
        {"lone key", "a", false, {}, 0},
        {"second pair without =", "a=1&b", false, {{"a", "1"}}, 4},
        {"empty values", "a=&b=", true, {{"a", ""}, {"b", ""}}, -1},
        {"first key wins", "a=1&a=2", true, {{"a", "1"}}, -1},
        {"key runs across &", "a&b=1", true, {{"a&b", "1"}}, -1},
        {"nothing is decoded", "q=a%20b+c", true, {{"q", "a%20b+c"}}, -1},
        {"value holds =", "a==1", true, {{"a", "=1"}}, -1},
    };
    for (const row& r : rows) {
        guarded_text text(r.text);
        param_map params{{"stale", "value"}};
        char* pos = nullptr;
        EXPECT_EQ(parse_query(text.begin(), text.end(), &pos, &params), r.result) << r.what;
        EXPECT_EQ(params, r.params) << r.what;
        EXPECT_EQ(pos, r.pos < 0 ? text.end() : text.begin() + r.pos) << r.what;
    }
}

// ---------------------------------------------------------------------------------------------
// parse_header

struct head {
    bool ok = false;
    std::string method, target, version;
    param_map fields;
    int pos = -1;  // offset of *pos
};

head parse_head(char* begin, char* end) {
    head h;
    char* pos = nullptr;
    char* target_begin = nullptr;
    char* target_end = nullptr;
    h.ok = parse_header(begin, end, &pos, &h.method, &target_begin, &target_end, &h.version,
                        &h.fields);
    h.target = range(target_begin, target_end);
    h.pos = static_cast<int>(pos - begin);
    return h;
}

head parse_head(const std::string& text) {
    guarded_text guarded(text);
    return parse_head(guarded.begin(), guarded.end());
}

const std::string simple_head = "GET /index.htm HTTP/1.1\r\nHost: h\r\n\r\n";

TEST(ParseHeader, SimpleHead) {
    const head h = parse_head(simple_head);
    EXPECT_TRUE(h.ok);
    EXPECT_EQ(h.method, "GET");
    EXPECT_EQ(h.target, "/index.htm");
    EXPECT_EQ(h.version, "HTTP/1.1");
    EXPECT_EQ(h.fields, (param_map{{"Host", "h"}}));
    EXPECT_EQ(h.pos, static_cast<int>(simple_head.size()));
}

TEST(ParseHeader, TwoHeadsBackToBack) {
    const std::string second = "GET /b HTTP/1.1\r\nHost: x\r\n\r\n";
    guarded_text text(simple_head + second);
    const head first = parse_head(text.begin(), text.end());
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.pos, static_cast<int>(simple_head.size()));
    const head next = parse_head(text.begin() + first.pos, text.end());
    EXPECT_TRUE(next.ok);
    EXPECT_EQ(next.target, "/b");
    EXPECT_EQ(next.fields, (param_map{{"Host", "x"}}));
    EXPECT_EQ(next.pos, static_cast<int>(second.size()));
}

TEST(ParseHeader, Fields) {
    struct row {
        const char* what;
        std::string fields;
        param_map expected;
    };
    const row rows[] = {
        {"no fields", "", {}},
        {"first of two equal names wins", "A: 1\r\nA: 2\r\n", {{"A", "1"}}},
        {"names keep their case", "host: h\r\nHost: H\r\n", {{"Host", "H"}, {"host", "h"}}},
        {"two-word value", "A: b c\r\n", {{"A", "b c"}}},
        {"second space stays in the value", "A:  b \r\n", {{"A", " b "}}},
        {"empty value", "A: \r\n", {{"A", ""}}},
        {"\": \" on a later line joins the lines", "A:b\r\nC: d\r\n", {{"A:b\r\nC", "d"}}},
    };
    for (const row& r : rows) {
        const head h = parse_head("GET / HTTP/1.1\r\n" + r.fields + "\r\n");
        EXPECT_TRUE(h.ok) << r.what;
        EXPECT_EQ(h.fields, r.expected) << r.what;
    }
}

TEST(ParseHeader, RequestLineSearchesRunAcrossLines) {
    // A single space in the request line: the target ends at a space on the next line.
    const head h = parse_head("GET /a\r\nX: y z\r\n\r\n");
    EXPECT_EQ(h.method, "GET");
    EXPECT_EQ(h.target, "/a\r\nX:");
    EXPECT_EQ(h.version, "y z");
    EXPECT_TRUE(h.ok);
}

TEST(ParseHeader, FailuresReportWhereTheyStopped) {
    struct row {
        const char* what;
        std::string text;
        int pos;
    };
    const row rows[] = {
        {"no space at all", "GET", 0},
        {"field without \": \"", "GET / HTTP/1.1\r\nA:b\r\n\r\n", 16},
        {"field without line end", "GET / HTTP/1.1\r\nA: b", 19},
        {"no empty line", "GET / HTTP/1.1\r\nA: b\r\n", 22},
    };
    for (const row& r : rows) {
        const head h = parse_head(r.text);
        EXPECT_FALSE(h.ok) << r.what;
        EXPECT_EQ(h.pos, r.pos) << r.what;
    }
}

TEST(ParseHeader, HeadCutAtEveryOffsetIsIncomplete) {
    const std::string full =
        "GET /a/b.htm?x=1 HTTP/1.1\r\nHost: example:8080\r\nAuthorization: Basic YWJj\r\n\r\n";
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        const head h = parse_head(full.substr(0, cut));
        EXPECT_FALSE(h.ok) << "cut at " << cut;
        EXPECT_GE(h.pos, 0) << "cut at " << cut;
        EXPECT_LE(h.pos, static_cast<int>(cut)) << "cut at " << cut;
    }
    EXPECT_TRUE(parse_head(full).ok);
}

TEST(ParseHeader, OutputsAreOptional) {
    guarded_text text(simple_head);
    EXPECT_TRUE(parse_header(text.begin(), text.end(), nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr));
}

TEST(ParseHeader, EndBeforeBeginFails) {
    char text[] = "GET / HTTP/1.1\r\n\r\n";
    char* pos = nullptr;
    EXPECT_FALSE(parse_header(text + 5, text, &pos, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(pos, text + 5);
}

// ---------------------------------------------------------------------------------------------
// parse_uri

struct uri {
    bool ok = false;
    std::string scheme, user, password, host;
    int port = -1;
    std::string path, query, fragment;
};

bool operator==(const uri& a, const uri& b) {
    return a.ok == b.ok && a.scheme == b.scheme && a.user == b.user && a.password == b.password &&
           a.host == b.host && a.port == b.port && a.path == b.path && a.query == b.query &&
           a.fragment == b.fragment;
}

std::ostream& operator<<(std::ostream& out, const uri& u) {
    return out << "{ok=" << u.ok << " scheme=" << u.scheme << " user=" << u.user
               << " password=" << u.password << " host=" << u.host << " port=" << u.port
               << " path=" << u.path << " query=" << u.query << " fragment=" << u.fragment << "}";
}

// Parses `target` placed before a guard page; `pos_offset` receives where *pos points.
uri parse_target(const std::string& target, int* pos_offset = nullptr) {
    guarded_text text(target);
    uri u;
    char* pos = nullptr;
    char* query_begin = text.begin();  // must be reset to null when there is no query
    char* query_end = text.begin();
    u.ok = parse_uri(text.begin(), text.end(), &pos, &u.scheme, &u.user, &u.password, &u.host,
                     &u.port, &u.path, &query_begin, &query_end, &u.fragment);
    u.query = range(query_begin, query_end);
    if (pos_offset) *pos_offset = static_cast<int>(pos - text.begin());
    return u;
}

TEST(ParseUri, Table) {
    constexpr int at_end = -1;
    struct row {
        const char* what;
        std::string target;
        uri expected;
        int pos;  // offset of *pos
    };
    const row rows[] = {
        {"origin form", "/index.htm", {true, "", "", "", "", 0, "index.htm", "<null>", ""}, at_end},
        {"root", "/", {true, "", "", "", "", 0, "", "<null>", ""}, at_end},
        {"query", "/a?x=1", {true, "", "", "", "", 0, "a", "x=1", ""}, at_end},
        {"query and fragment", "/a?x=1#f", {true, "", "", "", "", 0, "a", "x=1", "f"}, at_end},
        {"fragment only", "/a#f", {true, "", "", "", "", 0, "a", "<null>", "f"}, at_end},
        {"empty query", "/a?", {true, "", "", "", "", 0, "a", "", ""}, at_end},
        {"everything", "s://u:w@h:81/p?q#f", {true, "s", "u", "w", "h", 81, "p", "q", "f"}, at_end},
        {"host without port", "s://h/p", {true, "s", "", "", "h", 0, "p", "<null>", ""}, at_end},
        {"empty password", "s://u:@h/", {true, "s", "u", "", "h", 0, "", "<null>", ""}, at_end},
        {"password keeps colons",
         "u:p:q@h/",
         {true, "", "u", "p:q", "h", 0, "", "<null>", ""},
         at_end},
        {"# before ? is path", "/a#b?c", {true, "", "", "", "", 0, "a#b", "c", ""}, at_end},
        {"no slash: all path", "a?b#c", {true, "", "", "", "", 0, "a", "b", "c"}, at_end},
        {"scheme without slash", "s://h", {true, "s", "", "", "", 0, "h", "<null>", ""}, at_end},
        {"port that is no number", "h:x/p", {true, "", "", "", "h", 0, "p", "<null>", ""}, at_end},
        {"port beyond int",
         "h:99999999999/",
         {true, "", "", "", "h", INT_MAX, "", "<null>", ""},
         at_end},
        {"nested path", "/a/b/c.htm", {true, "", "", "", "", 0, "a/b/c.htm", "<null>", ""}, at_end},
        {"empty target", "", {true, "", "", "", "", 0, "", "<null>", ""}, at_end},
        {"@ in the query without :", "/a?x=@", {false, "", "", "", "", 0, "", "<null>", ""}, 0},
        {"@ in the path without :", "/p@x", {false, "", "", "", "", 0, "", "<null>", ""}, 0},
        {"@ without : after a scheme",
         "s://u@h/",
         {false, "s", "", "", "", 0, "", "<null>", ""},
         4},
    };
    for (const row& r : rows) {
        int pos = -2;
        EXPECT_EQ(parse_target(r.target, &pos), r.expected) << r.what;
        EXPECT_EQ(pos, r.pos == at_end ? static_cast<int>(r.target.size()) : r.pos) << r.what;
    }
}

TEST(ParseUri, EveryPrefixStaysInsideItsRange) {
    const std::string full = "http://user:pw@host:8080/dir/file.htm?a=1&b=2#frag";
    for (std::size_t cut = 0; cut <= full.size(); ++cut) {
        int pos = -1;
        const uri u = parse_target(full.substr(0, cut), &pos);
        EXPECT_TRUE(u.ok) << "cut at " << cut;
        EXPECT_EQ(pos, static_cast<int>(cut)) << "cut at " << cut;
    }
}

TEST(ParseUri, EndBeforeBeginFails) {
    char text[] = "/a?b#c";
    std::string path = "stale";
    char* pos = nullptr;
    EXPECT_FALSE(parse_uri(text + 4, text + 1, &pos, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &path, nullptr, nullptr, nullptr));
    EXPECT_EQ(pos, text + 4);
    EXPECT_EQ(path, "");
}

// ---------------------------------------------------------------------------------------------
// File-name helpers

TEST(FileNames, Table) {
    struct row {
        std::string name;
        const char* path;
        const char* file;
        const char* ext;
        const char* with_cfg;
    };
    const row rows[] = {
        {"a/b/c.htm", "a/b/", "c.htm", "htm", "a/b/c.cfg"},
        {"c.htm", "", "c.htm", "htm", "c.cfg"},
        {"a\\b\\c.htm", "a\\b\\", "c.htm", "htm", "a\\b\\c.cfg"},
        {"a/b\\c", "a/b\\", "c", "", "a/b\\c.cfg"},
        {"a/b/", "a/b/", "", "", "a/b/.cfg"},
        {"a.tar.gz", "", "a.tar.gz", "gz", "a.tar.cfg"},
        {"name.", "", "name.", "", "name.cfg"},
        {".hidden", "", ".hidden", "hidden", ".cfg"},
        {"a/b.d/c", "a/b.d/", "c", "", "a/b.d/c.cfg"},
        {"a.d\\c", "a.d\\", "c", "", "a.d\\c.cfg"},
        {"/srv/web/websrv", "/srv/web/", "websrv", "", "/srv/web/websrv.cfg"},
        {"/srv/web/x.bin", "/srv/web/", "x.bin", "bin", "/srv/web/x.cfg"},
        {"X.HTM", "", "X.HTM", "HTM", "X.cfg"},
        {"", "", "", "", ".cfg"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(get_path(r.name), r.path) << r.name;
        EXPECT_EQ(get_name(r.name), r.file) << r.name;
        EXPECT_EQ(get_ext(r.name), r.ext) << r.name;
        EXPECT_EQ(change_ext(r.name, ".cfg"), r.with_cfg) << r.name;
    }
}

TEST(FileNames, EmptyExtensionStripsIt) {
    EXPECT_EQ(change_ext("/srv/web/websrv.exe", ""), "/srv/web/websrv");
    EXPECT_EQ(change_ext(get_name("/srv/web/websrv.exe"), ""), "websrv");
    EXPECT_EQ(change_ext("a.d/c", ""), "a.d/c");
}

TEST(GetLevelMin, Table) {
    struct row {
        const char* path;
        int expected;
    };
    const row rows[] = {
        {"", 0},
        {"index.htm", 0},
        {"a/b/c.htm", 0},
        {"a/", 0},
        {"../x", -1},
        {"..\\x", -1},
        {"..", -1},
        {"a/../x", 0},
        {"a\\..\\x", 0},
        {"a/b/../../x", 0},
        {"a/b/../../../x", -1},
        {"a..b", -1},
        {"a/a..b/x", 0},
        {"a/../../x", -1},
        {"../../x", -2},
        {"../a/../..", -2},
        {"a/b/c/../../..", 0},
        {"....", -2},
        // Steps that do not leave the directory must not hide a climb.
        {"a//../../x", -1},
        {"a\\/../../x", -1},
        {"./../x", -1},
        {"a/./../../x", -1},
        {"/../x", -1},
        {".a/../x", 0},
        {"a/.../x", 0},
    };
    for (const row& r : rows)
        EXPECT_EQ(get_level_min(r.path), r.expected) << r.path;
}

TEST(ResolveDotSteps, Table) {
    struct row {
        const char* path;
        const char* resolved;  // null: the path leads above its root
    };
    const row rows[] = {
        {"", ""},
        {"a.htm", "a.htm"},
        {"docs/", "docs/"},
        {"docs/a/../b.htm", "docs/b.htm"},
        {"a//b/./c", "a/b/c"},
        {"/a", "a"},
        {"./", ""},
        {"docs/.", "docs"},
        {"docs/x/..", "docs"},
        {"docs/x/../", "docs/"},
        {"docs/..", ""},
        {"a/b/../../c/", "c/"},
        {"..", nullptr},
        {"a/../..", nullptr},
        {"a/../../b", nullptr},
        {"./../a", nullptr},
        // A backslash is part of a name, as it is for the kernel.
        {"a\\b/../c", "c"},
        {"..\\x", "..\\x"},
        {"a..b/c", "a..b/c"},
        {".../x", ".../x"},
    };
    for (const row& r : rows) {
        std::string resolved = "stale";
        EXPECT_EQ(resolve_dot_steps(r.path, &resolved), r.resolved != nullptr) << r.path;
        if (r.resolved) {
            EXPECT_EQ(resolved, r.resolved) << r.path;
        }
    }
}

TEST(PercentDecode, Table) {
    struct row {
        const char* text;
        const char* decoded;  // null: refused
    };
    const row rows[] = {
        {"", ""},
        {"a.htm", "a.htm"},
        {"my%20file.txt", "my file.txt"},
        {"caf%C3%A9.txt", "caf\xC3\xA9.txt"},
        {"caf%c3%a9.txt", "caf\xC3\xA9.txt"},
        {"%2e%2e/x", "../x"},
        {"a%2Fb", "a/b"},
        {"%25%32%30", "%20"},  // decoded once, not again
        {"a+b", "a+b"},
        {"%7e%7E", "~~"},
        {"%FF", "\xFF"},
        {"%", nullptr},
        {"a%", nullptr},
        {"%4", nullptr},
        {"%G1", nullptr},
        {"%1G", nullptr},
        {"% 1", nullptr},
        {"%00", nullptr},
        {"a%00b", nullptr},
    };
    for (const row& r : rows) {
        std::string decoded = "stale";
        EXPECT_EQ(percent_decode(r.text, &decoded), r.decoded != nullptr) << r.text;
        if (r.decoded) {
            EXPECT_EQ(decoded, r.decoded) << r.text;
        }
    }
}

// A climb check that searched the rest of the path at every step took time quadratic in its
// length: a 10 KB path of "./" steps cost tens of milliseconds a request. One of 2 MiB takes
// such a scan minutes of processor time, and a linear one a few milliseconds.
TEST(FileNames, PathChecksTakeTimeLinearInTheLength) {
    std::string path;
    for (int i = 0; i < (1 << 20); ++i)
        path += "./";
    path += "a/../b";
    const std::clock_t start = std::clock();
    EXPECT_EQ(get_level_min(path), 0);
    std::string resolved;
    EXPECT_TRUE(resolve_dot_steps(path, &resolved));
    EXPECT_EQ(resolved, "b");
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    EXPECT_LT(seconds, 2.0) << "processor time for 2 MiB of path";
}

// ---------------------------------------------------------------------------------------------
// Response helpers

// Runs http_print into a buffer of exactly the announced size placed before a guard page.
std::string print(int* header_length, const char* status, const char* extra_headers,
                  const char* content_type, const char* body) {
    const int length = http_print_length(status, extra_headers, content_type, body);
    EXPECT_GE(length, 0);
    guarded_text out(std::string(static_cast<std::size_t>(length) + 1, '#'));
    const int written =
        http_print(out.begin(), header_length, status, extra_headers, content_type, body);
    EXPECT_EQ(written, length);
    EXPECT_EQ(out.end()[-1], '\0');
    return std::string(out.begin(), static_cast<std::size_t>(written));
}

TEST(HttpPrint, StatusOnly) {
    const std::string header =
        "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 13\r\n\r\n";
    int header_length = -1;
    EXPECT_EQ(print(&header_length, "404 Not Found", nullptr, nullptr, nullptr),
              header + "404 Not Found");
    EXPECT_EQ(header_length, static_cast<int>(header.size()));
}

TEST(HttpPrint, ExtraHeadersComeFirst) {
    EXPECT_EQ(print(nullptr, "302 Found", "Location: http://h/d/\r\n", nullptr, nullptr),
              "HTTP/1.1 302 Found\r\nLocation: http://h/d/\r\nContent-Type: text/plain\r\n"
              "Content-Length: 9\r\n\r\n302 Found");
}

TEST(HttpPrint, EmptyBodyAndOwnType) {
    int header_length = -1;
    const std::string text = print(&header_length, "200 OK", "", "text/html", "");
    EXPECT_EQ(text, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(header_length, static_cast<int>(text.size()));
}

TEST(HttpPrint, BodyLengthIsCounted) {
    const std::string body(1000, 'x');
    int header_length = -1;
    const std::string text =
        print(&header_length, "500 Internal Server Error", nullptr, nullptr, body.c_str());
    EXPECT_NE(text.find("\r\nContent-Length: 1000\r\n\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(static_cast<std::size_t>(header_length)), body);
}

TEST(HttpTimeStr, Dates) {
    EXPECT_EQ(http_time_str(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(http_time_str(951782400 + 3723), "Tue, 29 Feb 2000 01:02:03 GMT");
    EXPECT_EQ(http_time_str(-1), "Wed, 31 Dec 1969 23:59:59 GMT");
    EXPECT_EQ(http_time_str(253402300800), "Sat, 01 Jan 10000 00:00:00 GMT");
}

TEST(HttpTimeStr, ExtremeYearsAreNeverCut) {
    // The first and the last second that the C library converts, and one beyond each.
    const long first = -67768040609740800;
    const long last = 67768036160140800 + 365L * 86400 - 1;
    EXPECT_EQ(http_time_str(first), "Thu, 01 Jan -2147481748 00:00:00 GMT");
    EXPECT_EQ(http_time_str(last), "Wed, 31 Dec 2147485547 23:59:59 GMT");
    EXPECT_EQ(http_time_str(first - 1), "");
    EXPECT_EQ(http_time_str(last + 1), "");
}

TEST(ParseHttpTime, Table) {
    struct row {
        const char* text;
        bool parses;
        long t;
    };
    const row rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", true, 784111777},
        {"Sun Nov  6 08:49:37 1994", true, 784111777},
        {"Sun Nov 06 08:49:37 1994", true, 784111777},
        {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
        {"Wed, 31 Dec 1969 23:59:59 GMT", true, -1},
        {"Tue, 29 Feb 2000 01:02:03 GMT", true, 951782400 + 3723},
        {"Thu, 29 Feb 2024 12:00:00 GMT", true, 1709208000},
        // the obsolete form with its two-digit year
        {"Sunday, 06-Nov-94 08:49:37 GMT", false, 0},
        // fields out of range: no leap day in 1900, 2001 or 2100
        {"Thu, 29 Feb 1900 00:00:00 GMT", false, 0},
        {"Thu, 29 Feb 2001 00:00:00 GMT", false, 0},
        {"Mon, 29 Feb 2100 00:00:00 GMT", false, 0},
        {"Tue, 31 Apr 2001 00:00:00 GMT", false, 0},
        {"Mon, 00 Jan 2001 00:00:00 GMT", false, 0},
        {"Thu, 32 Jan 2001 00:00:00 GMT", false, 0},
        {"Sun, 06 Nov 1994 24:00:00 GMT", false, 0},
        {"Sun, 06 Nov 1994 08:60:37 GMT", false, 0},
        {"Sun, 06 Nov 1994 08:49:60 GMT", false, 0},
        {"Sun Nov  0 08:49:37 1994", false, 0},
        // a weekday that is not the date's, and names in another case or language
        {"Mon, 06 Nov 1994 08:49:37 GMT", false, 0},
        {"Sun, 06 nov 1994 08:49:37 GMT", false, 0},
        {"SUN, 06 Nov 1994 08:49:37 GMT", false, 0},
        {"Son, 06 Nov 1994 08:49:37 GMT", false, 0},
        // widths, zone and separators
        {"Sun, 6 Nov 1994 08:49:37 GMT", false, 0},
        {"Sun, 06 Nov 94 08:49:37 GMT", false, 0},
        {"Sat, 01 Jan 10000 00:00:00 GMT", false, 0},
        {"Sun, 06 Nov 1994 8:49:37 GMT", false, 0},
        {"Sun, 06 Nov 1994 08:49:37 UTC", false, 0},
        {"Sun, 06 Nov 1994 08:49:37 +0000", false, 0},
        {"Sun,  06 Nov 1994 08:49:37 GMT", false, 0},
        {"Sun Nov 6 08:49:37 1994", false, 0},
        // truncated, and with something after it
        {"", false, 0},
        {"Sun", false, 0},
        {"Sun, 06 Nov 1994 08:49:37", false, 0},
        {"Sun, 06 Nov 1994 08:49:37 GM", false, 0},
        {"Sun Nov  6 08:49:37 199", false, 0},
        {"Sun, 06 Nov 1994 08:49:37 GMT ", false, 0},
        {"Sun, 06 Nov 1994 08:49:37 GMTx", false, 0},
        {"Sun Nov  6 08:49:37 1994 GMT", false, 0},
    };
    for (const row& r : rows) {
        long t = 12345;
        const std::string text = r.text;
        guarded_text guarded(text);
        EXPECT_EQ(parse_http_time(std::string_view(guarded.begin(), text.size()), &t), r.parses)
            << text;
        EXPECT_EQ(t, r.parses ? r.t : 12345) << text;
    }
}

TEST(ParseHttpTime, ReadsBackWhatHttpTimeStrWrites) {
    // Named times (leap days, the first and last second of a four-digit year), then one time a
    // month, each at another time of day, through all years of four digits.
    std::vector<long> times = {0,          -1,         951782400,    951868799,
                               1709208000, 4107542399, -62167219200, 253402300799};
    for (long t = -62167219200; t <= 253402300799; t += 30L * 86400 + 3661)
        times.push_back(t);
    for (long t : times) {
        const std::string text = http_time_str(t);
        long back = 0;
        ASSERT_TRUE(parse_http_time(text, &back)) << t << " " << text;
        ASSERT_EQ(back, t) << text;
    }
}

TEST(GetContentType, Table) {
    const std::pair<const char*, const char*> rows[] = {
        {"htm", "text/html"},
        {"html", "text/html"},
        {"ico", "image/vnd.microsoft.icon"},
        {"js", "application/javascript"},
        {"jpg", "image/jpeg"},
        {"swf", "application/x-shockwave-flash"},
        {"HTM", "application/octet-stream"},
        {"jpeg", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const auto& [ext, type] : rows)
        EXPECT_EQ(get_content_type(ext), type) << ext;
}

TEST(ParseContentTypes, Table) {
    struct row {
        const char* description;
        std::string text;
        bool result;
        param_map types;
    };
    const std::vector<row> rows = {
        {"one entry", "text/css css\n", true, {{"css", "text/css"}}},
        {"several extensions, tabs, no final line feed",
         "text/html\t\t\thtml htm\tshtml",
         true,
         {{"html", "text/html"}, {"htm", "text/html"}, {"shtml", "text/html"}}},
        {"comments, blank lines, CR LF and a type without extensions",
         "# a comment\r\n\r\n  \t\napplication/x-nothing\r\n  # indented comment\r\n"
         "text/plain txt # not an extension\r\n",
         true,
         {{"txt", "text/plain"}}},
        {"the first type of an extension counts; extensions in lower case",
         "audio/wav wav\naudio/x-wav wav WAVE\nimage/PNG PNG\n",
         true,
         {{"wav", "audio/wav"}, {"wave", "audio/x-wav"}, {"png", "image/PNG"}}},
        {"parameters after the type",
         "text/css;charset=utf-8 css\n",
         true,
         {{"css", "text/css;charset=utf-8"}}},
        {"no entries", "", false, {}},
        {"only comments and types", "# nothing\n\ntext/plain\n", false, {}},
        {"extension before type", "css text/css\n", false, {}},
        {"not a table at all", "root:x:0:0:root:/root:/bin/bash\n", false, {}},
        {"a type without its subtype", "text/ css\n", false, {}},
        {"a NUL byte", std::string("text/css css\n\0", 14), false, {}},
    };
    for (const row& r : rows) {
        guarded_text text(r.text);
        param_map types{{"stale", "x"}};
        EXPECT_EQ(parse_content_types(text.begin(), text.end(), &types), r.result) << r.description;
        if (r.result) {
            EXPECT_EQ(types, r.types) << r.description;
        }
    }
}

TEST(LookupContentType, TableFirstInAnyCaseThenTheBuiltInOnes) {
    const param_map types = {{"css", "text/css"}, {"htm", "text/x-own"}};
    const std::pair<const char*, const char*> rows[] = {
        {"css", "text/css"},
        {"CSS", "text/css"},
        {"htm", "text/x-own"},
        {"html", "text/html"},
        {"HTML", "application/octet-stream"},
        {"woff2", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const auto& [ext, type] : rows)
        EXPECT_EQ(lookup_content_type(types, ext), type) << ext;
    EXPECT_EQ(lookup_content_type(param_map(), "CSS"), "application/octet-stream");
    EXPECT_EQ(lookup_content_type(param_map(), "js"), "application/javascript");
}

TEST(CreateUri, Examples) {
    EXPECT_EQ(create_uri("", "", "", "h", "d/", "", ""), "h/d/");
    EXPECT_EQ(create_uri("http", "", "", "h", "d/", "", ""), "http://h/d/");
    EXPECT_EQ(create_uri("http", "", "", "h", "d/", "x=1", "f"), "http://h/d/?x=1#f");
    EXPECT_EQ(create_uri("http", "u", "", "h", "d/", "", ""), "http://u:@h/d/");
    EXPECT_EQ(create_uri("", "", "pw", "h:81", "", "", ""), "h:81/");
    EXPECT_EQ(create_uri("", "", "", "", "", "", ""), "/");
}

TEST(CreateUri, RoundTripsThroughParseUri) {
    struct host {
        const char* text;  // as create_uri takes it, port included
        const char* name;
        int port;
    };
    const char* schemes[] = {"", "http"};
    const std::pair<const char*, const char*> users[] = {{"", ""}, {"u", ""}, {"u", "p:w"}};
    const host hosts[] = {{"", "", 0}, {"h", "h", 0}, {"h:81", "h", 81}};
    const char* paths[] = {"", "d/", "a/b.htm"};
    const char* queries[] = {"", "x=1&y"};
    const char* fragments[] = {"", "f"};
    for (const char* scheme : schemes) {
        for (const auto& [user, password] : users) {
            for (const host& h : hosts) {
                for (const char* path : paths) {
                    for (const char* query : queries) {
                        for (const char* fragment : fragments) {
                            const std::string text =
                                create_uri(scheme, user, password, h.text, path, query, fragment);
                            const uri expected{true,    scheme, user, password,
                                               h.name,  h.port, path, *query ? query : "<null>",
                                               fragment};
                            EXPECT_EQ(parse_target(text), expected) << text;
                        }
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// byte ranges and validators

constexpr std::uint64_t tib = std::uint64_t{1} << 40;

TEST(ParseByteRange, Table) {
    struct row {
        const char* value;
        std::uint64_t length;
        range_kind kind;
        std::uint64_t first;
        std::uint64_t last;
    };
    const auto ignore = range_kind::ignore;
    const auto satisfiable = range_kind::satisfiable;
    const auto unsatisfiable = range_kind::unsatisfiable;
    const row rows[] = {
        {"bytes=0-0", 10, satisfiable, 0, 0},
        {"bytes=9-9", 10, satisfiable, 9, 9},
        {"bytes=3-", 10, satisfiable, 3, 9},
        {"bytes=5-100", 10, satisfiable, 5, 9},
        {"bytes=9-", 10, satisfiable, 9, 9},
        {"bytes=10-", 10, unsatisfiable, 0, 0},
        {"bytes=10-20", 10, unsatisfiable, 0, 0},
        {"bytes=-1", 10, satisfiable, 9, 9},
        {"bytes=-10", 10, satisfiable, 0, 9},
        {"bytes=-11", 10, satisfiable, 0, 9},
        {"bytes=-0", 10, unsatisfiable, 0, 0},
        // an empty file
        {"bytes=0-0", 0, unsatisfiable, 0, 0},
        {"bytes=0-", 0, unsatisfiable, 0, 0},
        {"bytes=-5", 0, unsatisfiable, 0, 0},
        {"bytes=5-3", 0, ignore, 0, 0},
        // the unit in any case, blanks around the range, empty list elements
        {"BYTES=1-2", 10, satisfiable, 1, 2},
        {"Bytes=1-2", 10, satisfiable, 1, 2},
        {" \tbytes= \t1-2\t ", 10, satisfiable, 1, 2},
        {"bytes=1-2,", 10, satisfiable, 1, 2},
        {"bytes=, ,1-2 , ", 10, satisfiable, 1, 2},
        // several ranges
        {"bytes=0-1,5-6", 10, ignore, 0, 0},
        {"bytes=0-1, 0-1", 10, ignore, 0, 0},
        {"bytes=-1,20-", 10, ignore, 0, 0},
        // syntax
        {"", 10, ignore, 0, 0},
        {"bytes", 10, ignore, 0, 0},
        {"bytes=", 10, ignore, 0, 0},
        {"bytes=-", 10, ignore, 0, 0},
        {"bytes=5", 10, ignore, 0, 0},
        {"bytes=5-3", 10, ignore, 0, 0},
        {"bytes=a-b", 10, ignore, 0, 0},
        {"bytes=0x1-", 10, ignore, 0, 0},
        {"bytes=+1-2", 10, ignore, 0, 0},
        {"bytes=1-+2", 10, ignore, 0, 0},
        {"bytes=--1", 10, ignore, 0, 0},
        {"bytes=1-2-3", 10, ignore, 0, 0},
        {"bytes=1 -2", 10, ignore, 0, 0},
        {"bytes=1- 2", 10, ignore, 0, 0},
        {"bytes =1-2", 10, ignore, 0, 0},
        {"bytes:1-2", 10, ignore, 0, 0},
        {"items=1-2", 10, ignore, 0, 0},
        {"bytesx=1-2", 10, ignore, 0, 0},
        // 64-bit offsets, and numbers beyond 64 bits
        {"bytes=4294967296-4294967297", std::uint64_t{8} << 30, satisfiable, 4294967296,
         4294967297},
        {"bytes=1099511627775-", tib, satisfiable, tib - 1, tib - 1},
        {"bytes=-1", INT64_MAX, satisfiable, INT64_MAX - 1, INT64_MAX - 1},
        {"bytes=18446744073709551615-", 10, unsatisfiable, 0, 0},
        {"bytes=99999999999999999999999999-", INT64_MAX, unsatisfiable, 0, 0},
        {"bytes=0-99999999999999999999999999", 10, satisfiable, 0, 9},
        {"bytes=-99999999999999999999999999", 10, satisfiable, 0, 9},
        {"bytes=000000000000000000000000000005-07", 10, satisfiable, 5, 7},
        {"bytes=99999999999999999999-99999999999999999998", 10, ignore, 0, 0},
        {"bytes=99999999999999999998-99999999999999999999", 10, unsatisfiable, 0, 0},
    };
    for (const row& r : rows) {
        const std::string value = r.value;
        guarded_text guarded(value);
        const byte_range range =
            parse_byte_range(std::string_view(guarded.begin(), value.size()), r.length);
        EXPECT_EQ(range.kind, r.kind) << value << " of " << r.length;
        if (r.kind != satisfiable) continue;
        EXPECT_EQ(range.first, r.first) << value << " of " << r.length;
        EXPECT_EQ(range.last, r.last) << value << " of " << r.length;
    }
}

TEST(ContentRange, Table) {
    struct row {
        byte_range range;
        std::uint64_t length;
        const char* text;
    };
    const row rows[] = {
        {{range_kind::satisfiable, 0, 0}, 1, "bytes 0-0/1"},
        {{range_kind::satisfiable, 5, 9}, 10, "bytes 5-9/10"},
        {{range_kind::satisfiable, tib, 2 * tib - 1},
         2 * tib,
         "bytes 1099511627776-2199023255551/2199023255552"},
        {{range_kind::unsatisfiable}, 0, "bytes */0"},
        {{range_kind::unsatisfiable}, 10, "bytes */10"},
        {{range_kind::ignore}, 10, ""},
    };
    for (const row& r : rows)
        EXPECT_EQ(content_range(r.range, r.length), r.text) << r.text;
}

TEST(EntityTag, Table) {
    struct row {
        std::uint64_t size, mtime_ns;
        const char* tag;
    };
    const row rows[] = {
        {0, 0, "\"0-0\""},
        {1000, 1700000000123456789, "\"3e8-17979cfe3d85cd15\""},
        {UINT64_MAX, UINT64_MAX, "\"ffffffffffffffff-ffffffffffffffff\""},
    };
    for (const row& r : rows)
        EXPECT_EQ(entity_tag(r.size, r.mtime_ns), r.tag);
}

TEST(IfNoneMatchMatches, Table) {
    const char* tag = "\"a-1-2\"";
    struct row {
        const char* value;
        bool matches;
        const char* tag;
    };
    const row rows[] = {
        {"\"a-1-2\"", true, tag},
        {"\"a-1-3\"", false, tag},
        {"*", true, tag},
        {" \t*\t ", true, tag},
        {"W/\"a-1-2\"", true, tag},
        {"\"a-1-2\"", true, "W/\"a-1-2\""},
        {"\"x\", \"a-1-2\"", true, tag},
        {"\"x\" ,\t W/\"a-1-2\" , ", true, tag},
        {",, \"a-1-2\",,", true, tag},
        {"\"a,b\", \"a-1-2\"", true, tag},
        {"\"\", \"a-1-2\"", true, tag},
        {"\"x\",\"y\"", false, tag},
        {"\"a-1-2\"", false, ""},
        // not a well-formed list as a whole
        {"", false, tag},
        {",", false, tag},
        {"a-1-2", false, tag},
        {"\"a-1-2", false, tag},
        {"\"", false, tag},
        {"w/\"a-1-2\"", false, tag},
        {"W/ \"a-1-2\"", false, tag},
        {"\"x\" \"a-1-2\"", false, tag},
        {"\"a-1-2\"junk", false, tag},
        {"\"a-1-2\", junk", false, tag},
        {"*, \"a-1-2\"", false, tag},
        {"\"a 1\", \"a-1-2\"", false, tag},
    };
    for (const row& r : rows) {
        const std::string value = r.value;
        guarded_text guarded(value);
        EXPECT_EQ(if_none_match_matches(std::string_view(guarded.begin(), value.size()), r.tag),
                  r.matches)
            << value << " against " << r.tag;
    }
}

TEST(IfRangeMatches, Table) {
    const char* tag = "\"a-1-2\"";
    const char* date = "Sun, 06 Nov 1994 08:49:37 GMT";
    struct row {
        const char* value;
        const char* tag;
        const char* last_modified;
        bool matches;
    };
    const row rows[] = {
        {"\"a-1-2\"", tag, date, true},
        {" \"a-1-2\"\t", tag, date, true},
        {"W/\"a-1-2\"", tag, date, false},
        {"\"a-1-3\"", tag, date, false},
        {"W/\"a-1-2\"", "W/\"a-1-2\"", date, false},
        {"\"a-1-2\"", "W/\"a-1-2\"", date, false},
        {date, tag, date, true},
        {"Sun, 06 Nov 1994 08:49:38 GMT", tag, date, false},
        {"Sun Nov  6 08:49:37 1994", tag, date, false},
        {"", tag, date, false},
        {"", "", "", false},
        {" ", tag, "", false},
    };
    for (const row& r : rows)
        EXPECT_EQ(if_range_matches(r.value, r.tag, r.last_modified), r.matches)
            << r.value << " against " << r.tag << " and " << r.last_modified;
}

}  // namespace
