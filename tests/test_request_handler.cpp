// The request handler in-process: a node on one end of a socket pair,
// stepped by hand, with the test as the client on the other end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/connection.h"
#include "engine/platform.h"
#include "http/proxy_utils.h"
#include "log/printf_ex.h"

namespace {

namespace fs = std::filesystem;

class test_node : public simple_server_node {
  public:
    test_node(const site_policy* site, site_services* services)
        : simple_server_node(site, services) {}
    using simple_server_node::to_transfer;
    const int& a_counter = login.a_counter;
    const bool& authorized = login.authorized;
    using simple_server_node::job_timeout;

    int sends_done = 0;
    int last_send_size = 0;

    void result_proc() override {
        if (get_job() == _send && get_result() == success) {
            ++sends_done;
            last_send_size = to_transfer;
        }
        simple_server_node::result_proc();
    }
};

struct response {
    std::string status_line;
    std::string headers;  // the header lines after the status line, each with its CR LF
    std::string body;
};

// Splits a stream of responses by their Content-Length fields.
std::vector<response> split_responses(const std::string& stream) {
    std::vector<response> responses;
    size_t at = 0;
    while (at < stream.size()) {
        size_t head_end = stream.find("\r\n\r\n", at);
        if (head_end == std::string::npos) break;
        size_t line_end = stream.find("\r\n", at);
        response r;
        r.status_line = stream.substr(at, line_end - at);
        r.headers = stream.substr(line_end + 2, head_end + 2 - (line_end + 2));
        std::smatch match;
        size_t length = 0;
        if (std::regex_search(r.headers, match, std::regex("Content-Length: (\\d+)\r\n"))) {
            length = std::stoul(match[1]);
        }
        r.body = stream.substr(head_end + 4, length);
        responses.push_back(r);
        at = head_end + 4 + length;
    }
    return responses;
}

std::string basic(const std::string& credentials) {
    return "Basic " + base64_encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                                    static_cast<unsigned>(credentials.size()));
}

// The Authorization field line for the default login.
std::string good_auth() {
    return "Authorization: " + basic("user:5712") + "\r\n";
}

std::string get(const std::string& target, const std::string& fields = good_auth()) {
    return "GET " + target + " HTTP/1.1\r\nHost: h:8080\r\n" + fields + "\r\n";
}

class RequestHandler : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root = fs::temp_directory_path() / ("websrv-handler-" + std::to_string(getpid()));
        fs::create_directories(root / "docs");
        fs::create_directories(root / "other");
        fs::create_directories(root / "sub");
        fs::create_directories(root / "a\\b");
        fs::create_directories(root / "@scope");
        fs::create_directory_symlink(".", root / "www");
        fs::create_directory_symlink("..", root / "sub" / "up");
        write(root / "index.htm", "<p>home</p>");
        write(root / "docs" / "index.htm", "<p>docs</p>");
        write(root / "a.txt", "alpha");
        write(root / "script.js", "run();");
        write(root / "empty.htm", "");
        write(root / "big.bin", std::string(1000, 'b'));
        write(root / "logo@2x.png", "png");
        write(root / "@scope" / "lib.js", "lib();");
        write(root / "my file.txt", "spaced");
        write(root.parent_path() / ("secret-" + std::to_string(getpid())), "secret");
        mkfifo((root / "pipe").c_str(), 0644);
    }
    static void TearDownTestSuite() {
        fs::remove_all(root);
        fs::remove(root.parent_path() / ("secret-" + std::to_string(getpid())));
    }
    static void write(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    void SetUp() override {
        config.exe_name = "/opt/websrv/websrv.bin";
        config.site.login = "user";
        config.site.password = "5712";
        config.site.root = root.string() + "/";
        config.site.sizeof_in = 10240;
        config.site.sizeof_out = 1048576;
        config.site.content_types.clear();
        config.site.decode_path = false;
        config.site.index_name = "index.htm";
        config.site.http10 = false;
        config.site.head = false;
        config.site.large_files = false;
        config.site.listing = false;
        config.site.upload = false;
        printf_ex_enabled(false);
    }
    void TearDown() override {
        node.reset();
        if (peer != -1) close(peer);
        printf_ex_enabled(true);
    }

    // A fresh connection: the node on one end, the test on the other, which
    // the node takes for `peer_ip` (IPv4 or IPv6), port 40000.
    void connect(const char* peer_ip = "127.0.0.1") {
        node.reset();
        if (peer != -1) close(peer);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        enable_nonblocking_mode(fds[0], true);
        enable_nonblocking_mode(fds[1], true);
        assemble_site(config, &site, &services);
        site.log_form = log_form;
        node = std::make_unique<test_node>(&site, &services);
        sockaddr_storage peer_address{};
        auto& v4 = reinterpret_cast<sockaddr_in&>(peer_address);
        auto& v6 = reinterpret_cast<sockaddr_in6&>(peer_address);
        if (inet_pton(AF_INET, peer_ip, &v4.sin_addr) == 1) {
            v4.sin_family = AF_INET;
            v4.sin_port = htons(40000);
        } else {
            ASSERT_EQ(inet_pton(AF_INET6, peer_ip, &v6.sin6_addr), 1) << peer_ip;
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(40000);
        }
        ASSERT_TRUE(prepare_server_node(node.get(), fds[0], peer_address));
        node->after_connect();
        peer = fds[1];
    }

    // Sends `request` and steps the node until it has answered or closed.
    // Returns everything the node sent.
    std::string exchange(const std::string& request) {
        if (!node) connect();
        EXPECT_EQ(::write(peer, request.data(), request.size()), (ssize_t)request.size());
        int sends_before = node->sends_done;
        for (int step = 0; step < 1000 && node->connected() && node->sends_done == sends_before;
             ++step) {
            step_node(*node);
        }
        std::string received;
        read_available(&received);
        return received;
    }

    // Appends what the node has sent so far and not yet read.
    void read_available(std::string* received) {
        char chunk[65536];
        for (ssize_t n; (n = read(peer, chunk, sizeof chunk)) > 0;)
            received->append(chunk, n);
    }

    std::vector<response> answers(const std::string& request) {
        return split_responses(exchange(request));
    }

    static fs::path root;
    configuration config;
    log_format log_form = log_format::spec;
    site_policy site;
    site_services services;
    std::unique_ptr<test_node> node;
    int peer = -1;
};

fs::path RequestHandler::root;

