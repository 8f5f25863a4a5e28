// PROPFIND and PROPPATCH decided in-process: a request and its XML body in,
// the 207 out, read from its source piece by piece as a connection sends it.
#include "app/decide/dav_props.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "app/responder.h"
#include "http/xml.h"

namespace {

namespace fs = std::filesystem;

struct reply {
    std::string head;  // the status line and the fields
    std::string body;
    std::string notice;
    size_t largest_piece = 0;
    std::string status() const { return head.substr(9, head.find("\r\n") - 9); }
};

// Every property of a 207, "href {namespace}name" to "status: value", where
// the value is the element's text and the names of its children.
std::map<std::string, std::string> properties_of(const std::string& body) {
    std::map<std::string, std::string> found;
    xml_document document;
    if (xml_parse(body, &document) != xml_error::none) return {{"unreadable", body}};
    for (const xml_element* response : document.root.children_named("DAV:", "response")) {
        const std::string href = response->child("DAV:", "href")->text;
        for (const xml_element* propstat : response->children_named("DAV:", "propstat")) {
            const std::string status = propstat->child("DAV:", "status")->text.substr(9, 3);
            for (const xml_element& p : propstat->child("DAV:", "prop")->children) {
                std::string value = p.text;
                for (const xml_element& inner : p.children)
                    value += "{" + std::string(inner.ns) + "}" + inner.name;
                found[href + " {" + std::string(p.ns) + "}" + p.name] = status + ": " + value;
            }
        }
    }
    return found;
}

// The hrefs of a 207, sorted; read as text, since a large folder's answer
// holds more elements than the XML reader takes.
std::vector<std::string> hrefs_of(const std::string& body) {
    std::vector<std::string> hrefs;
    const std::string open = "<D:href>";
    for (size_t at = body.find(open); at != std::string::npos; at = body.find(open, at)) {
        at += open.size();
        hrefs.push_back(body.substr(at, body.find("</D:href>", at) - at));
    }
    std::sort(hrefs.begin(), hrefs.end());
    return hrefs;
}

std::string propfind(const std::string& inside) {
    return "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\">" + inside + "</D:propfind>";
}

std::string update(const std::string& inside) {
    return "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:z=\"urn:z\">" + inside + "</D:propertyupdate>";
}

// A dead property with namespaces declared on the way, mixed content,
// xml:lang and a character beyond the BMP.
const std::string author_set = update(
    "<D:set><D:prop xml:lang=\"en\"><z:author xmlns:h=\"urn:h\">J. <h:em "
    "h:k=\"1\">Doe</h:em> \xF0\x90\x8D\x88<![CDATA[<x>]]></z:author></D:prop></D:set>");
// What the property reads back as: its element as the request wrote it.
const std::string author_markup = [] {
    xml_document document;
    xml_parse(author_set, &document);
    const xml_element& author =
        document.root.child("DAV:", "set")->child("DAV:", "prop")->children[0];
    return xml_markup(document, author);
}();

class DavProps : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        base = fs::temp_directory_path() / ("websrv-dav-props-" + std::to_string(getpid()));
        root = base / "root";
        fs::create_directories(root / "docs");
        fs::create_directories(base / "outside");
        std::ofstream(root / "a.txt") << "hello";
        std::ofstream(root / "sp ace.txt") << "x";
        std::ofstream(root / ".hidden") << "h";
        std::ofstream(root / "docs" / "inner.txt") << "in";
        std::ofstream(base / "outside" / "secret.txt") << "secret";
        fs::create_directory_symlink("docs", root / "inside");
        fs::create_directory_symlink(base / "outside", root / "out");
        fs::create_symlink(base / "outside" / "secret.txt", root / "out.txt");
        mkfifo((root / "pipe").c_str(), 0644);
    }
    static void TearDownTestSuite() { fs::remove_all(base); }

    void SetUp() override {
        site.root = root.string() + "/";
        site.webdav = true;
        site.hide_dot_names = true;
        site.conditional = true;
        site.rights = {{"*", share_access::change}};
    }
    void TearDown() override { dav_props_fault = {}; }

    decision_context context() { return decision_context{site, services, 0}; }

    // The answer to an authenticated request with `fields` and `body`.
    answer decide(const std::string& method, const std::string& target, const std::string& fields,
                  const std::string& body) {
        std::string head =
            method + " " + target + " HTTP/1.1\r\nHost: h\r\n" + fields +
            (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
            "\r\n";
        login_state login;
        login.authorized = true;
        char* next = nullptr;
        answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        if (a.what != answer::kind::body) return a;
        a.body->take(body.data(), body.size());
        a.body->end();
        return a.body->result(context());
    }

    // The same answer as it is sent; a generated body is read in pieces of 4 KiB.
    reply ask(const std::string& method, const std::string& target, const std::string& fields,
              const std::string& body = "") {
        const answer a = decide(method, target, fields, body);
        std::vector<char> buffer(1 << 16);
        const written w =
            write_answer(context(), a, buffer.data(), static_cast<int>(buffer.size()));
        reply got;
        got.notice = a.notice;
        got.head.assign(buffer.data(), static_cast<size_t>(w.header_length));
        got.body.assign(buffer.data() + w.header_length,
                        static_cast<size_t>(std::max(w.length - w.header_length, 0)));
        if (w.body_generated && !read_pieces(*a.source, [&](std::string_view piece) {
                got.body += piece;
                got.largest_piece = std::max(got.largest_piece, piece.size());
            })) {
            return {"source failed", "", "", 0};
        }
        return got;
    }

    // Hands each piece a source makes to `take`; false when it fails.
    static bool read_pieces(body_source& source,
                            const std::function<void(std::string_view)>& take) {
        std::vector<char> piece(4096);
        for (long long n; (n = source.produce(piece.data(), piece.size())) != 0;) {
            if (n < 0) return false;
            take(std::string_view(piece.data(), static_cast<size_t>(n)));
        }
        return true;
    }

    reply find(const std::string& target, const char* depth, const std::string& body = "") {
        return ask("PROPFIND", target, depth ? std::string("Depth: ") + depth + "\r\n" : "", body);
    }

    static fs::path base;
    static fs::path root;
    site_policy site;
    site_services services;
};

