// The decision for one request, called directly: a site policy, a login
// state and a request head in, an answer out, written into a buffer.
#include "app/responder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/decide/rules.h"

namespace {

namespace fs = std::filesystem;

// "0123456789" repeated: any byte's value tells where it came from.
const std::string digits = [] {
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += static_cast<char>('0' + i % 10);
    return text;
}();

class Responder : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root = fs::temp_directory_path() / ("websrv-responder-" + std::to_string(getpid()));
        fs::create_directories(root);
        std::ofstream(root / "digits.txt", std::ios::binary) << digits;
        std::ofstream(root / "empty.txt", std::ios::binary);
    }
    static void TearDownTestSuite() { fs::remove_all(root); }

    void SetUp() override {
        site.root = root.string() + "/";
        site.realm = "websrv";
        site.http10 = site.head = true;
        stat((root / "digits.txt").c_str(), &info);
        modified = http_time_str(static_cast<long>(info.st_mtime));
    }

    // The whole answer to an authenticated request for `target` with `fields`;
    // a body to be sent from the file is appended as the node would send it.
    std::string ask(const std::string& fields, const std::string& target = "/digits.txt",
                    const std::string& method = "GET") {
        std::string head = method + " " + target + " HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
        login_state login;
        login.authorized = true;
        char* next = nullptr;
        answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        if (a.what == answer::kind::close) return "closed";
        std::vector<char> buffer(static_cast<size_t>(room));
        written w = write_answer(context(), a, buffer.data(), room);
        std::string text(buffer.data(), static_cast<size_t>(std::max(w.length, 0)));
        if (w.body_from_file) {
            std::string body(static_cast<size_t>(a.body_length), '\0');
            pread(a.file.get(), body.data(), body.size(), a.body_offset);
            text += body;
        }
        for (long long n; w.body_generated && (n = a.source->produce(buffer.data(), 4096)) > 0;)
            text.append(buffer.data(), static_cast<size_t>(n));
        return text;
    }

    decision_context context() { return decision_context{site, services, now_ms}; }

    static fs::path root;
    site_policy site;
    site_services services;
    int room = 1 << 20;
    long long now_ms = 0;  // the monotonic clock of the login limit
    struct stat info {};
    std::string modified;
};

fs::path Responder::root;

std::string status_of(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

std::string field(const std::string& answer, const std::string& name) {
    const size_t at = answer.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > answer.find("\r\n\r\n")) return "(none)";
    const size_t begin = at + name.size() + 4;
    return answer.substr(begin, answer.find("\r\n", begin) - begin);
}

std::string body_of(const std::string& answer) {
    return answer.substr(answer.find("\r\n\r\n") + 4);
}