TEST_F(RequestHandler, UnauthenticatedRequestGetsTheRealm) {
    EXPECT_EQ(exchange("GET / HTTP/1.1\r\nHost: h\r\n\r\n"),
              "HTTP/1.1 401 Unauthorized\r\n"
              "WWW-Authenticate: Basic realm=\"websrv\"\r\n"
              "Content-Type: text/plain\r\nContent-Length: 16\r\n\r\n401 Unauthorized");
    EXPECT_EQ(node->a_counter, 1);
    EXPECT_TRUE(node->connected());
}

TEST_F(RequestHandler, FourAttemptsThenForbiddenEvenWithGoodCredentials) {
    for (int attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_EQ(answers(get("/a.txt", "")).at(0).status_line, "HTTP/1.1 401 Unauthorized");
    }
    EXPECT_EQ(answers(get("/a.txt")).at(0).status_line, "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(node->a_counter, 4);
    EXPECT_FALSE(node->authorized);

    connect();
    for (int attempt = 1; attempt <= 3; ++attempt)
        answers(get("/a.txt", ""));
    EXPECT_EQ(answers(get("/a.txt")).at(0).body, "alpha") << "the fourth attempt still counts";
    EXPECT_EQ(answers(get("/a.txt", "")).at(0).body, "alpha") << "and holds from then on";
}

TEST_F(RequestHandler, CredentialsAreComparedExactly) {
    struct row {
        const char* description;
        std::string request;
        bool served;
    };
    const std::vector<row> rows = {
        {"Authorization field", get("/a.txt"), true},
        {"user information in the target", get("http://user:5712@h/a.txt", ""), true},
        {"lower-case field name", get("/a.txt", "authorization: " + basic("user:5712") + "\r\n"),
         true},
        {"lower-case scheme word, no space after the colon",
         get("/a.txt", "Authorization:basic " + basic("user:5712").substr(6) + "\r\n"), true},
        {"spaces and tabs around the value and after the scheme",
         get("/a.txt", "AUTHORIZATION: \tBasic \t" + basic("user:5712").substr(6) + " \t\r\n"),
         true},
        {"a space before the colon",
         get("/a.txt", "Authorization : " + basic("user:5712") + "\r\n"), false},
        {"another scheme",
         get("/a.txt", "Authorization: Bearer " + basic("user:5712").substr(6) + "\r\n"), false},
        {"wrong password", get("/a.txt", "Authorization: " + basic("user:5713") + "\r\n"), false},
        {"wrong password in the target", get("http://user:x@h/a.txt", ""), false},
        {"the target's credentials count, not the field's",
         get("http://user:x@h/a.txt", good_auth()), false},
        {"right in the target, wrong in the field",
         get("http://user:5712@h/a.txt", "Authorization: " + basic("user:5713") + "\r\n"), true},
        {"a true prefix of the right password",
         get("/a.txt", "Authorization: " + basic("user:571") + "\r\n"), false},
        {"the right password and more", get("http://user:57123@h/a.txt", ""), false},
        {"a true prefix of the right login", get("http://use:5712@h/a.txt", ""), false},
    };
    for (const row& r : rows) {
        connect();
        auto got = answers(r.request);
        ASSERT_EQ(got.size(), 1u) << r.description;
        EXPECT_EQ(got[0].status_line, r.served ? "HTTP/1.1 200 OK" : "HTTP/1.1 401 Unauthorized")
            << r.description;
    }
}

TEST_F(RequestHandler, EmptyLoginAndPasswordNeedNoCredentials) {
    config.site.login = "";
    config.site.password = "";
    for (const std::string& fields : {std::string(), good_auth()}) {
        connect();
        EXPECT_EQ(answers(get("/a.txt", fields)).at(0).body, "alpha");
        EXPECT_TRUE(node->authorized);
    }
    connect();
    EXPECT_EQ(answers(get("http://x:y@h/a.txt", "")).at(0).body, "alpha");
}

TEST_F(RequestHandler, ServesFilesWithDateTypeAndLength) {
    auto got = answers(get("/script.js"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status_line, "HTTP/1.1 200 OK");
    struct stat info {};
    stat((root / "script.js").c_str(), &info);
    EXPECT_EQ(got[0].headers, "Last-Modified: " + http_time_str(info.st_mtime) +
                                  "\r\nContent-Type: application/javascript\r\n"
                                  "Content-Length: 6\r\n");
    EXPECT_EQ(got[0].body, "run();");

    EXPECT_EQ(answers(get("/")).at(0).body, "<p>home</p>");
    EXPECT_EQ(answers(get("/docs/")).at(0).body, "<p>docs</p>");
    auto empty = exchange(get("/empty.htm"));
    EXPECT_NE(empty.find("Content-Type: text/html\r\nContent-Length: 0\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(empty.substr(empty.size() - 4), "\r\n\r\n") << "no body";
}

TEST_F(RequestHandler, DirectoriesAreRedirectedWithHostQueryAndFragment) {
    struct row {
        std::string request;
        std::string location;
    };
    const std::vector<row> rows = {
        {get("/docs"), "http://h:8080/docs/"},
        {get("/docs?x=1&y=2#top"), "http://h:8080/docs/?x=1&y=2#top"},
        {"GET /docs HTTP/1.1\r\n" + good_auth() + "\r\n", "http:///docs/"},
        {get("http://user:5712@h/other", ""), "http://user:5712@h:8080/other/"},
        {"GET /docs HTTP/1.1\r\nhost:h\r\n" + good_auth() + "\r\n", "http://h/docs/"},
        {"GET /docs HTTP/1.1\r\nHOST: \th:81 \r\n" + good_auth() + "\r\n", "http://h:81/docs/"},
        {get("/docs/../docs"), "http://h:8080/docs/../docs/"},
        // Dot steps that end on a directory name it without its "/".
        {get("/docs/.."), "http://h:8080/docs/../"},
        {get("/docs/."), "http://h:8080/docs/./"},
        {get("/."), "http://h:8080/./"},
    };
    for (const row& r : rows) {
        connect();
        auto got = answers(r.request);
        ASSERT_EQ(got.size(), 1u) << r.request;
        EXPECT_EQ(got[0].status_line, "HTTP/1.1 302 Found");
        EXPECT_EQ(got[0].headers, "Location: " + r.location +
                                      "\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n");
        EXPECT_EQ(got[0].body, "302 Found");
    }
}

TEST_F(RequestHandler, RefusesMissingClimbingAndUnservableFiles) {
    std::string secret = "secret-" + std::to_string(getpid());
    struct row {
        std::string target;
        std::string status;
    };
    const std::vector<row> rows = {
        {"/missing.htm", "404 Not Found"},
        {"/../" + secret, "403 Forbidden"},
        {"/docs/../../" + secret, "403 Forbidden"},
        {"//../" + secret, "403 Forbidden"},
        {"/.//../" + secret, "403 Forbidden"},
        {"/docs/..%2F" + secret, "404 Not Found"},
        {"/big.bin", "200 OK"},
        {"/pipe", "500 Internal Server Error"},
        {"/docs/../a.txt", "200 OK"},
        {"/docs/./..//a.txt", "200 OK"},
        // Links to shallower places inside the root, and a backslash in a name:
        // the kernel would resolve each ".." after the link, or not at all.
        {"/www/a.txt", "200 OK"},
        {"/www/www/../../" + secret, "404 Not Found"},
        {"/sub/up/../" + secret, "404 Not Found"},
        {"/a\\b/../a\\b/../../" + secret, "403 Forbidden"},
        // "@" and "://" are ordinary characters of an origin-form target.
        {"/logo@2x.png", "200 OK"},
        {"/@scope/lib.js", "200 OK"},
        {"/a.txt?mail=me@example.com", "200 OK"},
        {"/a.txt?next=http://x/", "200 OK"},
        {"http://h/logo@2x.png", "200 OK"},
    };
    for (const row& r : rows) {
        connect();
        auto got = answers(get(r.target));
        ASSERT_EQ(got.size(), 1u) << r.target;
        EXPECT_EQ(got[0].status_line, "HTTP/1.1 " + r.status) << r.target;
    }
}

TEST_F(RequestHandler, AFileThatDoesNotFitIsAnswered500) {
    config.site.sizeof_out = 600;
    auto got = answers(get("/big.bin"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status_line, "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(got[0].body, "500 Internal Server Error");
}

TEST_F(RequestHandler, AFileShorterThanItsSizeIsAnswered500) {
    // Files under /sys report a size of a page but deliver only their text.
    const char* short_file = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat info {};
    if (stat(short_file, &info) != 0 || info.st_size < 4096) GTEST_SKIP() << "no such file here";
    fs::create_symlink(short_file, root / "short");
    auto got = answers(get("/short"));
    fs::remove(root / "short");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status_line, "HTTP/1.1 500 Internal Server Error");
}

TEST_F(RequestHandler, PipelinedRequestsAreAnsweredInOrderInOneSend) {
    std::string stream = exchange(get("/a.txt") + get("/missing") + get("/script.js"));
    auto got = split_responses(stream);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].body, "alpha");
    EXPECT_EQ(got[1].status_line, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(got[2].body, "run();");
    EXPECT_EQ(node->sends_done, 1);
    EXPECT_EQ(node->last_send_size, static_cast<int>(stream.size()));
    EXPECT_EQ(answers(get("/a.txt", "")).at(0).body, "alpha") << "the connection stays open";
}

TEST_F(RequestHandler, RequestsBehindABodySentFromItsFileAreAnsweredInOrder) {
    config.site.large_files = true;
    const std::string large(100000, 'L');
    write(root / "large.bin", large);
    // Heads longer than the headers of their answers: where the rest of the
    // group ends does not depend on how much an answer's send moved.
    const std::string fields = good_auth() + "X-Padding: " + std::string(300, 'p') + "\r\n";
    const std::string group =
        get("/large.bin", fields) + get("/large.bin", fields) + get("/script.js", fields);
    connect();
    ASSERT_EQ(::write(peer, group.data(), group.size()), static_cast<ssize_t>(group.size()));
    std::string received;
    for (int step = 0; step < 1000 && node->connected() && node->sends_done < 3; ++step) {
        step_node(*node);
        read_available(&received);
    }
    fs::remove(root / "large.bin");
    auto got = split_responses(received);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].body, large);
    EXPECT_EQ(got[1].body, large);
    EXPECT_EQ(got[2].body, "run();");
    EXPECT_TRUE(node->connected());
}

// Bodies made as they are sent (a WebDAV folder's properties in chunks, the
// parts of several ranges) follow their header whole, through a response
// buffer of any size that holds the header, and what comes behind them is
// answered after them.
TEST_F(RequestHandler, BodiesMadeAsTheyAreSentGoOutWholeThroughAnyBuffer) {
    config.site.webdav = true;
    config.site.ranges = true;
    const std::string body = "<propfind xmlns='DAV:'><prop><resourcetype/></prop></propfind>";
    const std::string propfind = "PROPFIND /docs/ HTTP/1.1\r\nHost: h\r\n" + good_auth() +
                                 "Depth: 1\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\n\r\n" + body;
    const std::string ranges = get("/big.bin", good_auth() + "Range: bytes=0-0,500-509\r\n");
    for (int size : {1048576, 3000, 600}) {
        config.site.sizeof_out = size;
        const std::string at = "response buffer " + std::to_string(size);
        connect();
        const std::string group = propfind + ranges + get("/a.txt");
        ASSERT_EQ(::write(peer, group.data(), group.size()), static_cast<ssize_t>(group.size()));
        std::string received;
        for (int step = 0; step < 1000 && node->connected() && !received.ends_with("alpha");
             ++step) {
            step_node(*node);
            read_available(&received);
        }
        const size_t chunks_end = received.find("\r\n0\r\n\r\n");
        ASSERT_NE(chunks_end, std::string::npos) << at << "\n" << received;
        const std::string multistatus = received.substr(0, chunks_end);
        EXPECT_TRUE(multistatus.starts_with("HTTP/1.1 207 Multi-Status\r\n")) << at;
        EXPECT_NE(multistatus.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << at;
        EXPECT_NE(multistatus.find("<D:href>/docs/index.htm</D:href>"), std::string::npos) << at;
        EXPECT_TRUE(multistatus.ends_with("</D:multistatus>\n")) << at;

        const auto rest = split_responses(received.substr(chunks_end + 7));
        ASSERT_EQ(rest.size(), 2u) << at << "\n" << received;
        EXPECT_EQ(rest[0].status_line, "HTTP/1.1 206 Partial Content") << at;
        EXPECT_NE(rest[0].body.find("Content-Range: bytes 500-509/1000\r\n\r\nbbbbbbbbbb\r\n--"),
                  std::string::npos)
            << at;
        EXPECT_TRUE(rest[0].body.ends_with("--\r\n")) << at << ": cut short";
        EXPECT_EQ(rest[1].body, "alpha") << at;
        EXPECT_TRUE(node->connected()) << at;
    }
}

TEST_F(RequestHandler, RejectedRequestsCloseTheConnectionWithNothingSent) {
    const std::vector<std::string> rows = {
        get("/a.txt") + "GARBAGE\r\n\r\n",
        "GET /a.txt HTTP/1.0\r\n" + good_auth() + "\r\n",
        "HEAD /a.txt HTTP/1.1\r\n" + good_auth() + "\r\n",
        "POST /a.txt HTTP/1.1\r\n" + good_auth() + "\r\n",
        get("/a.txt?novalue"),
        get("ftp://h/a.txt"),
        // Heads that announce a body: the server reads none, and a body that is
        // itself a head must not be answered as a second request.
        get("/a.txt", good_auth() + "Content-Length: 3\r\n") + "q=1",
        get("/a.txt",
            good_auth() + "content-length: " + std::to_string(get("/a.txt").size()) + "\r\n") +
            get("/a.txt"),
        get("/a.txt", "Transfer-Encoding: chunked\r\n" + good_auth()) + "0\r\n\r\n",
        // A well-formed chunked body still to come, and one that is a request.
        get("/a.txt", "Transfer-Encoding: chunked\r\n" + good_auth()),
        get("/a.txt", "Transfer-Encoding: chunked\r\n" + good_auth()) + get("/a.txt"),
        "GET /a.txt HTTP/1.1\r\n" + good_auth() + "NoColon\r\n\r\n",
        // Bytes that would break the Location line of a redirect.
        get("/docs?a=1\r\nX:y"),
        get(std::string("/docs#a\0b", 9)),
        "GET /docs HTTP/1.1\r\nHost: h\nX: y\r\n" + good_auth() + "\r\n",
        "GET /docs HTTP/1.1\r\nHost: h\rX: y\r\n" + good_auth() + "\r\n",
    };
    for (const std::string& request : rows) {
        connect();
        EXPECT_EQ(exchange(request), "") << request;
        EXPECT_FALSE(node->connected()) << request;
    }
}

TEST_F(RequestHandler, DecodedPathsNameFilesAndRedirectsKeepWhatWasSent) {
    config.site.decode_path = true;
    std::string secret = "secret-" + std::to_string(getpid());
    struct row {
        std::string target;
        std::string status_line;  // "closed": the connection closes unanswered
        std::string location;
    };
    const std::vector<row> rows = {
        {"/my%20file.txt", "HTTP/1.1 200 OK", ""},
        {"/my%2520file.txt", "HTTP/1.1 404 Not Found", ""},
        {"/a.txt?q=%G1#%", "HTTP/1.1 200 OK", ""},
        {"/docs%2F%2E%2E%2Fa.txt", "HTTP/1.1 200 OK", ""},
        {"/docs%2F..%2F..%2F" + secret, "HTTP/1.1 403 Forbidden", ""},
        {"/a%5Cb/..%5C..%5C" + secret, "HTTP/1.1 404 Not Found", ""},  // "\" is in names
        {"/%64ocs?x=%41", "HTTP/1.1 302 Found", "Location: http://h:8080/%64ocs/?x=%41\r\n"},
        {"/a%2", "closed", ""},
        {"/a%00.txt", "closed", ""},
    };
    for (const row& r : rows) {
        connect();
        std::string sent = exchange(get(r.target));
        if (r.status_line == "closed") {
            EXPECT_EQ(sent, "") << r.target;
            EXPECT_FALSE(node->connected()) << r.target;
            continue;
        }
        auto got = split_responses(sent);
        ASSERT_EQ(got.size(), 1u) << r.target;
        EXPECT_EQ(got[0].status_line, r.status_line) << r.target;
        EXPECT_EQ(got[0].headers.find("Location: ") == std::string::npos
                      ? ""
                      : got[0].headers.substr(0, got[0].headers.find("\r\n") + 2),
                  r.location)
            << r.target;
    }
}

// The header part of a response stream: up to and including its empty line.
std::string header_of(const std::string& stream) {
    return stream.substr(0, stream.find("\r\n\r\n") + 4);
}

TEST_F(RequestHandler, HeadIsAnsweredAsGetWouldBeWithoutTheBody) {
    config.site.head = true;
    struct row {
        std::string target;
        std::string fields;
        int sizeof_out;
        std::string status_line;
    };
    const std::vector<row> rows = {
        {"/a.txt", good_auth(), 1048576, "HTTP/1.1 200 OK"},
        {"/empty.htm", good_auth(), 1048576, "HTTP/1.1 200 OK"},
        {"/docs?x=1", good_auth(), 1048576, "HTTP/1.1 302 Found"},
        {"/a.txt", "", 1048576, "HTTP/1.1 401 Unauthorized"},
        {"/../a.txt", good_auth(), 1048576, "HTTP/1.1 403 Forbidden"},
        {"/missing", good_auth(), 1048576, "HTTP/1.1 404 Not Found"},
        {"/pipe", good_auth(), 1048576, "HTTP/1.1 500 Internal Server Error"},
        {"/big.bin", good_auth(), 600, "HTTP/1.1 500 Internal Server Error"},
    };
    for (const row& r : rows) {
        config.site.sizeof_out = r.sizeof_out;
        connect();
        const std::string got = exchange(get(r.target, r.fields));
        connect();
        const std::string head = "HEAD" + get(r.target, r.fields).substr(3);
        EXPECT_EQ(exchange(head), header_of(got)) << r.target;
        EXPECT_EQ(got.substr(0, got.find("\r\n")), r.status_line) << r.target;
        EXPECT_EQ(node->a_counter, 1) << "a HEAD counts as an attempt";
        EXPECT_TRUE(node->connected()) << r.target;
    }
    config.site.sizeof_out = 1048576;
    connect();
    const std::string head_then_get = "HEAD" + get("/a.txt").substr(3) + get("/a.txt");
    const std::string stream = exchange(head_then_get);
    EXPECT_EQ(stream, header_of(stream) + header_of(stream) + "alpha")
        << "the GET behind a HEAD starts where the HEAD's header ends";
    EXPECT_EQ(node->last_send_size, static_cast<int>(stream.size()));

    // Without the key an unauthenticated HEAD is still answered, and its
    // client reads no body: none may be sent, or it would open the next answer.
    config.site.head = false;
    connect();
    const std::string head_401 = "HEAD" + get("/a.txt", "").substr(3);
    for (int attempt = 1; attempt <= 5; ++attempt) {
        const std::string got = exchange(head_401);
        EXPECT_EQ(got, header_of(got)) << "attempt " << attempt;
        EXPECT_NE(got.find(attempt <= 4 ? " 401 " : " 403 "), std::string::npos) << got;
    }
}

TEST_F(RequestHandler, Http10IsAnsweredAndClosedUnlessItAsksToKeepTheConnection) {
    config.site.http10 = true;
    auto get10 = [](const std::string& target, const std::string& fields = "") {
        return "GET " + target + " HTTP/1.0\r\n" + good_auth() + fields + "\r\n";
    };
    const std::string kept = "Connection: keep-alive\r\n";
    struct row {
        const char* description;
        std::string group;
        std::vector<std::string> answers;  // each answer's fields before Content-Type
        bool stays_open;
    };
    const std::vector<row> rows = {
        {"HTTP/1.0", get10("/a.txt"), {"Last-Modified"}, false},
        {"keep-alive",
         get10("/a.txt", "Connection: keep-alive\r\n"),
         {kept + "Last-Modified"},
         true},
        {"in any letter case, among other options",
         get10("/missing", "connection: Upgrade ,\tKEEP-Alive\r\n"),
         {kept},
         true},
        {"an option that only resembles it",
         get10("/a.txt", "Connection: keep-alive2\r\n"),
         {"Last-Modified"},
         false},
        {"one HTTP/1.0 request that does not ask closes its group",
         get10("/a.txt", "Connection: Keep-Alive\r\n") + get("/missing") + get10("/docs"),
         {kept + "Last-Modified", "", "Location"},
         false},
        {"HTTP/1.1 as before", get("/a.txt"), {"Last-Modified"}, true},
        {"other versions still close", get10("/a.txt") + "GET / HTTP/0.9\r\n\r\n", {}, false},
    };
    for (const row& r : rows) {
        connect();
        std::string sent = exchange(r.group);
        auto got = split_responses(sent);
        ASSERT_EQ(got.size(), r.answers.size()) << r.description << "\n" << sent;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].status_line.substr(0, 9), "HTTP/1.1 ") << r.description;
            EXPECT_EQ(got[i].headers.rfind(r.answers[i], 0), 0u)
                << r.description << ": " << got[i].headers;
        }
        EXPECT_EQ(node->connected(), r.stays_open) << r.description;
        if (r.stays_open) {
            EXPECT_EQ(answers(get10("/a.txt", kept)).at(0).body, "alpha") << r.description;
        }
    }
}