fs::path DavProps::base;
fs::path DavProps::root;

TEST_F(DavProps, DepthsHrefsAndWhatIsShown) {
    struct row {
        const char* target;
        const char* depth;
        const char* status;
        std::vector<std::string> hrefs;
    };
    const row rows[] = {
        {"/a.txt", "0", "207 Multi-Status", {"/a.txt"}},
        {"/a.txt", "1", "207 Multi-Status", {"/a.txt"}},
        {"/docs", "0", "207 Multi-Status", {"/docs/"}},
        {"/docs/", "1", "207 Multi-Status", {"/docs/", "/docs/inner.txt"}},
        // Hidden names, pipes and links out of the root are not listed; a
        // link within it is listed as what it points to.
        {"/", "1", "207 Multi-Status", {"/", "/a.txt", "/docs/", "/inside/", "/sp%20ace.txt"}},
        {"/inside/", "1", "207 Multi-Status", {"/inside/", "/inside/inner.txt"}},
        {"/.hidden", "0", "404 Not Found", {}},
        {"/out/", "0", "404 Not Found", {}},
        {"/out/secret.txt", "0", "404 Not Found", {}},
        {"/out.txt", "0", "404 Not Found", {}},
        {"/pipe", "0", "404 Not Found", {}},
        {"/missing", "0", "404 Not Found", {}},
        {"/../etc", "0", "403 Forbidden", {}},
        {"/docs/", "2", "400 Bad Request", {}},
    };
    for (const row& r : rows) {
        const reply got = find(r.target, r.depth);
        EXPECT_EQ(got.status(), r.status) << r.target << " at " << r.depth;
        if (!r.hrefs.empty()) {
            EXPECT_EQ(hrefs_of(got.body), r.hrefs) << r.target << " at " << r.depth;
        }
    }
    // A folder's answer is made as it is sent, in chunks; a single one has its length.
    EXPECT_NE(find("/", "1").head.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    EXPECT_NE(find("/", "0").head.find("Content-Length: "), std::string::npos);
    site.hide_dot_names = false;
    const std::vector<std::string> hrefs = hrefs_of(find("/", "1").body);
    EXPECT_TRUE(std::count(hrefs.begin(), hrefs.end(), "/.hidden")) << "shown where not hidden";
}

TEST_F(DavProps, InfiniteDepthIsRefusedWithItsPrecondition) {
    for (const char* depth : {static_cast<const char*>(nullptr), "infinity", "Infinity"}) {
        const reply got = find("/docs/", depth);
        EXPECT_EQ(got.status(), "403 Forbidden") << (depth ? depth : "no Depth");
        EXPECT_NE(got.body.find("<D:error xmlns:D=\"DAV:\"><D:propfind-finite-depth/></D:error>"),
                  std::string::npos);
    }
}

// An XML body is held whole while it is read: beyond 1 MiB it is refused,
// announced or sent in chunks.
TEST_F(DavProps, ABodyBeyondOneMebibyteIsRefused) {
    const std::string large(size_t{1} << 20 | 1, ' ');
    EXPECT_EQ(ask("PROPFIND", "/", "Depth: 0\r\n", large).status(), "413 Payload Too Large");
    std::string head =
        "PROPFIND / HTTP/1.1\r\nHost: h\r\nDepth: 0\r\nTransfer-Encoding: chunked\r\n\r\n";
    login_state login;
    login.authorized = true;
    char* next = nullptr;
    answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
    ASSERT_EQ(a.what, answer::kind::body);
    EXPECT_FALSE(a.body->take(large.data(), large.size()));
    EXPECT_EQ(a.body->result(context()).status, std::string("413 Payload Too Large"));
}

TEST_F(DavProps, LivePropertiesAreWhatAGetGives) {
    struct stat info {};
    stat((root / "a.txt").c_str(), &info);
    const reply get = ask("GET", "/a.txt", "");
    const auto field = [&](const std::string& name) {
        const size_t at = get.head.find(name + ": ") + name.size() + 2;
        return get.head.substr(at, get.head.find("\r\n", at) - at);
    };
    const auto props = properties_of(find("/a.txt", "0").body);
    EXPECT_EQ(props.at("/a.txt {DAV:}getcontentlength"), "200: 5");
    EXPECT_EQ(props.at("/a.txt {DAV:}getetag"), "200: " + field("ETag"));
    EXPECT_EQ(props.at("/a.txt {DAV:}getcontenttype"), "200: " + field("Content-Type"));
    EXPECT_EQ(props.at("/a.txt {DAV:}getlastmodified"), "200: " + field("Last-Modified"));
    EXPECT_EQ(props.at("/a.txt {DAV:}displayname"), "200: a.txt");
    EXPECT_EQ(props.at("/a.txt {DAV:}resourcetype"), "200: ");
    EXPECT_TRUE(std::regex_match(props.at("/a.txt {DAV:}creationdate"),
                                 std::regex(R"(200: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_EQ(props.at("/a.txt {DAV:}supportedlock"), "200: {DAV:}lockentry{DAV:}lockentry");
    EXPECT_EQ(props.at("/a.txt {DAV:}lockdiscovery"), "200: ");
    // Quota only when named; what a file has, a folder has not.
    EXPECT_EQ(props.count("/a.txt {DAV:}quota-available-bytes"), 0u);
    const auto folder = properties_of(find("/docs/", "0").body);
    EXPECT_EQ(folder.at("/docs/ {DAV:}resourcetype"), "200: {DAV:}collection");
    EXPECT_EQ(folder.count("/docs/ {DAV:}getcontentlength"), 0u);
}

// Each form of PROPFIND: only what it asks for, a property the resource has
// not under 404.
TEST_F(DavProps, WhatEachFormAsks) {
    struct row {
        std::string body;
        std::map<std::string, std::string> expected;  // "gone": not in the answer
    };
    const row rows[] = {
        {propfind("<D:prop><D:getcontentlength/><x:nope xmlns:x=\"urn:x\"/></D:prop>"),
         {{"/docs/ {DAV:}getcontentlength", "404: "},
          {"/docs/inner.txt {DAV:}getcontentlength", "200: 2"},
          {"/docs/inner.txt {urn:x}nope", "404: "},
          {"/docs/inner.txt {DAV:}getetag", "gone"}}},
        {propfind("<D:propname/>"),
         {{"/docs/inner.txt {DAV:}getcontentlength", "200: "},
          {"/docs/inner.txt {DAV:}quota-used-bytes", "200: "},
          {"/docs/ {DAV:}getcontentlength", "gone"}}},
        {propfind("<D:allprop/><D:include><D:quota-available-bytes/></D:include>"),
         {{"/docs/inner.txt {DAV:}getcontentlength", "200: 2"},
          {"/docs/ {DAV:}quota-used-bytes", "gone"}}},
        {"", {{"/docs/inner.txt {DAV:}getcontentlength", "200: 2"}}},
    };
    for (const row& r : rows) {
        const reply got = find("/docs/", "1", r.body);
        ASSERT_EQ(got.status(), "207 Multi-Status") << r.body;
        const auto props = properties_of(got.body);
        for (const auto& [key, value] : r.expected) {
            const auto it = props.find(key);
            EXPECT_EQ(it == props.end() ? "gone" : it->second, value) << key << " of " << r.body;
        }
    }
    const auto quota = properties_of(find("/docs/", "0", rows[2].body).body);
    EXPECT_TRUE(std::regex_match(quota.at("/docs/ {DAV:}quota-available-bytes"),
                                 std::regex(R"(200: \d+)")));
    for (const char* body : {"<D:propfind xmlns:D='DAV:'/>", "<propfind>", "<D:x xmlns:D='DAV:'/>"})
        EXPECT_EQ(find("/docs/", "0", body).status(), "400 Bad Request") << body;
}

TEST_F(DavProps, DeadPropertiesAreKeptReadBackAndRemoved) {
    std::ofstream(root / "dead.txt") << "d";
    const reply set = ask("PROPPATCH", "/dead.txt", "", author_set);
    ASSERT_EQ(set.status(), "207 Multi-Status") << set.body;
    EXPECT_EQ(properties_of(set.body).at("/dead.txt {urn:z}author"), "200: ");
    EXPECT_EQ(set.notice, "properties changed: /dead.txt");
    // Read back byte for byte: by name, with allprop, and named by propname.
    const std::string by_name = propfind("<D:prop><z:author xmlns:z='urn:z'/></D:prop>");
    EXPECT_NE(find("/dead.txt", "0", by_name).body.find(author_markup), std::string::npos);
    EXPECT_NE(find("/dead.txt", "0").body.find(author_markup), std::string::npos);
    EXPECT_EQ(properties_of(find("/dead.txt", "0", propfind("<D:propname/>")).body)
                  .at("/dead.txt {urn:z}author"),
              "200: ");
    // Not in a folder's answer that does not ask for it.
    const std::string live_only = propfind("<D:prop><D:getcontentlength/></D:prop>");
    EXPECT_EQ(find("/", "1", live_only).body.find("urn:z"), std::string::npos);
    // It moves with a rename.
    fs::rename(root / "dead.txt", root / "moved.txt");
    EXPECT_NE(find("/moved.txt", "0", by_name).body.find(author_markup), std::string::npos);
    // A COPY carries it, of a file and of a folder.
    fs::create_directories(root / "box");
    ASSERT_EQ(ask("PROPPATCH", "/box/", "", author_set).status(), "207 Multi-Status");
    for (const auto& [from, to] : {std::pair{"/moved.txt", "/copied.txt"}, {"/box/", "/copied/"}}) {
        ASSERT_EQ(ask("COPY", from, std::string("Destination: ") + to + "\r\n").status(),
                  "201 Created");
        EXPECT_NE(find(to, "0", by_name).body.find(author_markup), std::string::npos) << to;
    }
    for (const char* made : {"box", "copied", "copied.txt"})
        fs::remove_all(root / made);
    // Removed, also when it is not there.
    const std::string remove =
        update("<D:remove><D:prop><z:author/><z:never/></D:prop></D:remove>");
    const auto removed = properties_of(ask("PROPPATCH", "/moved.txt", "", remove).body);
    EXPECT_EQ(removed.at("/moved.txt {urn:z}never"), "200: ");
    EXPECT_EQ(properties_of(find("/moved.txt", "0", by_name).body).at("/moved.txt {urn:z}author"),
              "404: ");
    // A value that some other program wrote is not passed on unless it is
    // the property's element.
    const char junk[] = "<unclosed>";
    setxattr((root / "moved.txt").c_str(), "user.dav.{urn:z}author", junk, sizeof junk - 1, 0);
    EXPECT_EQ(properties_of(find("/moved.txt", "0", by_name).body).at("/moved.txt {urn:z}author"),
              "404: ");
    fs::remove(root / "moved.txt");
}

// A PROPPATCH is all or none: the property that cannot be changed gets its
// status, every other one 424, and nothing is changed.
TEST_F(DavProps, APatchIsAllOrNone) {
    std::ofstream(root / "atomic.txt") << "a";
    ASSERT_EQ(ask("PROPPATCH", "/atomic.txt", "",
                  update("<D:set><D:prop><z:kept>old</z:kept></D:prop></D:set>"))
                  .status(),
              "207 Multi-Status");
    const std::string two = update(
        "<D:set><D:prop><z:kept>new</z:kept></D:prop></D:set>"
        "<D:remove><D:prop><z:other/></D:prop></D:remove><D:set><D:prop><z:added/></D:prop></"
        "D:set>");
    struct row {
        const char* what;
        std::string body;
        dav_props_write_fault fault;
        std::string failed;  // the property that fails
        const char* status;
    };
    const row rows[] = {
        {"a live property",
         update("<D:set><D:prop><z:kept>new</z:kept><D:getetag>x</D:getetag>"
                "</D:prop></D:set>"),
         {},
         "{DAV:}getetag",
         "403"},
        {"a live property removed",
         update("<D:remove><D:prop><D:displayname/></D:prop></D:remove>"
                "<D:set><D:prop><z:kept>new</z:kept></D:prop></D:set>"),
         {},
         "{DAV:}displayname",
         "403"},
        {"a name too long",
         update("<D:set><D:prop><z:kept>new</z:kept><z:" + std::string(250, 'n') +
                "/></D:prop></D:set>"),
         {},
         "{urn:z}" + std::string(250, 'n'),
         "507"},
        {"a value too large",
         update("<D:set><D:prop><z:kept>new</z:kept><z:large>" + std::string(70000, 'v') +
                "</z:large></D:prop></D:set>"),
         {},
         "{urn:z}large",
         "507"},
        {"a full file system after two changes", two, {2, ENOSPC}, "{urn:z}added", "507"},
        {"no user extended attributes", two, {0, ENOTSUP}, "{urn:z}kept", "507"},
    };
    for (const row& r : rows) {
        dav_props_fault = r.fault;
        const reply got = ask("PROPPATCH", "/atomic.txt", "", r.body);
        dav_props_fault = {};
        ASSERT_EQ(got.status(), "207 Multi-Status") << r.what;
        for (const auto& [key, value] : properties_of(got.body)) {
            const bool failed = key == "/atomic.txt " + r.failed;
            EXPECT_EQ(value, std::string(failed ? r.status : "424") + ": ")
                << r.what << ": " << key;
        }
        EXPECT_EQ(got.notice, "") << r.what;
        if (std::string(r.status) == "403") {
            EXPECT_NE(got.body.find("<D:error><D:cannot-modify-protected-property/></D:error>"),
                      std::string::npos);
        }
        const auto now = properties_of(find("/atomic.txt", "0",
                                            propfind("<D:prop><z:kept xmlns:z='urn:z'/><z:added "
                                                     "xmlns:z='urn:z'/></D:prop>"))
                                           .body);
        EXPECT_EQ(now.at("/atomic.txt {urn:z}kept"), "200: old") << r.what;
        EXPECT_EQ(now.at("/atomic.txt {urn:z}added"), "404: ") << r.what;
    }
    for (const std::string& body :
         {std::string(), std::string("<D:propertyupdate xmlns:D='DAV:'/>"), update("<D:set/>")}) {
        EXPECT_EQ(ask("PROPPATCH", "/atomic.txt", "", body).status(), "400 Bad Request") << body;
    }
    EXPECT_EQ(ask("PROPPATCH", "/missing", "", author_set).status(), "404 Not Found");
    EXPECT_EQ(ask("PROPPATCH", "/out.txt", "", author_set).status(), "404 Not Found");
    fs::remove(root / "atomic.txt");
}

// A folder's entries are looked at as the pieces of its answer are asked
// for, never all at once: its answer holds a piece and an entry at most,
// and what is gone by the next piece is not listed.
TEST_F(DavProps, ALargeFolderIsListedPieceByPiece) {
    const fs::path many = root / "many";
    fs::create_directories(many);
    for (int i = 0; i < 3000; ++i)
        std::ofstream(many / ("entry-" + std::to_string(i)));
    const std::string body = propfind("<D:prop><D:resourcetype/></D:prop>");
    const reply whole = ask("PROPFIND", "/many/", "Depth: 1\r\n", body);
    EXPECT_EQ(whole.largest_piece, 4096u);
    std::vector<std::string> hrefs = hrefs_of(whole.body);
    ASSERT_EQ(hrefs.size(), 3001u);
    EXPECT_EQ(std::adjacent_find(hrefs.begin(), hrefs.end()), hrefs.end()) << "listed twice";

    // The heap while the answer is made (where the allocator tells it).
    const auto in_use = [] { return static_cast<long long>(mallinfo2().uordblks); };
    answer a = decide("PROPFIND", "/many/", "Depth: 1\r\n", body);
    const long long before = in_use();
    long long most = 0;
    size_t length = 0;
    read_pieces(*a.source, [&](std::string_view piece) {
        length += piece.size();
        most = std::max(most, in_use() - before);
    });
    EXPECT_EQ(length, whole.body.size());
    EXPECT_LT(most, 32 * 1024);

    a = decide("PROPFIND", "/many/", "Depth: 1\r\n", body);
    std::string cut;
    read_pieces(*a.source, [&](std::string_view piece) {
        if (cut.empty()) {
            fs::remove_all(many);
            fs::create_directories(many);
        }
        cut += piece;
    });
    hrefs = hrefs_of(cut);
    EXPECT_GT(hrefs.size(), 1u);
    EXPECT_LT(hrefs.size(), 200u);
    fs::remove_all(many);
}

}  // namespace
