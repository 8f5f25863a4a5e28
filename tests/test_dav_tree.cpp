// MKCOL, DELETE, COPY and MOVE through respond(), on a real tree planted
// afresh for every case: each row says what the answer is and what must be,
// and must not be, in the tree afterwards.
#include "app/decide/dav_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "app/responder.h"
#include "app/upload.h"

namespace {

namespace fs = std::filesystem;

std::string content_of(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
}

// Whether `entry`, relative to `root`, is there as it says: "name=content" a
// file, "name/" a folder, "name@" a symbolic link.
bool there(const fs::path& root, const std::string& entry) {
    const size_t equals = entry.find('=');
    if (equals != std::string::npos) {
        const fs::path file = root / entry.substr(0, equals);
        return fs::is_regular_file(fs::symlink_status(file)) &&
               content_of(file) == entry.substr(equals + 1);
    }
    const fs::path name = root / entry.substr(0, entry.size() - 1);
    if (entry.back() == '/') return fs::is_directory(fs::symlink_status(name));
    return entry.back() == '@' && fs::is_symlink(name);
}

struct reply {
    std::string status;
    std::string body;
    std::string notice;
};

class DavTree : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "websrv-davtree-XXXXXX").string();
        base = mkdtemp(pattern.data());
        root = base / "root";
        site.root = root.string() + "/";
        site.webdav = site.decode_path = site.whole_dot_steps = site.hide_dot_names = true;
        site.rights["*"] = share_access::change;
        plant();
    }
    void TearDown() override { fs::remove_all(base); }

    // The tree every case starts from; "outside" lies beside the root.
    void plant() {
        fs::remove_all(root);
        fs::remove_all(base / "outside");
        for (const char* folder : {"dir/sub", "other", "links", "deep/in", "../outside"})
            fs::create_directories(root / folder);
        const std::pair<const char*, const char*> files[] = {
            {"a.txt", "A"},          {"b.txt", "B"},
            {"dir/x.txt", "X"},      {"dir/sub/y.txt", "Y"},
            {"dir/.hidden", "H"},    {"other/z.txt", "Z"},
            {"links/note.txt", "N"}, {"../outside/keep.txt", "K"},
        };
        for (const auto& [name, content] : files)
            write_file(root / name, content);
        fs::create_symlink(base / "outside", root / "links/out");
        fs::create_symlink(base / "outside", root / "out");
        fs::create_symlink("../..", root / "deep/in/up");  // the root, until it moves nearer
        fs::create_hard_link(root / "a.txt", root / "hard.txt");
    }

    // The answer to `request` ("METHOD /target") with header lines `fields`
    // from a user with `access`, as it would be sent.
    reply ask(const std::string& request, const std::string& fields,
              share_access access = share_access::change) {
        site.rights["*"] = access;
        std::string head = request + " HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
        login_state login;
        login.authorized = true;
        char* next = nullptr;
        const decision_context context{site, services, 0};
        answer a = respond(context, &login, head.data(), head.data() + head.size(), &next);
        std::vector<char> buffer(4096);
        const written w = write_answer(context, a, buffer.data(), static_cast<int>(buffer.size()));
        reply got{a.status ? a.status : "closed",
                  std::string(buffer.data() + w.header_length,
                              static_cast<size_t>(std::max(w.length - w.header_length, 0))),
                  a.notice};
        for (long long n = 1; w.body_generated && n > 0;) {
            n = a.source->produce(buffer.data(), buffer.size());
            got.body.append(buffer.data(), static_cast<size_t>(std::max(n, 0LL)));
        }
        return got;
    }

    fs::path base;
    fs::path root;
    site_policy site;
    site_services services;
};

struct row {
    const char* what;
    std::string request;
    std::string fields;
    const char* status;
    std::vector<std::string> present;  // as there() reads them, relative to the root
    std::vector<std::string> absent;
    std::string notice = "";               // the line for the log
    std::vector<std::string> failed = {};  // the hrefs a 207 names, and nothing else
    share_access access = share_access::change;
    bool hides = true;  // the site hides names that begin with "."
};