TEST_F(Responder, ByteRanges) {
    site.ranges = true;
    struct row {
        std::string range;
        std::string status;
        std::string content_range;
        std::string body;  // "all": the whole file
    };
    const std::vector<row> rows = {
        {"bytes=0-0", "206 Partial Content", "bytes 0-0/1000", "0"},
        {"bytes=0-9", "206 Partial Content", "bytes 0-9/1000", "0123456789"},
        {"bytes=995-", "206 Partial Content", "bytes 995-999/1000", "56789"},
        {"bytes=999-999", "206 Partial Content", "bytes 999-999/1000", "9"},
        {"bytes=998-5000", "206 Partial Content", "bytes 998-999/1000", "89"},
        {"bytes=-3", "206 Partial Content", "bytes 997-999/1000", "789"},
        {"bytes=-5000", "206 Partial Content", "bytes 0-999/1000", "all"},
        {"bytes=1000-", "416 Range Not Satisfiable", "bytes */1000", "416 Range Not Satisfiable"},
        {"bytes=-0", "416 Range Not Satisfiable", "bytes */1000", "416 Range Not Satisfiable"},
        {"bytes=5-1", "200 OK", "(none)", "all"},
        {"items=0-1", "200 OK", "(none)", "all"},
        {"bytes=0-1,1000-", "206 Partial Content", "bytes 0-1/1000", "01"},  // one satisfiable
    };
    for (const row& r : rows) {
        const std::string got = ask("Range: " + r.range + "\r\n");
        EXPECT_EQ(status_of(got), "HTTP/1.1 " + r.status) << r.range;
        EXPECT_EQ(field(got, "Content-Range"), r.content_range) << r.range;
        EXPECT_EQ(body_of(got), r.body == "all" ? digits : r.body) << r.range;
        EXPECT_EQ(field(got, "Content-Length"), std::to_string(body_of(got).size())) << r.range;
        EXPECT_EQ(field(got, "Accept-Ranges"), r.status[0] == '4' ? "(none)" : "bytes") << r.range;
        const std::string head = ask("Range: " + r.range + "\r\n", "/digits.txt", "HEAD");
        EXPECT_EQ(head, got.substr(0, got.find("\r\n\r\n") + 4)) << r.range;
    }
    EXPECT_EQ(status_of(ask("Range: bytes=0-0\r\n", "/empty.txt")),
              "HTTP/1.1 416 Range Not Satisfiable");

    // Several ranges: one multipart body, overlapping ones merged, in order.
    const std::string parts = ask("Range: bytes=20-29, 0-9, 5-12\r\n");
    EXPECT_EQ(status_of(parts), "HTTP/1.1 206 Partial Content");
    const std::string type = field(parts, "Content-Type");
    ASSERT_TRUE(type.starts_with("multipart/byteranges; boundary=")) << type;
    const std::string boundary = type.substr(type.find('=') + 1);
    const std::string part_type = "\r\nContent-Type: " + field(ask(""), "Content-Type");
    EXPECT_EQ(body_of(parts), "--" + boundary + part_type +
                                  "\r\nContent-Range: bytes 0-12/1000\r\n\r\n0123456789012\r\n--" +
                                  boundary + part_type +
                                  "\r\nContent-Range: bytes 20-29/1000\r\n\r\n0123456789\r\n--" +
                                  boundary + "--\r\n");
    EXPECT_EQ(field(parts, "Content-Length"), std::to_string(body_of(parts).size()));
    std::string many = "Range: bytes=0-0";
    for (int i = 1; i <= 16; ++i)
        many += "," + std::to_string(2 * i) + "-" + std::to_string(2 * i);
    EXPECT_EQ(status_of(ask(many + "\r\n")), "HTTP/1.1 200 OK") << "17 ranges: the whole file";

    // If-Range: the range only while the file is the version the client names.
    EXPECT_EQ(body_of(ask("Range: bytes=0-1\r\nIf-Range: " + modified + "\r\n")), "01");
    EXPECT_EQ(body_of(ask("Range: bytes=0-1\r\nIf-Range: Thu, 01 Jan 1970 00:00:00 GMT\r\n")),
              digits);
    site.conditional = true;
    const std::string tag = field(ask(""), "ETag");
    EXPECT_EQ(body_of(ask("Range: bytes=0-1\r\nIf-Range: " + tag + "\r\n")), "01");
    EXPECT_EQ(body_of(ask("Range: bytes=0-1\r\nIf-Range: W/" + tag + "\r\n")), digits);
}

TEST_F(Responder, Revalidation) {
    site.conditional = true;
    const std::string tag = field(ask(""), "ETag");
    ASSERT_EQ(tag.front(), '"');
    struct row {
        std::string fields;
        bool current;
    };
    const std::vector<row> rows = {
        {"If-None-Match: " + tag + "\r\n", true},
        {"If-None-Match: W/" + tag + "\r\n", true},
        {"If-None-Match: \"other\", " + tag + "\r\n", true},
        {"If-None-Match: *\r\n", true},
        {"If-None-Match: \"other\"\r\n", false},
        {"If-Modified-Since: " + modified + "\r\n", true},
        {"If-Modified-Since: " + http_time_str(info.st_mtime + 60) + "\r\n", true},
        {"If-Modified-Since: " + http_time_str(info.st_mtime - 1) + "\r\n", false},
        {"If-Modified-Since: yesterday\r\n", false},
        // The tag decides alone when there is one.
        {"If-None-Match: \"other\"\r\nIf-Modified-Since: " + modified + "\r\n", false},
    };
    for (const row& r : rows) {
        const std::string got = ask(r.fields);
        if (r.current) {
            EXPECT_EQ(got, "HTTP/1.1 304 Not Modified\r\nLast-Modified: " + modified +
                               "\r\nETag: " + tag + "\r\n\r\n")
                << r.fields;
        } else {
            EXPECT_EQ(status_of(got), "HTTP/1.1 200 OK") << r.fields;
            EXPECT_EQ(field(got, "ETag"), tag) << r.fields;
            EXPECT_EQ(body_of(got), digits) << r.fields;
        }
    }
    // A copy with the same bytes and time, as on another machine, is the same version.
    fs::copy_file(root / "digits.txt", root / "copy.txt");
    const timespec same[2] = {info.st_atim, info.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (root / "copy.txt").c_str(), same, 0), 0);
    EXPECT_EQ(field(ask("", "/copy.txt"), "ETag"), tag);
    fs::remove(root / "copy.txt");
    // The same file, the same size, only written again: another version.
    const timespec later[2] = {{0, UTIME_OMIT}, {info.st_mtim.tv_sec, info.st_mtim.tv_nsec + 1}};
    ASSERT_EQ(utimensat(AT_FDCWD, (root / "digits.txt").c_str(), later, 0), 0);
    EXPECT_NE(field(ask(""), "ETag"), tag);
    EXPECT_EQ(status_of(ask("If-None-Match: " + tag + "\r\n")), "HTTP/1.1 200 OK");
}

