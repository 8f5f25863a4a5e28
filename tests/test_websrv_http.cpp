// The real websrv binary answering real clients over loopback.
#include <gtest/gtest.h>

#include "blackbox_support.h"

namespace {

using namespace blackbox;

class WebsrvHttp : public ::testing::Test {
  protected:
    void SetUp() override {
        write_file(server.process.dir / "root" / "index.htm", "<p>home</p>");
        write_file(server.process.dir / "root" / "a.txt", "alpha");
        write_file(server.process.dir / "root" / "docs" / "index.htm", "<p>docs</p>");
        ASSERT_TRUE(server.ready()) << server.process.log();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server.port) + path;
    }
    running_server server;
};

TEST_F(WebsrvHttp, CurlFetchesFilesOverOneConnection) {
    std::string out =
        curl("--user user:5712 " + url("/a.txt") + " " + url("/") + " " + url("/docs/"));
    EXPECT_EQ(out, "alpha<p>home</p><p>docs</p>");
    EXPECT_EQ(websrv_process::count(server.process.log(), " connected\n"), 1)
        << "curl kept the connection alive";
    EXPECT_EQ(websrv_process::count(server.process.log(), "authorization detected"), 1);
}

TEST_F(WebsrvHttp, CurlFollowsTheDirectoryRedirect) {
    std::string out =
        curl("-L --user user:5712 -w ' %{http_code} %{num_redirects}' " + url("/docs"));
    EXPECT_EQ(out, "<p>docs</p> 200 1");
}

TEST_F(WebsrvHttp, CurlWithoutCredentialsIsAskedForThem) {
    std::string out = curl("-o /dev/null -D - " + url("/a.txt"));
    EXPECT_NE(out.find("HTTP/1.1 401 Unauthorized\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("WWW-Authenticate: Basic realm=\"websrv\"\r\n"), std::string::npos) << out;
}

TEST_F(WebsrvHttp, PipelinedRequestsOnARawSocket) {
    int client = connect_to(server.port);
    ASSERT_NE(client, -1);
    std::string auth = "Authorization: Basic dXNlcjo1NzEy\r\n";
    std::string request_a = "GET /a.txt HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n";
    std::string request_b = "GET /missing HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n";
    ASSERT_TRUE(send_all(client, request_a + request_b));
    std::string expected_tail = "Content-Length: 13\r\n\r\n404 Not Found";
    std::string got;
    auto deadline = clock::now() + std::chrono::seconds(5);
    while (got.find(expected_tail) == std::string::npos && clock::now() < deadline) {
        got += receive(client, 1, 0.2);
    }
    size_t first = got.find("HTTP/1.1 200 OK\r\n");
    size_t second = got.find("HTTP/1.1 404 Not Found\r\n");
    ASSERT_NE(first, std::string::npos) << got;
    ASSERT_NE(second, std::string::npos) << got;
    EXPECT_LT(first, second);
    EXPECT_NE(got.find("\r\n\r\nalphaHTTP/1.1 404"), std::string::npos) << got;
    EXPECT_EQ(got.substr(got.size() - expected_tail.size()), expected_tail);

    // The connection stays open for the next group.
    ASSERT_TRUE(send_all(client, request_a));
    std::string again = receive(client, 1, 5.0);
    std::string more = receive(client, 200, 0.5);
    EXPECT_NE((again + more).find("alpha"), std::string::npos);
    close(client);
}

TEST_F(WebsrvHttp, AMalformedRequestDoesNotStopTheServer) {
    int bad = connect_to(server.port);
    ASSERT_NE(bad, -1);
    const char garbage[] = "\0\0garbage\r\n\r\n";
    ASSERT_TRUE(send_all(bad, std::string(garbage, sizeof garbage - 1)));
    EXPECT_TRUE(closed_by_peer(bad));
    close(bad);
    EXPECT_EQ(curl("--user user:5712 " + url("/a.txt")), "alpha");
}

}  // namespace