TEST_F(DavTree, MakeDeleteCopyAndMove) {
    const share_access change = share_access::change;
    const share_access create = share_access::create;
    // clang-format off
    const std::vector<row> rows = {
        // MKCOL
        {"a folder", "MKCOL /new/", "", "201 Created", {"new/"}, {}, "made: /new/"},
        {"a name that is taken", "MKCOL /dir", "", "405 Method Not Allowed", {"dir/x.txt=X"}, {}},
        {"no parent", "MKCOL /none/new", "", "409 Conflict", {}, {"none"}},
        {"a file as parent", "MKCOL /a.txt/new", "", "409 Conflict", {"a.txt=A"}, {}},
        {"with a body", "MKCOL /new", "Content-Length: 3\r\n", "415 Unsupported Media Type", {},
         {"new"}},
        {"a hidden name", "MKCOL /.new", "", "403 Forbidden", {}, {".new"}},
        {"a hidden name, shown", "MKCOL /.new", "", "201 Created", {".new/"}, {}, "made: /.new/",
         {}, change, false},
        {"through a link out of the root", "MKCOL /out/new", "", "403 Forbidden", {},
         {"../outside/new"}},
        {"by a reader", "MKCOL /new", "", "403 Forbidden", {}, {"new"}, "refused: - may not MKCOL",
         {}, share_access::read},
        // DELETE
        {"a file", "DELETE /a.txt", "", "204 No Content", {"b.txt=B"}, {"a.txt"},
         "deleted: /a.txt"},
        {"a file, at Depth 0", "DELETE /a.txt", "Depth: 0\r\n", "204 No Content", {}, {"a.txt"},
         "deleted: /a.txt"},
        {"a folder and all in it", "DELETE /dir/", "", "204 No Content", {"other/z.txt=Z"}, {"dir"},
         "deleted: /dir/"},
        {"a folder at Depth 1", "DELETE /dir", "Depth: 1\r\n", "400 Bad Request", {"dir/x.txt=X"},
         {}},
        {"a folder holding a link out", "DELETE /links", "", "204 No Content",
         {"../outside/keep.txt=K"}, {"links"}, "deleted: /links/"},
        {"a link, as a link", "DELETE /out", "", "204 No Content", {"../outside/keep.txt=K"},
         {"out"}, "deleted: /out"},
        {"through a link out of the root", "DELETE /out/keep.txt", "", "403 Forbidden",
         {"../outside/keep.txt=K"}, {}},
        {"nothing there", "DELETE /none", "", "404 Not Found", {}, {}},
        {"a hidden name", "DELETE /dir/.hidden", "", "404 Not Found", {"dir/.hidden=H"}, {}},
        {"the root", "DELETE /", "", "403 Forbidden", {"a.txt=A"}, {}},
        {"with a fragment", "DELETE /dir/#x", "", "400 Bad Request", {"dir/x.txt=X"}, {}},
        {"by a user who may not change", "DELETE /a.txt", "", "403 Forbidden", {"a.txt=A"}, {},
         "refused: - may not DELETE", {}, share_access::replace},
        // COPY
        {"a file", "COPY /a.txt", "Destination: /c.txt\r\n", "201 Created", {"a.txt=A", "c.txt=A"},
         {}, "copied: /a.txt -> /c.txt"},
        {"over a file", "COPY /a.txt", "Destination: http://h/b.txt\r\n", "204 No Content",
         {"a.txt=A", "b.txt=A"}, {}, "copied: /a.txt -> /b.txt"},
        {"over a file, Overwrite F", "COPY /a.txt", "Destination: /b.txt\r\nOverwrite: F\r\n",
         "412 Precondition Failed", {"b.txt=B"}, {}},
        {"a file over a folder", "COPY /a.txt", "Destination: /other\r\n", "204 No Content",
         {"other=A"}, {}, "copied: /a.txt -> /other"},
        {"a folder", "COPY /dir", "Destination: /copy\r\n", "201 Created",
         {"copy/x.txt=X", "copy/sub/y.txt=Y", "dir/x.txt=X"}, {"copy/.hidden"},
         "copied: /dir/ -> /copy/"},
        {"a folder, hidden names shown", "COPY /dir", "Destination: /copy\r\n", "201 Created",
         {"copy/.hidden=H"}, {}, "copied: /dir/ -> /copy/", {}, change, false},
        {"a folder at Depth 0", "COPY /dir/", "Destination: /copy/\r\nDepth: 0\r\n", "201 Created",
         {"copy/"}, {"copy/x.txt", "copy/sub"}, "copied: /dir/ -> /copy/"},
        {"a folder at Depth 1", "COPY /dir/", "Destination: /copy/\r\nDepth: 1\r\n",
         "400 Bad Request", {}, {"copy"}},
        {"a folder over a folder", "COPY /dir", "Destination: /other\r\n", "204 No Content",
         {"other/x.txt=X"}, {"other/z.txt"}, "copied: /dir/ -> /other/"},
        {"a folder holding a link", "COPY /links", "Destination: /copy\r\n", "207 Multi-Status",
         {"copy/note.txt=N"}, {"copy/out"}, "copied in part: /links/ -> /copy/ (1 failed)",
         {"/copy/out"}},
        {"a link, over a folder", "COPY /out", "Destination: /other\r\n", "403 Forbidden",
         {"other/z.txt=Z"}, {}},
        {"into itself", "COPY /dir", "Destination: /dir/sub/in\r\n", "403 Forbidden", {},
         {"dir/sub/in"}},
        {"onto itself", "COPY /a.txt", "Destination: /a.txt\r\n", "403 Forbidden", {"a.txt=A"}, {}},
        {"to another host", "COPY /a.txt", "Destination: http://other.example/c.txt\r\n",
         "502 Bad Gateway", {}, {"c.txt"}},
        {"to no parent", "COPY /a.txt", "Destination: /none/c.txt\r\n", "409 Conflict", {},
         {"none"}},
        {"to a hidden name", "COPY /a.txt", "Destination: /.c\r\n", "403 Forbidden", {}, {".c"}},
        {"to a name no file may have", "COPY /a.txt", "Destination: /c%01\r\n", "403 Forbidden", {},
         {"c\x01"}},
        {"from a hidden name", "COPY /dir/.hidden", "Destination: /c\r\n", "404 Not Found", {},
         {"c"}},
        {"to a new name, by a creator", "COPY /a.txt", "Destination: /c.txt\r\n", "201 Created",
         {"c.txt=A"}, {}, "copied: /a.txt -> /c.txt", {}, create},
        {"over a file, by a creator", "COPY /a.txt", "Destination: /b.txt\r\n", "403 Forbidden",
         {"b.txt=B"}, {}, "", {}, create},
        // MOVE
        {"a file", "MOVE /a.txt", "Destination: /c.txt\r\n", "201 Created", {"c.txt=A"}, {"a.txt"},
         "moved: /a.txt -> /c.txt"},
        {"over a file", "MOVE /a.txt", "Destination: /b.txt\r\n", "204 No Content", {"b.txt=A"},
         {"a.txt"}, "moved: /a.txt -> /b.txt"},
        {"over another name of itself", "MOVE /a.txt", "Destination: /hard.txt\r\n",
         "204 No Content", {"hard.txt=A"}, {"a.txt"}, "moved: /a.txt -> /hard.txt"},
        {"a folder onto a folder", "MOVE /dir", "Destination: /other/\r\n", "204 No Content",
         {"other/x.txt=X", "other/.hidden=H"}, {"other/z.txt", "dir"}, "moved: /dir/ -> /other/"},
        {"a folder at Depth 0", "MOVE /dir", "Destination: /moved\r\nDepth: 0\r\n",
         "400 Bad Request", {"dir/x.txt=X"}, {"moved"}},
        {"over what holds it", "MOVE /dir/sub", "Destination: /dir\r\n", "403 Forbidden",
         {"dir/sub/y.txt=Y"}, {}},
        {"the root", "MOVE /", "Destination: /moved\r\n", "403 Forbidden", {}, {"moved"}},
        {"a link, as a link", "MOVE /out", "Destination: /links/moved\r\n", "201 Created",
         {"links/moved@", "../outside/keep.txt=K"}, {"out"}, "moved: /out -> /links/moved"},
        {"a folder holding a link, deeper", "MOVE /links", "Destination: /dir/sub/links\r\n",
         "201 Created", {"dir/sub/links/out@"}, {"links"}, "moved: /links/ -> /dir/sub/links/"},
        {"a link nearer the root, where it could point above it", "MOVE /links/out",
         "Destination: /out2\r\n", "403 Forbidden", {"links/out@"}, {"out2"}},
        {"a folder holding a link, nearer the root", "MOVE /deep/in",
         "Destination: /in\r\n", "403 Forbidden", {"deep/in/up@"}, {"in"}},
    };
    // clang-format on
    for (const row& r : rows) {
        SCOPED_TRACE(r.request + ": " + r.what);
        plant();
        site.hide_dot_names = r.hides;
        const reply got = ask(r.request, r.fields, r.access);
        EXPECT_EQ(got.status, r.status);
        EXPECT_EQ(got.notice, r.notice);
        for (const std::string& entry : r.present)
            EXPECT_TRUE(there(root, entry)) << entry;
        for (const std::string& entry : r.absent)
            EXPECT_FALSE(fs::exists(fs::symlink_status(root / entry))) << entry;
        if (r.status != std::string("207 Multi-Status")) continue;
        size_t named = 0;
        for (size_t at = 0; (at = got.body.find("<D:response>", at)) != std::string::npos; ++at)
            ++named;
        EXPECT_EQ(named, r.failed.size()) << got.body;
        for (const std::string& href : r.failed)
            EXPECT_NE(got.body.find("<D:href>" + href + "</D:href>"), std::string::npos) << href;
    }
}

