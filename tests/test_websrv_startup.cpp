// Start-up of the real websrv binary: its log, its configuration file and
// its first connections.
#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "blackbox_support.h"

namespace {

using namespace blackbox;

const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\))";
const std::string separator = "//" + std::string(75, '-');

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The settings dump of a start, as "key=value" lines without the "////".
std::vector<std::string> dumped_settings(const std::string& log) {
    std::vector<std::string> dump;
    bool inside = false;
    for (const std::string& line : lines_of(log)) {
        if (line == "////params:") {
            inside = true;
        } else if (inside && line.rfind("////", 0) == 0) {
            dump.push_back(line.substr(4));
        } else if (inside) {
            break;
        }
    }
    return dump;
}

std::string setting(const std::string& log, const std::string& key) {
    for (const std::string& entry : dumped_settings(log)) {
        if (entry.rfind(key + "=", 0) == 0) return entry.substr(key.size() + 1);
    }
    return "<missing>";
}

// Starts a copy with `config` and returns its log once start-up is over.
std::string start_with(websrv_process& process, const std::string& config) {
    process.configure(config);
    process.start();
    EXPECT_TRUE(process.wait_for_log("server activated") ||
                process.wait_for_log("can not activate server", 1, 0.1))
        << process.log();
    return process.log();
}

bool port_80_is_free() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

TEST(WebsrvStartup, WithoutAConfigurationFileTheLogHoldsThirteenLines) {
    bool can_listen = port_80_is_free();
    websrv_process process;
    process.start();
    ASSERT_TRUE(process.wait_for_log(" server activated\n") ||
                process.wait_for_log(" can not activate server\n", 1, 0.1));
    std::vector<std::string> lines = lines_of(process.log());
    std::vector<std::string> expected = {
        separator,
        stamp + " logging started",
        "////can not read cfg-file",
        "////can not parse params",
        "////params:",
        "////ip=0",
        "////port=80",
        "////login=user",
        "////password=5712",
        "////root=\\./root/",
        "////sizeof_in=10240",
        "////sizeof_out=1048576",
    };
    ASSERT_GE(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i])))
            << "line " << i + 1 << ": " << lines[i];
    }
    if (can_listen) {
        ASSERT_EQ(lines.size(), 13u);
        EXPECT_TRUE(std::regex_match(lines[12], std::regex(stamp + " server activated")));
    }
}

TEST(WebsrvStartup, ConfigurationChangesPortAndRoot) {
    websrv_process process;
    unsigned short port = free_port();
    std::string log =
        start_with(process, "// a comment\r\nip=127.0.0.1\r\nport=" + std::to_string(port) +
                                "\r\nroot=/srv/www/\r\n");
    EXPECT_EQ(log.find("can not"), std::string::npos) << log;
    EXPECT_EQ(setting(log, "port"), std::to_string(port)) << "CR LF line ends read alike";
    EXPECT_EQ(setting(log, "root"), "/srv/www/");
    EXPECT_EQ(setting(log, "ip"), "127.0.0.1");
    EXPECT_EQ(setting(log, "login"), "user");
    int client = connect_to(port);
    EXPECT_NE(client, -1) << "it listens on the configured port";
    if (client != -1) close(client);
}

TEST(WebsrvStartup, ConfigurationLineRules) {
    struct row {
        const char* description;
        std::string config;
        std::string login;  // the login that start-up must end up with
        bool parse_error;
    };
    const std::vector<row> rows = {
        {"empty file", "", "user", false},
        {"only comments and empty lines", "// x\n\n//login=no\n", "user", false},
        {"a comment needs both slashes at the start", " //login=a\nlogin=b\n", "b", false},
        {"first key wins", "login=first\nlogin=second\n", "first", false},
        {"a key keeps its spaces", "login =spaced\n", "user", false},
        {"the value keeps later equals signs", "login=a=b\n", "a=b", false},
        {"an empty value", "login=\n", "", false},
        {"a line without = joins the next key", "x\nlogin=joined\n", "user", false},
        {"a line without = at the end", "login=kept\nx\n", "user", true},
        {"a file without a final line feed", "login=last", "last", false},
    };
    for (const row& r : rows) {
        websrv_process process;
        std::string config = "ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\n" + r.config;
        std::string log = start_with(process, config);
        EXPECT_EQ(setting(log, "login"), r.login) << r.description;
        EXPECT_EQ(log.find("////can not parse params") != std::string::npos, r.parse_error)
            << r.description;
        EXPECT_EQ(log.find("////can not read cfg-file"), std::string::npos) << r.description;
    }
}

