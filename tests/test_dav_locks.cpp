// WebDAV locks: the lock table with the clock in the test's hand, the If
// field as text, and LOCK, UNLOCK and PUT as a client meets them, through
// respond().
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/dav_locks.h"
#include "app/decide/dav_lock.h"
#include "app/decide/files.h"
#include "app/responder.h"
#include "http/if_field.h"

namespace {

namespace fs = std::filesystem;

dav_lock wish(const std::string& root, bool exclusive, bool whole_tree, long long seconds = 60) {
    dav_lock lock;
    lock.root = root;
    lock.root_href = "/" + root;
    lock.exclusive = exclusive;
    lock.whole_tree = whole_tree;
    lock.timeout_s = seconds;
    return lock;
}

std::string taken_token(dav_locks& locks, const dav_lock& lock, long long now_ms = 0) {
    dav_lock taken;
    EXPECT_EQ(locks.take(lock, now_ms, &taken), dav_locks::outcome::taken) << lock.root;
    return taken.token;
}

// An exclusive lock conflicts with any other on what both cover, a shared
// one only with an exclusive one; depth 0 on a folder covers no member.
TEST(LockTable, ConflictsByScopeAndDepth) {
    struct row {
        dav_lock held, wanted;
        bool conflict;
    };
    const row rows[] = {
        {wish("a", true, false), wish("a", false, false), true},
        {wish("a", false, false), wish("a", false, false), false},
        {wish("a", false, false), wish("a", true, false), true},
        {wish("d", true, true), wish("d/x/y", false, false), true},
        {wish("d", true, false), wish("d/x", true, false), false},
        {wish("d/x", true, false), wish("d", true, true), true},
        {wish("d/x", true, false), wish("d", true, false), false},
        {wish("dx", true, true), wish("d", true, true), false},
        {wish("", true, true), wish("a/b", false, false), true},
    };
    for (const row& r : rows) {
        dav_locks locks;
        const std::string held = taken_token(locks, r.held);
        dav_lock result;
        const auto outcome = locks.take(r.wanted, 0, &result);
        const std::string what = r.held.root + " then " + r.wanted.root;
        EXPECT_EQ(outcome == dav_locks::outcome::conflict, r.conflict) << what;
        EXPECT_EQ(result.token == held, r.conflict) << what;
    }
}

// A lock lasts its time from when it was taken or last refreshed; the table
// holds at most max_locks in force; tokens are random version 4 UUIDs.
TEST(LockTable, ExpiryRefreshTokensAndTheBound) {
    dav_locks locks;
    const std::string token = taken_token(locks, wish("a", true, false, 10));
    EXPECT_NE(locks.covering(token, "a", 9999), nullptr);
    EXPECT_EQ(locks.refresh(token, "b", 10, 5000), nullptr);
    ASSERT_NE(locks.refresh(token, "a", 10, 5000), nullptr);
    EXPECT_NE(locks.covering(token, "a", 14999), nullptr);
    EXPECT_EQ(locks.covering(token, "a", 15000), nullptr);
    EXPECT_EQ(locks.refresh(token, "a", 10, 15000), nullptr);
    taken_token(locks, wish("a", true, false), 15000);

    const std::regex uuid(
        "urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    dav_locks full;
    std::set<std::string> tokens;
    for (size_t i = 0; i < dav_locks::max_locks; ++i)
        tokens.insert(taken_token(full, wish("f" + std::to_string(i), true, false, 1)));
    EXPECT_EQ(tokens.size(), dav_locks::max_locks);
    EXPECT_TRUE(std::regex_match(*tokens.begin(), uuid)) << *tokens.begin();
    dav_lock result;
    EXPECT_EQ(full.take(wish("g", true, false), 999, &result), dav_locks::outcome::unavailable);
    EXPECT_EQ(full.take(wish("g", true, false), 1000, &result), dav_locks::outcome::taken);
}

// A write goes on when every locked resource it writes to is covered by a
// lock the request submits; one of several shared locks is enough.
TEST(LockTable, WhichWritesALockStops) {
    dav_locks locks;
    const std::string d = taken_token(locks, wish("d", true, true));
    const std::string f = taken_token(locks, wish("f", true, false));
    const std::string s1 = taken_token(locks, wish("s", false, false));
    taken_token(locks, wish("s", false, false));
    const std::string ex = taken_token(locks, wish("e/x", true, false));
    struct row {
        std::string resolved;
        bool whole_tree;
        std::vector<std::string> submitted;
        bool blocked;
    };
    const std::vector<row> rows = {
        {"d/a", false, {}, true},     {"d/a", false, {d}, false}, {"d/a", false, {f}, true},
        {"f", false, {f}, false},     {"s", false, {s1}, false},  {"e", false, {}, false},
        {"e", true, {}, true},        {"e", true, {ex}, false},   {"", true, {d, f, s1, ex}, false},
        {"", true, {d, f, ex}, true}, {"dx", false, {}, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(locks.blocking(r.resolved, r.whole_tree, r.submitted, 0) != nullptr, r.blocked)
            << r.resolved << (r.whole_tree ? " and beneath" : "") << ", " << r.submitted.size()
            << " submitted";
    }
    locks.forget("d/a", false);
    locks.forget("e", false);
    EXPECT_EQ(locks.locks_on("e/x", 0).size() + locks.locks_on("d/a", 0).size(), 2u);
    locks.forget("e", true);
    locks.forget("d", false);
    EXPECT_TRUE(locks.locks_on("e/x", 0).empty());
    EXPECT_TRUE(locks.locks_on("d/a", 0).empty());
}

TEST(IfField, ReadsListsAndRefusesTheRest) {
    struct row {
        std::string text;
        std::string read;  // written back by if_field_text; empty: refused
    };
    const std::vector<row> rows = {
        {"(<urn:uuid:1>)", "(<urn:uuid:1>)"},
        {"  ( <a:b>  [\"x\"] )\t(Not <DAV:no-lock>) ", "(<a:b> [\"x\"]) (Not <DAV:no-lock>)"},
        {"<http://h/a> (<t:1>) (nOt [W/\"y\"]) </b> ([\"]\"])",
         "<http://h/a> (<t:1>) (Not [W/\"y\"]) </b> ([\"]\"])"},
        {"<http://h/a>(<t:1>)(Not<t:2>)", "<http://h/a> (<t:1>) (Not <t:2>)"},
        {"", ""},
        {"(<a:b>", ""},
        {"()", ""},
        {"<http://h/a>", ""},
        {"<http://h/a> <http://h/b> (<a:b>)", ""},
        {"(<a:b>) <http://h/a> (<c:d>)", ""},
        {"(<>)", ""},
        {"(<a b>)", ""},
        {"(<a<b>)", ""},
        {"([x])", ""},
        {"([\"x])", ""},
        {"([\"x\" ])", ""},
        {"(Not)", ""},
        {"(Nope <a:b>)", ""},
        {"(<a:b>) x", ""},
        {"[\"x\"]", ""},
        {std::string("(<a:\0b>)", 8), ""},
    };
    for (const row& r : rows) {
        std::vector<if_list> lists;
        EXPECT_EQ(parse_if_field(r.text, &lists), !r.read.empty()) << r.text;
        EXPECT_EQ(if_field_text(lists), r.read) << r.text;
    }
    std::string lists, conditions = "(";
    for (size_t i = 0; i < if_max_lists; ++i)
        lists += "(<a:b>)";
    for (size_t i = 0; i < if_max_conditions; ++i)
        conditions += "<a:b>";
    std::vector<if_list> read;
    EXPECT_TRUE(parse_if_field(lists, &read));
    EXPECT_TRUE(parse_if_field(conditions + ")", &read));
    EXPECT_FALSE(parse_if_field(lists + "(<a:b>)", &read));
    EXPECT_FALSE(parse_if_field(conditions + "<a:b>)", &read));
}

// LOCK, UNLOCK and PUT of an authenticated user, as the connection would
// have them decided: the body, if any, handed to the answer that takes it.
class DavLocks : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("websrv-dav-locks-" + std::to_string(getpid()));
        fs::create_directories(root / "d");
        fs::create_directories(root / "e");
        for (const char* name : {"a.txt", "b.txt", "e/old.txt"})
            std::ofstream(root / name) << "old";
        site.root = root.string() + "/";
        site.webdav = site.upload = site.upload_replace = site.decode_path = true;
        site.whole_dot_steps = true;
        site.rights = {{"*", share_access::change}};
    }
    void TearDown() override { fs::remove_all(root); }

    decision_context context() { return decision_context{site, services, now_ms}; }

    struct reply {
        std::string status;  // "201 Created"; "closed", or "body" for a body not taken
        std::string text;    // the whole answer
        std::string notice;
    };

    reply ask(const std::string& method, const std::string& target, const std::string& fields,
              const std::string& body = "", const std::string& user = "u") {
        std::string head = method + " " + target + " HTTP/1.1\r\nHost: h\r\n" + fields;
        if (!body.empty()) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        head += "\r\n";
        login_state login;
        login.authorized = true;
        login.user = user;
        char* next = nullptr;
        answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        if (a.what == answer::kind::close) return {"closed", "", ""};
        if (a.what == answer::kind::body) {
            a.body->take(body.data(), body.size());
            a.body->end();
            a = a.body->result(context());
        }
        std::vector<char> buffer(1 << 16);
        const written w =
            write_answer(context(), a, buffer.data(), static_cast<int>(buffer.size()));
        std::string text(buffer.data(), static_cast<size_t>(std::max(w.length, 0)));
        for (long long n = 1; w.body_generated && n > 0;) {
            n = a.source->produce(buffer.data(), buffer.size());
            text.append(buffer.data(), static_cast<size_t>(std::max(n, 0LL)));
        }
        return {a.status, text, a.notice};
    }

    // The token of a new lock on `target`, which must be taken.
    std::string lock(const std::string& target, const std::string& fields = "",
                     const char* scope = "exclusive") {
        const reply got = ask("LOCK", target, fields, lockinfo(scope));
        EXPECT_EQ(got.status.substr(0, 1), "2") << target << ": " << got.text;
        const std::smatch token = field_match(got.text, "Lock-Token: <([^>]*)>");
        return token.size() > 1 ? token[1].str() : "";
    }

    static std::string lockinfo(const char* scope, const std::string& owner = "") {
        return std::string(
                   "<?xml version=\"1.0\"?>\n<D:lockinfo xmlns:D=\"DAV:\"><D:lockscope><D:") +
               scope + "/></D:lockscope><D:locktype><D:write/></D:locktype>" + owner +
               "</D:lockinfo>";
    }

    static std::smatch field_match(const std::string& text, const char* pattern) {
        std::smatch match;
        std::regex_search(text, match, std::regex(pattern));
        return match;
    }

    std::string tag_of(const char* name) {
        struct stat info {};
        stat((root / name).c_str(), &info);
        return version_tag(info);
    }

    fs::path root;
    site_policy site;
    site_services services;
    long long now_ms = 0;
};

TEST_F(DavLocks, ALockAnswersWithItsDiscoveryAndTakesItsTimeFromTheField) {
    const std::string owner = "<D:owner><D:href>mailto:me@h</D:href></D:owner>";
    const reply got =
        ask("LOCK", "/a.txt", "Depth: 0\r\nTimeout: Second-100\r\n", lockinfo("exclusive", owner));
    ASSERT_EQ(got.status, "200 OK") << got.text;
    EXPECT_EQ(got.notice, "locked: /a.txt");
    const std::string token = field_match(got.text, "Lock-Token: <(urn:uuid:[^>]*)>")[1].str();
    const std::string discovery =
        "<D:lockdiscovery><D:activelock><D:locktype><D:write/></D:locktype><D:lockscope>"
        "<D:exclusive/></D:lockscope><D:depth>0</D:depth>"
        "<D:owner xmlns:D=\"DAV:\"><D:href>mailto:me@h</D:href></D:owner>"
        "<D:timeout>Second-100</D:timeout><D:locktoken><D:href>" +
        token +
        "</D:href></D:locktoken><D:lockroot><D:href>/a.txt</D:href></D:lockroot>"
        "</D:activelock></D:lockdiscovery>";
    EXPECT_NE(got.text.find("<D:prop xmlns:D=\"DAV:\">" + discovery + "</D:prop>"),
              std::string::npos)
        << got.text;
    EXPECT_EQ(lockdiscovery(context(), "a.txt"), discovery);
    EXPECT_EQ(lockdiscovery(context(), "b.txt"), "<D:lockdiscovery/>");
    now_ms = 40'500;  // what is left, in whole seconds rounded up
    EXPECT_NE(lockdiscovery(context(), "a.txt").find("<D:timeout>Second-60<"), std::string::npos);

    const reply conflict = ask("LOCK", "/a.txt", "", lockinfo("shared"));
    EXPECT_EQ(conflict.status, "423 Locked");
    EXPECT_NE(conflict.text.find("<D:no-conflicting-lock><D:href>/a.txt</D:href>"),
              std::string::npos)
        << conflict.text;

    struct row {
        std::string timeout;  // the field's value; empty: none
        std::string granted;
    };
    const std::vector<row> rows = {
        {"", "Second-600"},
        {"Infinite", "Second-3600"},
        {"Second-99999999999999999999", "Second-3600"},
        {"Second-0", "Second-1"},
        {"later, second-5, Infinite", "Second-5"},
    };
    for (const row& r : rows) {
        const std::string fields = r.timeout.empty() ? "" : "Timeout: " + r.timeout + "\r\n";
        const reply taken = ask("LOCK", "/b.txt", fields, lockinfo("shared"));
        EXPECT_NE(taken.text.find("<D:timeout>" + r.granted + "</D:timeout>"), std::string::npos)
            << r.timeout << ": " << taken.text;
    }
}

TEST_F(DavLocks, ALockOnAnUnmappedNameMakesAnEmptyFile) {
    EXPECT_EQ(ask("LOCK", "/new.txt", "", lockinfo("exclusive")).status, "201 Created");
    EXPECT_TRUE(fs::is_regular_file(root / "new.txt"));
    EXPECT_EQ(fs::file_size(root / "new.txt"), 0u);
    struct row {
        std::string target, fields, body, status;
    };
    const std::vector<row> rows = {
        {"/missing/x.txt", "", lockinfo("exclusive"), "409 Conflict"},
        {"/c.txt", "Depth: 1\r\n", lockinfo("exclusive"), "400 Bad Request"},
        {"/c.txt", "", "<D:propfind xmlns:D=\"DAV:\"/>", "400 Bad Request"},
        {"/c.txt", "", "<lockinfo>", "400 Bad Request"},
        {"/c.txt", "", lockinfo("shared", "<D:owner>" + std::string(5000, 'x') + "</D:owner>"),
         "400 Bad Request"},
        {"/c.txt", "If: (<urn:uuid:x>)\r\n", lockinfo("exclusive"), "412 Precondition Failed"},
    };
    for (const row& r : rows)
        EXPECT_EQ(ask("LOCK", r.target, r.fields, r.body).status, r.status) << r.target << r.fields;
    EXPECT_FALSE(fs::exists(root / "c.txt"));
    EXPECT_TRUE(services.locks.locks_on("missing/x.txt", now_ms).empty()) << "no file, no lock";
}

// A PUT goes on when a list of its If field holds and names the lock; the
// field holds when one of its lists does.
TEST_F(DavLocks, TheIfFieldOfAPut) {
    const std::string token = lock("/a.txt", "Depth: 0\r\n");
    struct row {
        std::string if_field;  // "@": the file's entity tag
        std::string status;
    };
    const std::vector<row> rows = {
        {"", "423 Locked"},
        {"(<T>)", "201 Created"},
        {"<http://h/a.txt> (<T>)", "201 Created"},
        {"</a.txt> (<T>)", "201 Created"},
        {"</%61.txt> (<T>)", "201 Created"},
        {"<http://elsewhere/a.txt> (<T>)", "412 Precondition Failed"},
        {"</b.txt> (<T>)", "412 Precondition Failed"},
        {"(<urn:uuid:bogus>)", "412 Precondition Failed"},
        {"(Not <DAV:no-lock>)", "423 Locked"},
        {"(<T>x) (Not <DAV:no-lock>)", "400 Bad Request"},
        {"(<DAV:no-lock>) (<T>)", "201 Created"},
        {"(<T>) (Not <DAV:no-lock>)", "201 Created"},
        {"(<T> [@])", "201 Created"},
        {"(<T> [W/@])", "412 Precondition Failed"},
        {"(<T> [\"other\"])", "412 Precondition Failed"},
        {"(Not <T>)", "412 Precondition Failed"},
        {"</b.txt> (Not <T>)", "423 Locked"},
        {"(<T>) (Not <DAV:no-lock> [\"other\"])", "201 Created"},
    };
    for (const row& r : rows) {
        std::string field = std::regex_replace(r.if_field, std::regex("T"), token);
        field = std::regex_replace(field, std::regex("@"), tag_of("a.txt"));
        const std::string fields = field.empty() ? "" : "If: " + field + "\r\n";
        EXPECT_EQ(ask("PUT", "/a.txt", fields, "new").status, r.status) << r.if_field;
    }
    ASSERT_EQ(ask("UNLOCK", "/a.txt", "Lock-Token: <" + token + ">\r\n").status, "204 No Content");
    EXPECT_EQ(ask("PUT", "/a.txt", "If: (<" + token + ">)\r\n", "new").status,
              "412 Precondition Failed");
    EXPECT_EQ(ask("PUT", "/a.txt", "", "new").status, "201 Created");
}

// A lock of depth infinity on a folder covers what is in it; one of depth 0
// keeps only what it holds: a new file, not an old one written again.
TEST_F(DavLocks, FolderLocks) {
    const std::string d = lock("/d/");
    const std::string e = lock("/e", "Depth: 0\r\n");
    struct row {
        std::string target, if_field, status;
    };
    const std::vector<row> rows = {
        {"/d/new.txt", "", "423 Locked"},
        {"/d/new.txt", "</d/> (<" + d + ">)", "201 Created"},
        {"/d/new.txt", "(<" + d + ">)", "201 Created"},
        {"/e/new.txt", "", "423 Locked"},
        {"/e/new.txt", "(<" + e + ">)", "412 Precondition Failed"},
        {"/e/new.txt", "</e> (<" + e + ">)", "201 Created"},
        {"/e/old.txt", "", "201 Created"},
        {"/a.txt", "", "201 Created"},
    };
    for (const row& r : rows) {
        const std::string fields = r.if_field.empty() ? "" : "If: " + r.if_field + "\r\n";
        EXPECT_EQ(ask("PUT", r.target, fields, "new").status, r.status)
            << r.target << " " << r.if_field;
    }
    EXPECT_EQ(ask("LOCK", "/d/x.txt", "", lockinfo("shared")).status, "423 Locked");
    EXPECT_EQ(ask("LOCK", "/e/x.txt", "", lockinfo("shared")).status, "423 Locked");
    EXPECT_EQ(ask("LOCK", "/e/old.txt", "", lockinfo("exclusive")).status, "200 OK");
}

// MKCOL, DELETE, COPY, MOVE and PROPPATCH ask the locks of what they write and of its
// folder; a lock goes with the name it was taken on when that is deleted or
// moved away. The rows run in turn, each on what the ones above left.
TEST_F(DavLocks, TheTreeMethodsAskTheLocks) {
    const std::string a = lock("/a.txt");
    const std::string d = lock("/d/");
    const std::string e = lock("/e", "Depth: 0\r\n");
    struct row {
        std::string method, target, fields, status;
    };
    const std::vector<row> rows = {
        {"DELETE", "/a.txt", "", "423 Locked"},
        {"MKCOL", "/d/sub", "", "423 Locked"},
        {"MKCOL", "/e/sub", "", "423 Locked"},
        {"MKCOL", "/e/sub", "If: </e> (<" + e + ">)\r\n", "201 Created"},
        {"MOVE", "/e/old.txt", "Destination: /old.txt\r\n", "423 Locked"},
        {"COPY", "/b.txt", "Destination: /d/b.txt\r\n", "423 Locked"},
        {"COPY", "/b.txt", "Destination: /d/b.txt\r\nIf: </d/> (<" + d + ">)\r\n", "201 Created"},
        {"PROPPATCH", "/a.txt", "", "423 Locked"},
        {"DELETE", "/a.txt", "If: (<" + a + ">)\r\n", "204 No Content"},
        {"PUT", "/a.txt", "", "201 Created"},
        {"MOVE", "/d/", "Destination: /moved/\r\nIf: (<" + d + ">)\r\n", "201 Created"},
        {"PUT", "/moved/b.txt", "", "201 Created"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(ask(r.method, r.target, r.fields, r.method == "PUT" ? "new" : "").status,
                  r.status)
            << r.method << " " << r.target << " " << r.fields;
    }
}

// A LOCK without a body refreshes the lock its If field names, for the user
// who took it; UNLOCK removes it. Both only where it covers the resource.
TEST_F(DavLocks, RefreshExpiryAndUnlock) {
    const std::string token = lock("/d", "Timeout: Second-100\r\n");
    const std::string names = "If: (<" + token + ">)\r\n";
    now_ms = 90'000;
    struct row {
        std::string method, target, fields, user, status;
    };
    const std::vector<row> rows = {
        {"LOCK", "/d", "", "u", "400 Bad Request"},
        {"LOCK", "/d", "If: (<urn:uuid:x>)\r\n", "u", "412 Precondition Failed"},
        {"LOCK", "/a.txt", "If: </d> (<" + token + ">)\r\n", "u", "412 Precondition Failed"},
        {"LOCK", "/d", names, "v", "403 Forbidden"},
        {"LOCK", "/d/deep/x", names + "Timeout: Second-100\r\n", "u", "200 OK"},
        {"UNLOCK", "/d", "", "u", "400 Bad Request"},
        {"UNLOCK", "/d", "Lock-Token: " + token + "\r\n", "u", "400 Bad Request"},
        {"UNLOCK", "/d", "Lock-Token: <urn:uuid:x>\r\n", "u", "409 Conflict"},
        {"UNLOCK", "/a.txt", "Lock-Token: <" + token + ">\r\n", "u", "409 Conflict"},
        {"UNLOCK", "/d", "Lock-Token: <" + token + ">\r\n", "v", "403 Forbidden"},
    };
    for (const row& r : rows) {
        const reply got = ask(r.method, r.target, r.fields, "", r.user);
        EXPECT_EQ(got.status, r.status) << r.method << " " << r.target << " " << r.fields;
        EXPECT_EQ(got.notice, "") << r.method << " " << r.target;
    }
    EXPECT_NE(ask("UNLOCK", "/d", "Lock-Token: <urn:uuid:x>\r\n")
                  .text.find("<D:lock-token-matches-request-uri/>"),
              std::string::npos);
    // Refreshed at 90 s for another 100 s.
    now_ms = 189'999;
    EXPECT_EQ(ask("PUT", "/d/x.txt", "", "new").status, "423 Locked");
    now_ms = 190'000;
    EXPECT_EQ(ask("PUT", "/d/x.txt", "", "new").status, "201 Created");
    EXPECT_EQ(ask("LOCK", "/d", names).status, "412 Precondition Failed");

    const std::string again = lock("/d");
    const reply unlocked = ask("UNLOCK", "/d/", "Lock-Token:  <" + again + "> \r\n");
    EXPECT_EQ(unlocked.text.substr(0, 25), "HTTP/1.1 204 No Content\r\n");
    EXPECT_EQ(unlocked.notice, "unlocked: /d");
    EXPECT_EQ(ask("PUT", "/d/x.txt", "", "new").status, "201 Created");
}

// Without WebDAV nothing is locked, and the If field is not read.
TEST_F(DavLocks, WithoutWebdavTheIfFieldIsNotRead) {
    site.webdav = false;
    EXPECT_EQ(ask("PUT", "/a.txt", "If: (<urn:uuid:x>)\r\n", "new").status, "201 Created");
    EXPECT_EQ(ask("PUT", "/a.txt", "If: nonsense\r\n", "new").status, "201 Created");
    EXPECT_EQ(ask("LOCK", "/a.txt", "", lockinfo("exclusive")).status, "405 Method Not Allowed");
}

}  // namespace