TEST_F(RequestHandler, UnauthenticatedRequestsAreNotCheckedForMethod) {
    auto got = answers("POST /a.txt HTTP/1.1\r\n\r\n");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status_line, "HTTP/1.1 401 Unauthorized");
}

TEST_F(RequestHandler, ATinyResponseBufferIsNeverOverrun) {
    // Run in the sanitizer build too: any write past the buffer is reported there.
    for (int size : {1, 20, 100, 150, 200, 400}) {
        config.site.sizeof_out = size;
        connect();
        std::string group;
        for (int i = 0; i < 40; ++i)
            group += get(i % 2 ? "/a.txt" : "/missing");
        std::string sent = exchange(group);
        if (node->connected()) {
            EXPECT_EQ(static_cast<int>(sent.size()), node->last_send_size);
            EXPECT_LE(static_cast<int>(sent.size()), size);
        } else {
            EXPECT_EQ(sent, "") << "a group that does not fit is dropped whole";
        }
    }
}

// Where a request's body is read (uploads), every answer reaches the client:
// a body the answer does not take is read and thrown away, and what comes
// behind it is the next request.
TEST_F(RequestHandler, BodiesThatAnswersDoNotTakeAreReadAndThrownAway) {
    config.site.upload = true;
    const std::string put = "PUT /kept.txt HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n";
    struct row {
        const char* what;
        std::string group;
        std::vector<std::string> statuses;
        bool stays_open;
    };
    const std::vector<row> rows = {
        {"a 401 keeps the connection: the client may try again at once",
         put + "\r\nhello" + get("/a.txt"),
         {"401 Unauthorized", "200 OK"},
         true},
        {"a request right behind a whole upload body",
         "PUT /new.txt HTTP/1.1\r\n" + good_auth() + "Content-Length: 3\r\n\r\nnew" + get("/a.txt"),
         {"201 Created", "200 OK"},
         true},
        {"a 401 whose body is longer than upload_max: not read, the connection closes",
         "PUT /kept.txt HTTP/1.1\r\nHost: h\r\nContent-Length: 2000000000\r\n\r\nhello",
         {"401 Unauthorized"},
         false},
        {"a client that waits for 100 Continue is answered 401 without it, and closed",
         put + "Expect: 100-continue\r\n\r\n",
         {"401 Unauthorized"},
         false},
        {"a body of unknown length",
         get("/x", "Transfer-Encoding: chunked\r\n") + "5\r\n",
         {"401 Unauthorized"},
         false},
        {"a method not served",
         "PROPFIND / HTTP/1.1\r\n" + good_auth() + "\r\n",
         {"405 Method Not Allowed"},
         true},
        {"a body that is not a form",
         "POST / HTTP/1.1\r\n" + good_auth() +
             "Content-Type: text/plain\r\nContent-Length: 3\r\n\r\nabc",
         {"400 Bad Request"},
         false},
        {"a form whose head is written in another hand, and a request behind it",
         "POST / HTTP/1.1\r\n" + good_auth() +
             "content-type: Multipart/Form-Data;charset=x;boundary=\"b b\"\r\ncontent-length: "
             "80\r\n"
             "\r\n--b b\r\nContent-Disposition: form-data; name=f; filename=form.txt\r\n\r\nf\r\n"
             "--b b--\r\n" +
             get("/a.txt"),
         {"201 Created", "200 OK"},
         true},
        {"a form sent by another site's page",
         "POST / HTTP/1.1\r\n" + good_auth() +
             "Origin: http://127.0.0.2:8080\r\nContent-Type: multipart/form-data; boundary=b\r\n"
             "Content-Length: 3\r\n\r\nabc",
         {"403 Forbidden"},
         false},
    };
    printf_ex_enabled(true);
    testing::internal::CaptureStdout();
    for (const row& r : rows) {
        connect();
        const std::vector<response> got = answers(r.group);
        std::vector<std::string> statuses;
        for (const response& answer : got) {
            statuses.push_back(answer.status_line.substr(9));
            EXPECT_NE(answer.headers.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos)
                << r.what;
        }
        EXPECT_EQ(statuses, r.statuses) << r.what;
        if (got.empty()) continue;
        if (r.stays_open) {
            EXPECT_EQ(node->current_state(), simple_server_node::state::receiving) << r.what;
        } else {
            EXPECT_NE(got.back().headers.find("Connection: close\r\n"), std::string::npos)
                << r.what;
            EXPECT_EQ(node->current_state(), simple_server_node::state::draining) << r.what;
        }
    }
    const std::string log = testing::internal::GetCapturedStdout();
    printf_ex_enabled(false);
    EXPECT_NE(log.find(") upload refused: a page of another site sent it\n"), std::string::npos);
    connect();
    EXPECT_EQ(answers(get("/kept.txt")).at(0).status_line, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(answers(get("/new.txt")).at(0).body, "new");
    EXPECT_EQ(answers(get("/form.txt")).at(0).body, "f");
    fs::remove(root / "new.txt");
    fs::remove(root / "form.txt");
}

// The edges of what an upload may be, each a fault the suite once let through.
TEST_F(RequestHandler, UploadLengthsFieldsAndDirectoriesAreRefusedExactly) {
    config.site.upload = true;
    config.site.upload_replace = true;
    config.site.upload_max = 5;
    config.site.decode_path = true;  // so that a name can hold any byte
    auto put = [](const std::string& target, const std::string& fields, const std::string& body) {
        return "PUT " + target + " HTTP/1.1\r\n" + good_auth() + fields + "\r\n" + body;
    };
    const struct {
        std::string request;
        const char* status;
    } rows[] = {
        {put("/five.txt", "Content-Length: 5\r\n", "12345"), "201 Created"},
        {put("/six.txt", "Content-Length: 6\r\n", "123456"), "413 Payload Too Large"},
        {put("/both.txt", "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n", "abc"),
         "400 Bad Request"},
        {put("/none.txt", "", ""), "411 Length Required"},
        {put("/zipped.txt", "Transfer-Encoding: gzip\r\n", "abc"), "400 Bad Request"},
        {put("/chunks.txt", "Transfer-Encoding: chunked\r\n", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"),
         "201 Created"},
        {put("/bad.txt", "Transfer-Encoding: chunked\r\n", "3x\r\nabc\r\n0\r\n\r\n"),
         "400 Bad Request"},
        {put("/large.txt", "Transfer-Encoding: chunked\r\n", "6\r\n123456\r\n0\r\n\r\n"),
         "413 Payload Too Large"},
        {put("/docs", "Content-Length: 3\r\n", "abc"), "409 Conflict"},
        {put("/esc%1B%5B2J.txt", "Content-Length: 3\r\n", "abc"), "400 Bad Request"},
        {put("/line%0Aend.txt", "Content-Length: 3\r\n", "abc"), "400 Bad Request"},
    };
    for (const auto& row : rows) {
        connect();
        const std::vector<response> got = answers(row.request);
        ASSERT_FALSE(got.empty()) << row.request;
        EXPECT_EQ(got[0].status_line, std::string("HTTP/1.1 ") + row.status) << row.request;
    }
    EXPECT_TRUE(fs::is_directory(root / "docs"));
    EXPECT_FALSE(fs::exists(root / "six.txt"));
    EXPECT_FALSE(fs::exists(root / "both.txt"));
    EXPECT_FALSE(fs::exists(root / "bad.txt"));
    EXPECT_FALSE(fs::exists(root / "large.txt"));
    connect();
    EXPECT_EQ(answers(get("/chunks.txt")).at(0).body, "abcde");
    fs::remove(root / "five.txt");
    fs::remove(root / "chunks.txt");
}

// A browser's form that meets a taken name is shown a page that offers to
// keep both or, where its user may, to replace; it says which with
// "?conflict=". Other clients get the short answers they always got.
TEST_F(RequestHandler, ABrowserChoosesWhatATakenNameBecomes) {
    config.site.upload = true;
    const std::string browser = "Accept: text/html,application/xhtml+xml,*/*;q=0.8\r\n";
    const std::string part =
        "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"taken.txt\"\r\n\r\nnew"
        "\r\n--b--\r\n";
    struct row {
        std::string accept;
        const char* query;
        bool may_replace;
        const char* status;
        const char* type;     // of the answer's body
        bool keep, replace;   // the choices the page offers
        const char* content;  // of taken.txt afterwards
        bool kept_beside;     // "taken (1).txt" holds the new file
    };
    const row rows[] = {
        {browser, "", true, "303 See Other", "text/plain", false, false, "new", false},
        {browser, "?conflict=refuse", true, "409 Conflict", "text/html", true, true, "old", false},
        {browser, "", false, "409 Conflict", "text/html", true, false, "old", false},
        {browser, "?conflict=keep", false, "303 See Other", "text/plain", false, false, "old",
         true},
        {browser, "?conflict=replace", true, "303 See Other", "text/plain", false, false, "new",
         false},
        {browser, "?conflict=replace", false, "409 Conflict", "text/html", true, false, "old",
         false},
        {"", "", true, "201 Created", "text/plain", false, false, "new", false},
        {"", "", false, "409 Conflict", "text/plain", false, false, "old", false},
        {"", "?conflict=keep", false, "201 Created", "text/plain", false, false, "old", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.accept + r.query + (r.may_replace ? " (may replace)" : ""));
        config.site.upload_replace = r.may_replace;
        write(root / "other" / "taken.txt", "old");
        fs::remove(root / "other" / "taken (1).txt");
        connect();
        const std::vector<response> got =
            answers("POST /other/" + std::string(r.query) + " HTTP/1.1\r\n" + good_auth() +
                    r.accept + "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
                    std::to_string(part.size()) + "\r\n\r\n" + part);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].status_line, std::string("HTTP/1.1 ") + r.status);
        EXPECT_NE(got[0].headers.find(std::string("Content-Type: ") + r.type), std::string::npos);
        const std::string& page = got[0].body;
        EXPECT_EQ(page.find("formaction=\"/other/?conflict=keep\">Keep both<") != std::string::npos,
                  r.keep);
        EXPECT_EQ(
            page.find("formaction=\"/other/?conflict=replace\">Replace<") != std::string::npos,
            r.replace);
        if (std::string(r.type) == "text/html") {
            EXPECT_NE(page.find("<a href=\"/other/\">Back to the folder</a>"), std::string::npos);
        }
        std::ifstream taken(root / "other" / "taken.txt");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(taken), {}), r.content);
        EXPECT_EQ(fs::exists(root / "other" / "taken (1).txt"), r.kept_beside);
    }
    fs::remove(root / "other" / "taken.txt");
    fs::remove(root / "other" / "taken (1).txt");
}