// Only a request that brings credentials and fails counts against the login
// limit: a browser's first request on each of its connections brings none.
TEST_F(Responder, RequestsWithoutCredentialsNeverCountAsFailedLogins) {
    services.logins = login_limiter(2);
    site.login = "user";
    site.password = "5712";
    site.expected_credentials = "dXNlcjo1NzEy";
    auto status = [&](const std::string& fields) {
        std::string head = "GET /digits.txt HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
        login_state login;  // a new connection each time
        char* next = nullptr;
        return respond(context(), &login, head.data(), head.data() + head.size(), &next).status;
    };
    for (int connection = 0; connection < 10; ++connection)
        EXPECT_STREQ(status(""), "401 Unauthorized");
    EXPECT_STREQ(status("Authorization: Basic dXNlcjo1NzEy\r\n"), "200 OK") << "it logs in";
    EXPECT_STREQ(status("Authorization: Basic d3Jvbmc=\r\n"), "401 Unauthorized");
    EXPECT_STREQ(status("Authorization: Basic d3Jvbmc=\r\n"), "401 Unauthorized");
    EXPECT_STREQ(status("Authorization: Basic dXNlcjo1NzEy\r\n"), "403 Forbidden");
    site.retry_after = true;
    EXPECT_STREQ(status(""), "429 Too Many Requests");
}

// The login limit's 429 asks the client to wait until it may try again: the
// seconds, rounded up, until the oldest counted failure is a minute old.
TEST_F(Responder, RetryAfterCountsTheSecondsUntilTheOldestFailureLeavesTheMinute) {
    site.login = "user";
    site.password = "5712";
    site.expected_credentials = "dXNlcjo1NzEy";
    auto answer_at = [&](long long at_ms, const std::string& fields) {
        now_ms = at_ms;
        std::string head = "GET /digits.txt HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
        login_state login;  // a new connection each time
        char* next = nullptr;
        answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        std::vector<char> buffer(1024);
        written w = write_answer(context(), a, buffer.data(), static_cast<int>(buffer.size()));
        return std::string(buffer.data(), static_cast<size_t>(std::max(w.length, 0)));
    };
    const std::string wrong = "Authorization: Basic d3Jvbmc=\r\n";
    struct row {
        long long failures[2];  // the two failures the limit counts, in ms
        long long asked;
        const char* retry_after;
    };
    const row rows[] = {
        {{0, 30000}, 30000, "30"},    // whole seconds
        {{0, 10}, 10, "60"},          // 59.99 s
        {{0, 0}, 59500, "1"},         // half a second is still a second to wait
        {{1000, 2000}, 31400, "30"},  // the oldest failure counts, not the latest
    };
    for (const row& r : rows) {
        services.logins = login_limiter(2);
        site.retry_after = true;
        for (long long failure : r.failures)
            ASSERT_EQ(status_of(answer_at(failure, wrong)), "HTTP/1.1 401 Unauthorized");
        const std::string refused = answer_at(r.asked, "");
        EXPECT_EQ(status_of(refused), "HTTP/1.1 429 Too Many Requests") << r.asked;
        EXPECT_EQ(field(refused, "Retry-After"), r.retry_after) << r.asked;
        site.retry_after = false;
        const std::string forbidden = answer_at(r.asked, "");
        EXPECT_EQ(status_of(forbidden), "HTTP/1.1 403 Forbidden") << r.asked;
        EXPECT_EQ(field(forbidden, "Retry-After"), "(none)") << r.asked;
        // Both close the connection, and say so.
        EXPECT_EQ(field(refused, "Connection"), "close") << r.asked;
        EXPECT_EQ(field(forbidden, "Connection"), "close") << r.asked;
    }
}