// A MOVE gives the same file, or folder, another name: nothing is copied.
TEST_F(DavTree, AMoveIsARename) {
    for (const auto& [from, to] : {std::pair{"a.txt", "c.txt"}, std::pair{"dir", "other"}}) {
        plant();
        struct stat before {};
        struct stat after {};
        ASSERT_EQ(lstat((root / from).c_str(), &before), 0);
        ASSERT_NE(ask(std::string("MOVE /") + from, std::string("Destination: /") + to + "\r\n")
                      .status[0],
                  '4');
        ASSERT_EQ(lstat((root / to).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << from;
    }
}

// A DELETE that cannot remove everything names, in its 207, what stayed and
// nothing else: not the folders that stay because they hold it, nor what
// went.
TEST_F(DavTree, ADeleteNamesOnlyWhatStayed) {
    const fs::path pinned = root / "dir/sub/y.txt";
    // A file that cannot be deleted: one the kernel keeps unchanged, or, for
    // a user without that right, one in a folder that may not change.
    const bool privileged = geteuid() == 0;
    const auto pin = [&](bool on) {
        if (!privileged) {
            fs::permissions(pinned.parent_path(), on ? fs::perms(0555) : fs::perms(0755));
            return true;
        }
        const open_file file(open(pinned.c_str(), O_RDONLY | O_CLOEXEC));
        int flags = on ? FS_IMMUTABLE_FL : 0;
        return ioctl(file.get(), FS_IOC_SETFLAGS, &flags) == 0;
    };
    if (!pin(true)) GTEST_SKIP() << "the file system keeps no file unchanged for us";
    const reply got = ask("DELETE /dir", "");
    pin(false);
    EXPECT_EQ(got.status, "207 Multi-Status");
    EXPECT_EQ(got.notice, "deleted in part: /dir/ (1 failed)");
    EXPECT_NE(got.body.find("<D:response><D:href>/dir/sub/y.txt</D:href><D:status>HTTP/1.1 403 "
                            "Forbidden</D:status></D:response>"),
              std::string::npos)
        << got.body;
    EXPECT_EQ(got.body.find("<D:href>/dir/</D:href>"), std::string::npos) << got.body;
    EXPECT_EQ(got.body.find("<D:href>/dir/sub/</D:href>"), std::string::npos) << got.body;
    EXPECT_TRUE(there(root, "dir/sub/y.txt=Y"));
    EXPECT_FALSE(fs::exists(root / "dir/x.txt"));
}

// A walk goes no deeper than 256 levels below the root, however deep a tree
// was nested: the folder where it stopped is named, and what lies beneath
// it stays.
TEST_F(DavTree, AWalkStopsAtItsDepth) {
    std::string nested;
    for (int level = 0; level < 260; ++level)
        nested += "/d";
    fs::create_directories(root / ("deep" + nested));
    const std::string stop = nested.substr(0, 2 * 256);
    const std::tuple<const char*, const char*, std::string> walks[] = {
        {"COPY /deep", "Destination: /copy\r\n", "copy" + stop},
        {"DELETE /deep", "", "deep" + stop},
    };
    for (const auto& [request, fields, stopped] : walks) {
        const reply got = ask(request, fields);
        EXPECT_EQ(got.status, "207 Multi-Status") << request;
        EXPECT_NE(got.body.find("<D:href>/" + stopped + "/</D:href>"), std::string::npos)
            << got.body;
        EXPECT_TRUE(fs::is_directory(root / stopped)) << request;
    }
    EXPECT_FALSE(fs::exists(root / ("copy" + stop + "/d")));
    EXPECT_TRUE(fs::exists(root / ("deep" + nested)));
}

// A COPY that stops half-way (here at the file size limit) leaves no half
// file: not at the destination, not under a name of its own, and a file it
// was to replace stays as it was.
TEST_F(DavTree, ACopyNeverLeavesAHalfFile) {
    write_file(root / "big.txt", std::string(64 * 1024, 'x'));
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    for (const bool unnamed : {true, false}) {
        upload_test_seams.no_unnamed_files = !unnamed;
        for (const char* destination : {"/c.txt", "/b.txt"}) {
            SCOPED_TRACE(std::string(destination) + (unnamed ? " without a name" : " hidden"));
            std::vector<fs::path> before(fs::directory_iterator(root), {});
            rlimit small = limit;
            small.rlim_cur = 1000;
            setrlimit(RLIMIT_FSIZE, &small);
            const reply got =
                ask("COPY /big.txt", std::string("Destination: ") + destination + "\r\n");
            setrlimit(RLIMIT_FSIZE, &limit);
            EXPECT_EQ(got.status, "507 Insufficient Storage");
            EXPECT_EQ(got.notice, "");
            EXPECT_FALSE(fs::exists(root / "c.txt"));
            EXPECT_TRUE(there(root, "b.txt=B"));
            std::vector<fs::path> after(fs::directory_iterator(root), {});
            std::sort(before.begin(), before.end());
            std::sort(after.begin(), after.end());
            EXPECT_EQ(after, before);
        }
    }
    upload_test_seams.no_unnamed_files = false;
    signal(SIGXFSZ, SIG_DFL);
}

}  // namespace