// The answers of a group written before an upload wait in the response
// buffer while its body comes, slowly: the buffer keeps their bytes.
TEST_F(RequestHandler, AnswersWaitingForAnUploadBodyKeepTheirBytes) {
    config.site.upload = true;
    std::string large;
    for (int i = 0; i < 20000; ++i)
        large += static_cast<char>('a' + i % 26);
    write(root / "large.txt", large);
    EXPECT_EQ(answers(get("/large.txt")).at(0).body, large);
    const std::string group = get("/large.txt") + "PUT /slow.txt HTTP/1.1\r\n" + good_auth() +
                              "Content-Length: 4\r\n\r\n";
    ASSERT_EQ(::write(peer, group.data(), group.size()), static_cast<ssize_t>(group.size()));
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    while (std::chrono::steady_clock::now() < until) {
        step_node(*node);
        usleep(10000);
    }
    ASSERT_EQ(node->current_state(), simple_server_node::state::taking_body);
    const std::vector<response> got = answers("slow");
    fs::remove(root / "large.txt");
    fs::remove(root / "slow.txt");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].body == large) << "the answer that waited lost bytes";
    EXPECT_EQ(got[1].status_line, "HTTP/1.1 201 Created");
}

// Names and queries that a site with listings, uploads or decoded paths
// serves, and the bare start refuses as it always did.
TEST_F(RequestHandler, WhatTheModesServeAndTheBareStartRefuses) {
    write(root / "a..b.txt", "dots");
    struct row {
        std::string request;
        std::function<void()> mode;
        std::string in_mode;  // the status line's text; "closed": no answer
        std::string bare;
    };
    const std::vector<row> rows = {
        {get("/a..b.txt"), [this] { config.site.listing = true; }, "200 OK", "403 Forbidden"},
        {get("/a..b.txt"), [this] { config.site.decode_path = true; }, "200 OK", "403 Forbidden"},
        {get("/a.txt?v2"), [this] { config.site.decode_path = true; }, "200 OK", "closed"},
        {get("/a.txt?a&b"), [this] { config.site.decode_path = true; }, "200 OK", "closed"},
        {"DELETE /a.txt HTTP/1.1\r\n" + good_auth() + "\r\n", [this] { config.site.upload = true; },
         "405 Method Not Allowed", "closed"},
    };
    for (const row& r : rows) {
        for (bool with_mode : {false, true}) {
            SetUp();
            if (with_mode) r.mode();
            connect();
            const std::vector<response> got = answers(r.request);
            const std::string status = got.empty() ? "closed" : got[0].status_line.substr(9);
            EXPECT_EQ(status, with_mode ? r.in_mode : r.bare) << r.request;
        }
    }
    fs::remove(root / "a..b.txt");
}