// With a password file, each of its users logs in with their own password,
// in the Authorization field or the target, and the connection knows who.
TEST_F(Responder, TheUsersOfAPasswordFileLogIn) {
    const std::string file = (root / "users").string();
    std::ofstream(file) << hash_password_line("ann", "bee") << "\n"
                        << hash_password_line("bob", "why") << "\n";
    services.users = std::make_shared<password_file>();
    ASSERT_TRUE(services.users->load(file, nullptr));
    auto as = [&](const std::string& fields, const std::string& target = "/digits.txt") {
        std::string head = "GET " + target + " HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
        login_state login;
        char* next = nullptr;
        answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        return std::string(a.status) + (login.authorized ? " as " + login.user : "");
    };
    EXPECT_EQ(as("Authorization: Basic YW5uOmJlZQ==\r\n"), "200 OK as ann");   // ann:bee
    EXPECT_EQ(as("Authorization: basic  Ym9iOndoeQ==\r\n"), "200 OK as bob");  // bob:why
    EXPECT_EQ(as("", "http://bob:why@h/digits.txt"), "200 OK as bob");
    EXPECT_EQ(as("Authorization: Basic YW5uOndoeQ==\r\n"), "401 Unauthorized");  // ann:why
    EXPECT_EQ(as("Authorization: Basic Y2F0OnNpeA==\r\n"), "401 Unauthorized");  // cat:six
    EXPECT_EQ(as("Authorization: Basic dXNlcjo1NzEy\r\n"), "401 Unauthorized") << "no login key";
    EXPECT_EQ(as("Authorization: Basic !!!\r\n"), "401 Unauthorized");

    // Hashed on another thread: the request waits, counted once, and is
    // decided again when the hash is done; a full queue is answered 503.
    services.hash_checks = std::make_unique<work_pool>(1, 1);
    ASSERT_TRUE(services.users->load(file, nullptr));  // forgets the logins that passed
    for (const char* credentials : {"YW5uOmJlZQ==", "YW5uOndoeQ=="}) {  // ann:bee, ann:why
        std::string head = "GET /digits.txt HTTP/1.1\r\nHost: h\r\nAuthorization: Basic " +
                           std::string(credentials) + "\r\n\r\n";
        login_state login;
        char* next = nullptr;
        answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        ASSERT_EQ(a.what, answer::kind::waiting) << credentials;
        for (int i = 0; i < 5000 && !a.wait_for->done(); ++i)
            usleep(1000);
        ASSERT_TRUE(a.wait_for->done());
        a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        EXPECT_STREQ(a.status, login.authorized ? "200 OK" : "401 Unauthorized");
        EXPECT_EQ(login.authorized, credentials == std::string("YW5uOmJlZQ==")) << credentials;
        EXPECT_EQ(login.a_counter, 1) << credentials;
    }
    services.hash_checks = std::make_unique<work_pool>(1, 0);
    std::string head =
        "GET /digits.txt HTTP/1.1\r\nHost: h\r\nAuthorization: Basic "
        "Ym9iOndoeQ==\r\n\r\n";
    login_state login;
    char* next = nullptr;
    answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
    EXPECT_STREQ(a.status, "503 Service Unavailable");
    EXPECT_EQ(a.extra_headers, "Retry-After: 1\r\nConnection: close\r\n");
    EXPECT_EQ(login.a_counter, 0) << "an attempt that was not checked is not counted";
}