TEST(WebsrvStartup, NumbersAreConvertedLikeAtoi) {
    websrv_process wraps;
    std::string log = start_with(wraps, "ip=127.0.0.1\nport=65537\nsizeof_in=0\nsizeof_out=-5\n");
    EXPECT_EQ(setting(log, "port"), "1") << "the low 16 bits";
    EXPECT_EQ(setting(log, "sizeof_in"), "10240")
        << "a size that is not positive keeps its default";
    EXPECT_EQ(setting(log, "sizeof_out"), "1048576");

    websrv_process words;
    log = start_with(words, "ip=127.0.0.1\nport=abc\nsizeof_in=2048x\n");
    EXPECT_EQ(setting(log, "port"), "0");
    EXPECT_EQ(setting(log, "sizeof_in"), "2048");
}

TEST(WebsrvStartup, FilesAreNamedAfterTheExecutableAsStarted) {
    websrv_process process;
    unsigned short port = free_port();
    write_file(process.dir / "sub" / "placeholder", "");
    process.configure("ip=127.0.0.1\nport=" + std::to_string(port) + "\n");
    process.start("../websrv", process.dir / "sub");
    ASSERT_TRUE(process.wait_for_log("server activated")) << process.log();
    EXPECT_EQ(setting(process.log(), "root"), "../root/");
    EXPECT_EQ(setting(process.log(), "port"), std::to_string(port));
}

TEST(WebsrvStartup, APortInUseIsLoggedAndTheProcessLivesOn) {
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    listen(holder, 1);
    socklen_t length = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);

    websrv_process process;
    process.configure("ip=127.0.0.1\nport=" + std::to_string(ntohs(address.sin_port)) + "\n");
    process.start();
    ASSERT_TRUE(process.wait_for_log("can not activate server")) << process.log();
    std::vector<std::string> lines = lines_of(process.log());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(
        lines[lines.size() - 2],
        std::regex(stamp + " server function call finished with error bind_failed")));
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(stamp + " can not activate server")));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(process.alive());
    close(holder);
}

// The node lines of one connection, without their stamps and addresses.
std::vector<std::string> node_events(const std::string& log) {
    std::vector<std::string> events;
    std::regex node_line(stamp + R"( node \(ip = 127\.0\.0\.1, port = \d+\) (.*))");
    for (const std::string& line : lines_of(log)) {
        std::smatch match;
        if (std::regex_match(line, match, node_line)) events.push_back(match[1]);
    }
    return events;
}

TEST(WebsrvStartup, ConnectionLinesForAClientThatConnectsAndCloses) {
    running_server server;
    ASSERT_TRUE(server.ready());
    int client = connect_to(server.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(server.process.wait_for_log(" connected\n"));
    close(client);
    ASSERT_TRUE(server.process.wait_for_log(" disconnected\n")) << server.process.log();
    EXPECT_EQ(node_events(server.process.log()),
              (std::vector<std::string>{"connected", "job _recv activated",
                                        "job _recv finished with result connection_closed",
                                        "disconnected"}));
}

TEST(WebsrvStartup, AClientThatOverfillsTheReceiveBufferIsDisconnected) {
    running_server server("sizeof_in=64\n");
    ASSERT_TRUE(server.ready());
    int client = connect_to(server.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(send_all(client, "GET / HTTP/1.1\r\nX-Filler: " + std::string(100, 'x')));
    EXPECT_TRUE(closed_by_peer(client));
    close(client);
    ASSERT_TRUE(server.process.wait_for_log(" disconnected\n")) << server.process.log();
    EXPECT_EQ(node_events(server.process.log()),
              (std::vector<std::string>{"connected", "job _recv activated",
                                        "job _recv finished with result success", "disconnected"}));
}

}  // namespace