// With the HTTP/1.0 mode, a client of either version that asks to close the
// connection is answered, and then it is closed: the rest of its group too.
TEST_F(RequestHandler, ConnectionCloseIsHeardInTheHttp10Mode) {
    const std::string group = get("/a.txt", good_auth() + "Connection: close\r\n") + get("/a.txt");
    EXPECT_EQ(answers(group).size(), 2u);
    EXPECT_TRUE(node->connected());
    config.site.http10 = true;
    connect();
    const std::vector<response> got = answers(group);
    ASSERT_EQ(got.size(), 1u) << "its answer is the last";
    EXPECT_NE(got[0].headers.find("Connection: close\r\n"), std::string::npos)
        << "the answer says so";
    EXPECT_FALSE(node->connected());
}

// The combined form: a line per answered request that tools of the trade
// read, what the client sent escaped, no head and no credentials; short
// lines for a failed login and a connection closed without an answer.
TEST_F(RequestHandler, TheCombinedLogHasALinePerRequestAndNeverAHead) {
    log_form = log_format::combined;
    config.site.head = true;
    printf_ex_enabled(true);
    testing::internal::CaptureStdout();
    connect();
    exchange(get("/a.txt", "") + get("/a.txt", "Authorization: Basic d3Jvbmc=\r\n"));
    exchange(get("/a.txt", good_auth() + "Referer: http://h/\r\nUser-Agent: say \"hi\"\x01\r\n") +
             "HEAD /a.txt HTTP/1.1\r\n\r\n" + get("/no\\pe\xC3\xA9"));
    connect();
    exchange("BREW /a.txt HTTP/1.1\r\n" + good_auth() + "\r\n");
    const std::string log = testing::internal::GetCapturedStdout();
    const std::string date = R"(\[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d \+0000\])";
    const std::regex expected(
        "127\\.0\\.0\\.1 - - " + date + R"( "GET /a\.txt HTTP/1\.1" 401 16 "-" "-"\n)" + date +
        R"( 127\.0\.0\.1:40000 login failed\n)" + "127\\.0\\.0\\.1 - - " + date +
        R"( "GET /a\.txt HTTP/1\.1" 401 16 "-" "-"\n)" + "127\\.0\\.0\\.1 - user " + date +
        R"( "GET /a\.txt HTTP/1\.1" 200 5 "http://h/" "say \\x22hi\\x22\\x01"\n)" +
        "127\\.0\\.0\\.1 - user " + date + R"( "HEAD /a\.txt HTTP/1\.1" 200 0 "-" "-"\n)" +
        "127\\.0\\.0\\.1 - user " + date +
        R"( "GET /no\\x5Cpe\\xC3\\xA9 HTTP/1\.1" 404 13 "-" "-"\n)" + date +
        R"( 127\.0\.0\.1:40000 closed: request not served\n)");
    printf_ex_enabled(false);
    EXPECT_TRUE(std::regex_match(log, expected)) << log;
    EXPECT_EQ(log.find("Authorization"), std::string::npos);
}