// The fields of the modern forms, each only with its key: the date of the
// answer, and a charset for types of text.
TEST_F(Responder, DateAndCharsetOnlyWithTheirKeys) {
    site.content_types = {{"txt", "text/plain"}, {"csv", "text/csv; charset=latin1"}};
    std::ofstream(root / "sheet.csv") << "a,b";
    EXPECT_EQ(field(ask(""), "Date"), "(none)");
    EXPECT_EQ(field(ask(""), "Content-Type"), "text/plain");
    site.date_field = true;
    site.charset = "utf-8";
    long when = 0;
    EXPECT_TRUE(parse_http_time(field(ask(""), "Date"), &when));
    EXPECT_LE(std::labs(when - static_cast<long>(time(nullptr))), 2);
    EXPECT_NE(field(ask("", "/missing"), "Date"), "(none)") << "every answer";
    static time_t clock_now = 1235927109;
    services.wall_clock = [] { return clock_now; };
    EXPECT_EQ(field(ask(""), "Date"), "Sun, 01 Mar 2009 17:05:09 GMT");
    ++clock_now;
    EXPECT_EQ(field(ask(""), "Date"), "Sun, 01 Mar 2009 17:05:10 GMT") << "the next second";
    EXPECT_EQ(field(ask("", "/missing"), "Date"), "Sun, 01 Mar 2009 17:05:10 GMT");
    EXPECT_EQ(field(ask(""), "Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(field(ask("", "/sheet.csv"), "Content-Type"), "text/csv; charset=latin1");
    std::ofstream(root / "data.bin") << "x";
    EXPECT_EQ(field(ask("", "/data.bin"), "Content-Type"), "application/octet-stream");
}

TEST_F(Responder, WithoutTheKeysTheFieldsChangeNothing) {
    const std::string plain = ask("");
    EXPECT_EQ(plain,
              "HTTP/1.1 200 OK\r\nLast-Modified: " + modified +
                  "\r\nContent-Type: application/octet-stream\r\nContent-Length: 1000\r\n\r\n" +
                  digits);
    for (const std::string& fields :
         std::vector<std::string>{"Range: bytes=0-0\r\n", "Range: bytes=5000-\r\n",
                                  "If-None-Match: *\r\n", "If-Modified-Since: " + modified + "\r\n",
                                  "Range: bytes=0-1\r\nIf-Range: " + modified + "\r\n"}) {
        EXPECT_EQ(ask(fields), plain) << fields;
    }
}

TEST_F(Responder, LargeBodiesComeFromTheFileOnlyWithTheKey) {
    room = 600;
    EXPECT_EQ(status_of(ask("")), "HTTP/1.1 500 Internal Server Error");
    site.large_files = true;
    EXPECT_EQ(body_of(ask("")), digits);
    site.ranges = true;
    EXPECT_EQ(body_of(ask("Range: bytes=100-899\r\n")), digits.substr(100, 800));
    EXPECT_EQ(ask("", "/digits.txt", "HEAD"), ask("").substr(0, ask("").find("\r\n\r\n") + 4));
}

// Which bodies that fit the buffer still go from the file: the sizes where
// sendfile costs less than the copy, and never over TLS.
TEST_F(Responder, BodiesOfSomeSizesGoFromTheFileEvenWhenTheyFit) {
    struct row {
        off_t size;
        bool tls;
        bool from_file;
    };
    const row rows[] = {{8 * 1024, false, false},   {8 * 1024 + 1, false, true},
                        {64 * 1024, false, true},   {64 * 1024 + 1, false, false},
                        {512 * 1024, false, false}, {512 * 1024 + 1, false, true},
                        {64 * 1024, true, false},   {512 * 1024 + 1, true, true}};
    site.large_files = true;
    std::vector<char> buffer(static_cast<size_t>(room));
    for (const row& r : rows) {
        site.tls = r.tls;
        answer a;
        a.what = answer::kind::file;
        a.status = status_200;
        a.file_name = "f.bin";
        a.body_length = r.size;
        const written w = write_answer(context(), a, buffer.data(), room);
        EXPECT_EQ(w.body_from_file, r.from_file) << r.size << " tls: " << r.tls;
    }
}

// A file kept open between requests is served as it is now: written in
// place, replaced by a rename, or gone.
TEST_F(Responder, AFileKeptOpenIsServedAsItIsNow) {
    services.open_files = open_file_cache(4);
    const fs::path kept = root / "kept.txt";
    std::ofstream(kept, std::ios::binary) << "first";
    EXPECT_EQ(body_of(ask("", "/kept.txt")), "first");
    EXPECT_EQ(body_of(ask("", "/kept.txt")), "first");
    std::ofstream(kept, std::ios::binary) << "again";
    EXPECT_EQ(body_of(ask("", "/kept.txt")), "again");
    std::ofstream(root / "new.txt", std::ios::binary) << "replaced";
    fs::rename(root / "new.txt", kept);
    EXPECT_EQ(body_of(ask("", "/kept.txt")), "replaced");
    fs::remove(kept);
    EXPECT_EQ(status_of(ask("", "/kept.txt")), "HTTP/1.1 404 Not Found");
}

// A directory without its index file: 404 as always, or its listing with the
// key, answered like a file of the page's size.
TEST_F(Responder, ADirectoryWithoutItsIndexIsListedOnlyWithTheKey) {
    EXPECT_EQ(ask("", "/"),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n"
              "Content-Length: 13\r\n\r\n404 Not Found");
    site.listing = true;
    const std::string page = ask("", "/");
    EXPECT_EQ(field(page, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(body_of(page).find(">digits.txt</a>"), std::string::npos) << page;
    EXPECT_EQ(field(page, "Content-Length"), std::to_string(body_of(page).size()));
    EXPECT_EQ(field(ask("", "/?format=json"), "Content-Type"), "application/json");
    room = 600;  // the page does not fit: 500, unless it is sent from its file
    EXPECT_EQ(status_of(ask("", "/")), "HTTP/1.1 500 Internal Server Error");
    site.large_files = true;
    EXPECT_EQ(body_of(ask("", "/")), body_of(page));
}

// What a listing hides is not served by name either; the file beside the
// executable, without the key, serves such names as it always did.
TEST_F(Responder, HiddenNamesAreNotServedWhereTheListingHidesThem) {
    fs::create_directories(root / ".git");
    std::ofstream(root / ".git" / "config") << "secret";
    std::ofstream(root / ".env") << "secret";
    struct row {
        bool hide;
        const char* target;
        const char* status;
    };
    const row rows[] = {
        {false, "/.env", "HTTP/1.1 200 OK"},
        {false, "/.git/config", "HTTP/1.1 200 OK"},
        {true, "/.env", "HTTP/1.1 404 Not Found"},
        {true, "/.git/config", "HTTP/1.1 404 Not Found"},
        {true, "/.git/", "HTTP/1.1 404 Not Found"},
        {true, "/x/../.env", "HTTP/1.1 404 Not Found"},
        {true, "/digits.txt", "HTTP/1.1 200 OK"},
    };
    for (const row& r : rows) {
        site.hide_dot_names = r.hide;
        EXPECT_EQ(status_of(ask("", r.target)), r.status) << r.target << " hidden: " << r.hide;
    }
}

// With authentication off, a Host that is not one of the server's names is
// another site's name led here (DNS rebinding): nothing is read or stored
// through it. With authentication on, the login guards, and any Host is
// served; the same-site rule of uploads takes only the server's own names.
TEST_F(Responder, AHostOfAnotherSiteIsMisdirectedWhileAuthenticationIsOff) {
    site.server_names = {"localhost", "127.0.0.1", "::1", "share.example"};
    site.upload = true;
    site.expected_credentials = "dXNlcjo1NzEy";  // user:5712
    struct row {
        bool authentication;
        const char* host;
        const char* status;
    };
    const row rows[] = {
        {false, "rebind.attacker.example", "HTTP/1.1 421 Misdirected Request"},
        {false, "rebind.attacker.example:8080", "HTTP/1.1 421 Misdirected Request"},
        {false, "localhost:8080", "HTTP/1.1 200 OK"},
        {false, "LOCALHOST.", "HTTP/1.1 200 OK"},
        {false, "[::1]:8080", "HTTP/1.1 200 OK"},
        {false, "127.0.0.1", "HTTP/1.1 200 OK"},
        {false, "share.example", "HTTP/1.1 200 OK"},
        {true, "rebind.attacker.example", "HTTP/1.1 200 OK"},
    };
    for (const row& r : rows) {
        site.login = r.authentication ? "user" : "";
        site.password = r.authentication ? "5712" : "";
        const std::string head = "GET /digits.txt HTTP/1.1\r\nHost: " + std::string(r.host) +
                                 "\r\nAuthorization: Basic dXNlcjo1NzEy\r\n\r\n";
        std::string text = head;
        login_state login;
        char* next = nullptr;
        answer a = respond(context(), &login, text.data(), text.data() + text.size(), &next);
        std::vector<char> buffer(4096);
        written w = write_answer(context(), a, buffer.data(), 4096);
        EXPECT_EQ(status_of(std::string(buffer.data(), static_cast<size_t>(w.length))), r.status)
            << r.host << " authentication: " << r.authentication;
    }
    site.login = "user";
    site.password = "5712";
    for (const std::string host : {"rebind.attacker.example", "localhost"}) {
        std::string head = "PUT /new.txt HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                           "\r\nContent-Length: 1\r\n\r\n";
        login_state login;
        login.authorized = true;
        char* next = nullptr;
        answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        EXPECT_EQ(a.what == answer::kind::body, host == "localhost") << host;
    }
}

// Each user may do what the key rights gives them, a user it does not name
// what upload gives; a public share is read without a login, and written
// only with one.
TEST_F(Responder, RightsGiveEachUserWhatTheyMayDo) {
    site.webdav = true;
    site.login = "user";
    site.password = "5712";
    site.expected_credentials = "dXNlcjo1NzEy";  // user:5712
    site.rights = {{"alice", share_access::change}, {"bob", share_access::read}};
    std::ofstream(root / "old.txt") << "old";
    struct row {
        const char* user;  // null: no login
        const char* method;
        const char* target;
        bool upload_key;
        bool public_read;
        const char* status;  // "body": the request's body is taken
        const char* fields = "";
    };
    const row rows[] = {
        {"bob", "PUT", "/new.txt", true, false, "403 Forbidden"},
        {"carol", "DELETE", "/old.txt", true, false, "403 Forbidden"},
        {"carol", "MOVE", "/old.txt", true, false, "403 Forbidden", "Destination: /moved.txt\r\n"},
        {"carol", "COPY", "/digits.txt", true, false, "403 Forbidden", "Destination: /old.txt\r\n"},
        {"carol", "COPY", "/digits.txt", true, false, "201 Created", "Destination: /copy.txt\r\n"},
        {"bob", "GET", "/digits.txt", true, false, "200 OK"},
        {"carol", "PUT", "/new.txt", true, false, "body"},
        {"carol", "PUT", "/new.txt", false, false, "403 Forbidden"},
        {"alice", "PUT", "/new.txt", false, false, "body"},
        {"alice", "PUT", "/old.txt", false, false, "body"},
        {"carol", "PROPPATCH", "/", false, false, "403 Forbidden"},
        {"bob", "OPTIONS", "/", false, false, "200 OK"},
        {nullptr, "GET", "/digits.txt", false, true, "200 OK"},
        {nullptr, "PUT", "/new.txt", true, true, "401 Unauthorized"},
        {nullptr, "GET", "/digits.txt", false, false, "401 Unauthorized"},
    };
    for (const row& r : rows) {
        site.upload = r.upload_key;
        site.public_read = r.public_read;
        std::string head = std::string(r.method) + " " + r.target +
                           " HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n" + r.fields + "\r\n";
        login_state login;
        login.authorized = r.user != nullptr;
        login.user = r.user != nullptr ? r.user : "";
        char* next = nullptr;
        answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        const std::string got = a.what == answer::kind::body ? "body" : a.status;
        EXPECT_EQ(got, r.status) << (r.user ? r.user : "nobody") << " " << r.method << " "
                                 << r.target << (r.upload_key ? " with upload=1" : "");
    }
    // OPTIONS names only what the user may send: a client mounts read-only
    // where the user may only read.
    for (const auto& [user, allowed] : {std::pair{"bob", "Allow: GET, HEAD, OPTIONS, PROPFIND\r\n"},
                                        {"alice",
                                         "Allow: GET, HEAD, PUT, POST, OPTIONS, PROPFIND, "
                                         "PROPPATCH, MKCOL, DELETE, COPY, MOVE, LOCK, "
                                         "UNLOCK\r\n"}}) {
        std::string head = "OPTIONS / HTTP/1.1\r\nHost: h\r\n\r\n";
        login_state login;
        login.authorized = true;
        login.user = user;
        char* next = nullptr;
        const answer a = respond(context(), &login, head.data(), head.data() + head.size(), &next);
        EXPECT_EQ(a.extra_headers.substr(0, a.extra_headers.find("\r\n") + 2), allowed) << user;
    }
}

// A browser's refused request is a page that says why and leads back to the
// folder, where the site lists folders or takes uploads; any other client,
// and any other site, gets the short text, and other statuses stay text.
TEST_F(Responder, BrowsersAreRefusedWithPagesOnlyWhereTheSiteServesThem) {
    const std::string browser = "Accept: text/html,application/xhtml+xml,*/*;q=0.8\r\n";
    const std::string form = "Content-Type: multipart/form-data; boundary=b\r\n";
    struct row {
        bool listing, upload, webdav;
        std::string fields;
        const char* method;
        std::string target;
        const char* status;
        bool page;
    };
    const row rows[] = {
        {true, true, false, browser + "Content-Length: 9\r\n", "POST", "/", "400 Bad Request",
         true},
        {true, true, false, "Accept: */*\r\nContent-Length: 9\r\n", "POST", "/", "400 Bad Request",
         false},
        {false, true, false, browser + form + "Content-Length: 99999\r\n", "POST", "/",
         "413 Payload Too Large", true},
        {false, false, true, browser + form + "Content-Length: 9\r\n", "POST", "/", "403 Forbidden",
         false},
        {true, false, true, browser + form + "Content-Length: 9\r\n", "POST", "/", "403 Forbidden",
         true},
        {true, false, false, browser + "Accept-Language: en\r\n", "GET", "/x/../../a",
         "403 Forbidden", true},
        {true, false, false, "Accept: application/json, text/html\r\n", "GET", "/x/../../a",
         "403 Forbidden", false},
        {true, false, false, browser, "GET", "/missing.txt", "404 Not Found", false},
        {true, false, false, browser, "GET", "/?q=%zz", "400 Bad Request", true},
        {true, false, false, browser, "GET", "/?q=" + std::string(300, 'q'), "400 Bad Request",
         true},
        {true, false, false, "", "GET", "/?q=%zz", "400 Bad Request", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.method + (" " + r.target) + "\n" + r.fields);
        site.listing = r.listing;
        site.upload = r.upload;
        site.webdav = r.webdav;
        site.upload_max = 1000;
        const std::string got = ask(r.fields, r.target, r.method);
        EXPECT_EQ(status_of(got), std::string("HTTP/1.1 ") + r.status);
        EXPECT_EQ(field(got, "Content-Type").starts_with("text/html"), r.page);
        EXPECT_EQ(body_of(got).find("<a href=\"/\">Back to the folder</a>") != std::string::npos,
                  r.page);
    }
    room = 300;  // a page that does not fit: the short text instead
    site.listing = true;
    EXPECT_EQ(field(ask(browser, "/x/../../a"), "Content-Type"), "text/plain");
    EXPECT_EQ(status_of(ask(browser, "/x/../../a")), "HTTP/1.1 403 Forbidden");
}

// The listing is built knowing the user's access: its script offers only
// what that user may do.
TEST_F(Responder, TheListingOffersWhatTheUserMayDo) {
    site.listing = site.webdav = site.decode_path = true;
    const struct {
        share_access rights;
        const char* body;
    } rows[] = {
        {share_access::read, "<body data-can=\"download\">"},
        {share_access::create, "<body data-can=\"download upload folders\">"},
        {share_access::replace, "<body data-can=\"download upload replace folders\">"},
        {share_access::change, "<body data-can=\"download upload replace folders change\">"},
    };
    for (const auto& r : rows) {
        site.rights = {{"*", r.rights}};
        EXPECT_NE(body_of(ask("", "/")).find(r.body), std::string::npos) << r.body;
    }
    // An anonymous reader of a public share may only read, whatever "*" may do.
    site.public_read = true;
    site.login = "user";
    site.password = "5712";
    site.expected_credentials = "dXNlcjo1NzEy";
    std::string head = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
    login_state nobody;
    char* next = nullptr;
    answer a = respond(context(), &nobody, head.data(), head.data() + head.size(), &next);
    std::vector<char> buffer(static_cast<size_t>(room));
    const written w = write_answer(context(), a, buffer.data(), room);
    ASSERT_GT(w.length, 0);
    EXPECT_NE(std::string(buffer.data(), static_cast<size_t>(w.length))
                  .find("<body data-can=\"download\">\n"),
              std::string::npos);
}

// A request that changes something is taken only from a page of this site,
// or from no page at all. The scheme is part of the origin, and a port may
// be left out only where it is its scheme's default.
TEST(SameSiteRule, OriginAndSecFetchSite) {
    using value = std::optional<std::string_view>;
    struct row {
        bool tls;
        value host;
        value origin;
        value fetch_site;
        bool accepted;
        // What a trusted proxy tells of the browser's view.
        const char* seen_scheme = "";
        const char* seen_host = "";
    };
    const row rows[] = {
        {false, "h", {}, {}, true},  // a script or a command-line client
        {false, "h", "http://h", {}, true},
        {false, "h:8080", "http://H:8080", {}, true},
        {false, "h", "http://h:80", {}, true},
        {false, "h:80", "http://h", {}, true},
        {true, "h", "https://h:443", {}, true},
        {true, "h:443", "https://h", {}, true},
        {false, "h", "http://h:8080", {}, false},
        {false, "h", "https://h", {}, false},
        {true, "h", "http://h", {}, false},
        {false, "h", "http://h:443", {}, false},
        {false, "h:443", "http://h", {}, false},
        {true, "h", "https://h:80", {}, false},
        {true, "h:80", "https://h", {}, false},
        {false, "h", "http://other", {}, false},
        {false, "h", "null", {}, false},
        {false, {}, "http://h", {}, false},
        {false, "h", "http://h", "same-origin", true},
        {false, "h", {}, "Same-Origin", true},
        {false, "h", {}, "none", true},  // the user typed the address
        {false, "h", {}, "same-site", false},
        {false, "h", {}, "cross-site", false},
        {false, "h", "http://h", "cross-site", false},
        // Behind a proxy with TLS, the browser's origin is the proxy's.
        {false, "127.0.0.1:8080", "https://files.example", "same-origin", true, "https",
         "files.example"},
        {false, "h", "https://h", {}, true, "https"},
        {false, "h", "https://h:8443", {}, true, "https", "h:8443"},
        {false, "127.0.0.1:8080", "http://127.0.0.1:8080", {}, false, "https", "files.example"},
        {false, "127.0.0.1:8080", "https://127.0.0.1:8080", {}, false, "https", "files.example"},
    };
    for (const row& r : rows) {
        site_policy site;
        site.tls = r.tls;
        request req;
        req.head.host = r.host;
        req.head.origin = r.origin;
        req.head.sec_fetch_site = r.fetch_site;
        req.seen_scheme = r.seen_scheme;
        req.seen_host = r.seen_host;
        EXPECT_EQ(from_this_site(site, req), r.accepted)
            << (r.tls ? "https site, Host " : "http site, Host ") << r.host.value_or("(none)")
            << ", Origin " << r.origin.value_or("(none)") << ", Sec-Fetch-Site "
            << r.fetch_site.value_or("(none)");
    }
}

}  // namespace