// The short lines of the combined form name the peer as "addr:port", an
// IPv6 address in brackets so that its port stands apart.
TEST_F(RequestHandler, TheCombinedLogsShortLinesBracketAnIPv6Peer) {
    log_form = log_format::combined;
    const struct {
        const char* peer;
        const char* named;
    } rows[] = {
        {"192.0.2.7", "192.0.2.7:40000"},
        {"::ffff:192.0.2.7", "192.0.2.7:40000"},
        {"::1", "[::1]:40000"},
        {"2001:db8::7", "[2001:db8::7]:40000"},
    };
    for (const auto& row : rows) {
        printf_ex_enabled(true);
        testing::internal::CaptureStdout();
        connect(row.peer);
        exchange(get("/a.txt", "Authorization: Basic d3Jvbmc=\r\n"));
        const std::string log = testing::internal::GetCapturedStdout();
        printf_ex_enabled(false);
        EXPECT_NE(log.find(std::string("] ") + row.named + " login failed\n"), std::string::npos)
            << row.peer << "\n"
            << log;
    }
}

TEST_F(RequestHandler, AnIncompleteGroupIsNotAnswered) {
    connect();
    std::string head_and_body = get("/a.txt") + "body";
    ASSERT_EQ(::write(peer, head_and_body.data(), head_and_body.size()),
              (ssize_t)head_and_body.size());
    for (int step = 0; step < 20; ++step)
        step_node(*node);
    EXPECT_EQ(node->get_job(), se_basic_node::_recv);
    EXPECT_TRUE(node->job_active());
}

TEST_F(RequestHandler, LogLinesOfOneExchangeComeInOrder) {
    printf_ex_enabled(true);
    testing::internal::CaptureStdout();
    connect();
    exchange("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string log = testing::internal::GetCapturedStdout();
    const std::string prefix =
        R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\) node \(ip = 127\.0\.0\.1, port = 40000\) )";
    const std::string sep = "//" + std::string(75, '-') + "\n";
    std::regex expected(prefix + "connected\n" + prefix + "job _recv activated\n" + sep + prefix +
                        "etx detected\n" + sep + "GET / HTTP/1\\.1\r\nHost: h\r\n\n" + sep +
                        prefix + "job _recv finished with result aborted\n" + prefix +
                        "error detected\n" + sep + prefix + "header to send\n" + sep +
                        "HTTP/1\\.1 401 Unauthorized\r\nWWW-Authenticate: Basic "
                        "realm=\"websrv\"\r\nContent-Type: text/plain\r\nContent-Length: "
                        "16\r\n\n" +
                        sep + prefix + "job _send activated\n" + prefix +
                        "job _send finished with result success\n" + prefix +
                        "job _recv activated\n");
    EXPECT_TRUE(std::regex_match(log, expected)) << log;
}

}  // namespace

namespace {

// Behind a trusted proxy: the client of each request is the one the proxy
// names, for the login limit and the log; each request logs in on its own,
// since a proxy carries many clients' requests over one connection.
class BehindAProxy : public RequestHandler {
  protected:
    void SetUp() override {
        RequestHandler::SetUp();
        std::string why;
        ASSERT_TRUE(parse_address_list("127.0.0.0/8", &config.site.trusted_proxies, &why));
        config.login_limit = 2;
        log_form = log_format::combined;
    }

    // The status line of the answer to a request `from` a client (empty:
    // none named) with `fields`, and the log lines it wrote.
    std::string ask(const std::string& from, const std::string& fields, std::string* log) {
        const std::string forwarded = from.empty() ? "" : "X-Forwarded-For: " + from + "\r\n";
        printf_ex_enabled(true);
        testing::internal::CaptureStdout();
        const std::vector<response> got = answers(get("/a.txt", forwarded + fields));
        *log = testing::internal::GetCapturedStdout();
        printf_ex_enabled(false);
        return got.empty() ? "closed" : got.front().status_line;
    }

    const std::string wrong = "Authorization: Basic d3Jvbmc=\r\n";
};

TEST_F(BehindAProxy, EachClientIsCountedLoggedAndLoggedInOnItsOwn) {
    std::string log;
    connect("127.0.0.1");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(ask("203.0.113.5", wrong, &log), "HTTP/1.1 401 Unauthorized");
        EXPECT_NE(log.find("203.0.113.5 - - ["), std::string::npos) << log;
    }
    EXPECT_EQ(ask("203.0.113.5", good_auth(), &log), "HTTP/1.1 403 Forbidden") << "locked out";
    // Another client behind the same proxy is not.
    connect("127.0.0.1");
    EXPECT_EQ(ask("203.0.113.6", good_auth(), &log), "HTTP/1.1 200 OK");
    EXPECT_NE(log.find("203.0.113.6 - user ["), std::string::npos) << log;
    // The next request on the connection may be another client's: no login carries over.
    EXPECT_EQ(ask("203.0.113.7", "", &log), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(ask("", good_auth(), &log), "HTTP/1.1 200 OK");
    EXPECT_NE(log.find("127.0.0.1 - user ["), std::string::npos) << log;
    // From a peer that is not trusted, the fields name nobody.
    connect("192.0.2.7");
    EXPECT_EQ(ask("203.0.113.5", good_auth(), &log), "HTTP/1.1 200 OK");
    EXPECT_NE(log.find("192.0.2.7 - user ["), std::string::npos) << log;
    EXPECT_EQ(ask("203.0.113.5", "", &log), "HTTP/1.1 200 OK") << "logged in for good";
}

TEST_F(BehindAProxy, APROXYHeaderNamesTheConnectionsClient) {
    config.site.proxy_protocol = true;
    log_form = log_format::spec;
    printf_ex_enabled(true);
    testing::internal::CaptureStdout();
    connect("127.0.0.1");
    // The header may come in pieces, and the request with its end.
    const std::string header = "PROXY TCP4 203.0.113.5 127.0.0.1 4711 80\r\n";
    ASSERT_EQ(::write(peer, header.data(), 10), 10);
    for (int step = 0; step < 5; ++step)
        step_node(*node);
    const std::vector<response> got = answers(header.substr(10) + get("/a.txt"));
    const std::string log = testing::internal::GetCapturedStdout();
    printf_ex_enabled(false);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].body, "alpha");
    EXPECT_EQ(log.find("ip = 127.0.0.1"), std::string::npos) << log;
    EXPECT_NE(log.find("node (ip = 203.0.113.5, port = 4711) connected\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("node (ip = 203.0.113.5, port = 4711) header to send"), std::string::npos);

    const struct {
        const char* peer;
        std::string bytes;
    } refused[] = {
        {"192.0.2.7", header + get("/a.txt")},  // not a trusted proxy
        {"127.0.0.1", get("/a.txt")},           // no header
        {"127.0.0.1", "PROXY TCP4 203.0.113.5 4711\r\n" + get("/a.txt")},
    };
    for (const auto& r : refused) {
        connect(r.peer);
        if (node->connected()) {
            EXPECT_EQ(exchange(r.bytes), "") << r.bytes;
        }
        EXPECT_FALSE(node->connected()) << r.bytes;
    }
}

}  // namespace
