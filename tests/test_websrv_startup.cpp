// Start-up of the real websrv binary: its log, its configuration file and
// its first connections.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
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
                                "\r\nroot=/srv/www\r\n");
    EXPECT_EQ(log.find("can not"), std::string::npos) << log;
    EXPECT_EQ(setting(log, "port"), std::to_string(port)) << "CR LF line ends read alike";
    EXPECT_EQ(setting(log, "root"), "/srv/www/") << "the separator the root needs is added";
    EXPECT_EQ(setting(log, "ip"), "127.0.0.1");
    EXPECT_EQ(setting(log, "login"), "user");
    EXPECT_EQ(dumped_settings(log).size(), 7u) << "keys the file does not set are not dumped";
    int client = connect_to(port);
    EXPECT_NE(client, -1) << "it listens on the configured port";
    if (client != -1) close(client);
    EXPECT_EQ(read_file(process.dir / "stderr.txt"),
              "./websrv: the default password is in force: set the key password in ./websrv.cfg\n");

    websrv_process own_password;
    start_with(own_password,
               "ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\npassword=x7!kQ\n");
    EXPECT_EQ(read_file(own_password.dir / "stderr.txt"), "");
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
        EXPECT_EQ(read_file(process.dir / "stderr.txt").find("can not parse") != std::string::npos,
                  r.parse_error)
            << r.description << ": an operator looks at standard error first";
        EXPECT_EQ(log.find("////can not read cfg-file"), std::string::npos) << r.description;
    }
}

TEST(WebsrvStartup, SiteKeysAreDumpedOnlyWhenSet) {
    const std::vector<std::string> specified = {"ip",   "port",      "login",     "password",
                                                "root", "sizeof_in", "sizeof_out"};
    struct row {
        const char* description;
        std::string config;               // `table` stands for a file of the test's
        std::string table;                // what that file holds; empty: it is not written
        std::vector<std::string> dumped;  // the lines after sizeof_out
        bool unreadable;
    };
    const std::vector<row> rows = {
        {"none of them", "", "", {}, false},
        {"all five",
         "content_types=table\ndecode_path=1\nindex=index.html\nhttp10=1\nhead=1\n",
         "text/css css\n",
         {"content_types=table", "decode_path=1", "index=index.html", "http10=1", "head=1"},
         false},
        {"values that are not taken",
         "head=yes\nindex=../x\ndecode_path=0\n",
         "",
         {"decode_path=0", "index=index.htm", "head=0"},
         false},
        {"a table file that is not there",
         "content_types=table\n",
         "",
         {"content_types=table"},
         true},
        {"a table without entries",
         "content_types=table\n",
         "# nothing here\ntext/plain\n",
         {"content_types=table"},
         true},
        {"a directory", "content_types=root\n", "", {"content_types=root"}, true},
        {"a table over 1 MiB",
         "content_types=table\n",
         "text/css css\n#" + std::string(1 << 20, 'x') + "\n",
         {"content_types=table"},
         true},
    };
    for (const row& r : rows) {
        websrv_process process;
        fs::create_directories(process.dir / "root");
        if (!r.table.empty()) write_file(process.dir / "table", r.table);
        const std::string log = start_with(
            process, "ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\n" + r.config);
        std::vector<std::string> dump = dumped_settings(log);
        ASSERT_GE(dump.size(), specified.size()) << r.description;
        for (size_t i = 0; i < specified.size(); ++i)
            EXPECT_EQ(dump[i].substr(0, dump[i].find('=')), specified[i]) << r.description;
        dump.erase(dump.begin(), dump.begin() + static_cast<long>(specified.size()));
        EXPECT_EQ(dump, r.dumped) << r.description;

        const std::string file = r.config.find("=root") != std::string::npos ? "root" : "table";
        const bool reported = log.find("////can not read content types: " + file +
                                       "\n////params:\n") != std::string::npos;
        EXPECT_EQ(reported, r.unreadable) << r.description << "\n" << log;
        EXPECT_EQ(read_file(process.dir / "stderr.txt").find("can not read content types") !=
                      std::string::npos,
                  r.unreadable)
            << r.description;
    }
}

TEST(WebsrvStartup, NumbersAreConvertedLikeAtoi) {
    websrv_process wraps;
    std::string log = start_with(wraps,
                                 "ip=127.0.0.1\nport=65537\nsizeof_in=0\nsizeof_out=-5\n"
                                 "job_timeout=2000\nwake_on_io=1\n");
    EXPECT_EQ(setting(log, "port"), "1") << "the low 16 bits";
    EXPECT_EQ(setting(log, "sizeof_in"), "10240")
        << "a size that is not positive keeps its default";
    EXPECT_EQ(setting(log, "sizeof_out"), "1048576");
    std::vector<std::string> dump = dumped_settings(log);
    ASSERT_EQ(dump.size(), 9u);
    EXPECT_EQ(dump[7], "wake_on_io=1") << "the optional keys come last, in this order";
    EXPECT_EQ(dump[8], "job_timeout=2000");

    websrv_process words;
    log = start_with(words,
                     "ip=127.0.0.1\nport=abc\nsizeof_in=2048x\nwake_on_io=yes\njob_timeout=-5\n");
    EXPECT_EQ(setting(log, "port"), "0");
    EXPECT_EQ(setting(log, "sizeof_in"), "2048");
    EXPECT_EQ(setting(log, "wake_on_io"), "0") << "off: the value in force";
    EXPECT_EQ(setting(log, "job_timeout"), "0") << "no limit";
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

TEST(WebsrvStartup, AnAddressThatCanNotBeBoundIsLoggedAndTheProcessLivesOn) {
    // The holder asks for address reuse too, and websrv still must not bind beside it.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    listen(holder, 1);
    socklen_t length = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string taken_port = std::to_string(ntohs(address.sin_port));

    for (const std::string& config : {"ip=127.0.0.1\nport=" + taken_port + "\n",
                                      "ip=localhost\nport=" + std::to_string(free_port()) + "\n"}) {
        websrv_process process;
        process.configure(config);
        process.start();
        ASSERT_TRUE(process.wait_for_log("can not activate server")) << config << process.log();
        std::vector<std::string> lines = lines_of(process.log());
        ASSERT_GE(lines.size(), 2u);
        EXPECT_TRUE(std::regex_match(
            lines[lines.size() - 2],
            std::regex(stamp + " server function call finished with error bind_failed")))
            << config;
        EXPECT_TRUE(std::regex_match(lines.back(), std::regex(stamp + " can not activate server")));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(process.alive());
    }
    close(holder);
}

TEST(WebsrvStartup, ARestartBindsOverConnectionsInTimeWait) {
    running_server first;
    ASSERT_TRUE(first.ready());
    // The server closes this connection first, so its side waits in TIME_WAIT.
    int client = connect_to(first.port);
    ASSERT_TRUE(send_all(client, "garbage\r\n\r\n"));
    EXPECT_TRUE(closed_by_peer(client));
    close(client);
    first.process.stop();

    websrv_process second;
    second.configure("ip=127.0.0.1\nport=" + std::to_string(first.port) + "\n");
    second.start();
    EXPECT_TRUE(second.wait_for_log("server activated")) << second.log();
}

TEST(WebsrvStartup, ASecondCopyLeavesTheLogOfTheFirstAlone) {
    running_server first;
    ASSERT_TRUE(first.ready());
    const std::string log_before = first.process.log();
    std::string answer =
        run("env -C " + first.process.dir.string() + " ./websrv 2>&1; echo status $?");
    EXPECT_NE(answer.find("locked by another copy"), std::string::npos) << answer;
    EXPECT_NE(answer.find("status 1\n"), std::string::npos) << answer;
    EXPECT_EQ(first.process.log(), log_before);
    EXPECT_TRUE(first.process.alive());
    int client = connect_to(first.port);
    EXPECT_NE(client, -1) << "the first copy still serves";
    close(client);
}

// The log holds the password and the credentials clients send.
TEST(WebsrvStartup, ANewLogIsPrivateAndAnExistingOneKeepsItsMode) {
    const mode_t usual_umask = umask(022);  // under which a log used to be readable by all
    websrv_process fresh, existing;
    write_file(existing.dir / "websrv.log", "old\n");
    fs::permissions(existing.dir / "websrv.log", fs::perms(0644));
    for (websrv_process* process : {&fresh, &existing}) {
        process->configure("ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\n");
        process->start();
        EXPECT_TRUE(process->wait_for_log("logging started")) << process->log();
    }
    umask(usual_umask);
    EXPECT_EQ(fs::status(fresh.dir / "websrv.log").permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(existing.dir / "websrv.log").permissions(), fs::perms(0644));
}

// A full disk under the log: the log is a trace, not a gate.
TEST(WebsrvStartup, ALogThatCanNotBeWrittenIsToldOnStandardErrorAndServingGoesOn) {
    websrv_process process;
    fs::create_symlink("/dev/full", process.dir / "websrv.log");
    write_file(process.dir / "root" / "a.txt", "alpha");
    const unsigned short port = free_port();
    process.configure("ip=127.0.0.1\nport=" + std::to_string(port) + "\n");
    int screen[2];  // standard output as a socket, read here
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, screen), 0);
    process.start("./websrv", {}, {}, screen[1]);
    close(screen[1]);
    auto activated = [](const std::string& seen) {
        return seen.find("server activated") != std::string::npos;
    };
    ASSERT_TRUE(activated(receive_until(screen[0], activated, 10.0)))
        << read_file(process.dir / "stderr.txt");
    int client = connect_to(port);
    ASSERT_TRUE(send_all(client, "GET /a.txt HTTP/1.1\r\n" + basic_auth + "\r\n"));
    EXPECT_NE(receive_response(client).find("\r\n\r\nalpha"), std::string::npos);
    close(client);
    close(screen[0]);
    const std::string errors = read_file(process.dir / "stderr.txt");
    const std::string told =
        "log: can not write to ./websrv.log: " + std::string(strerror(ENOSPC)) +
        "; serving goes on\n";
    EXPECT_EQ(websrv_process::count(errors, told), 1) << errors;
}

TEST(WebsrvStartup, ArgumentsArePrintedAnswersNotAStart) {
    struct row {
        std::vector<std::string> args;
        int status;
        std::string screen;  // a pattern for standard output
        std::string error;   // a pattern for standard error
    };
    const std::vector<row> rows = {
        {{"--help"},
         0,
         R"(Usage: \./websrv [\s\S]*\./websrv\.cfg[\s\S]*\./websrv\.log[\s\S]*)",
         ""},
        {{"-h"}, 0, "Usage: [\\s\\S]*", ""},
        {{"--version"}, 0, R"(websrv \d+\.\d+\.\d+\n)", ""},
        {{"--port=80"}, 2, "", R"(\./websrv: unexpected argument '--port=80' \(see --help\)\n)"},
        {{"--version", "now"}, 2, "", R"(\./websrv: unexpected argument 'now' \(see --help\)\n)"},
    };
    for (const row& r : rows) {
        websrv_process process;
        process.start("./websrv", {}, r.args);
        EXPECT_EQ(process.wait_for_exit(), r.status) << r.args[0];
        EXPECT_TRUE(std::regex_match(read_file(process.dir / "stdout.txt"), std::regex(r.screen)))
            << r.args[0] << ": " << read_file(process.dir / "stdout.txt");
        EXPECT_TRUE(std::regex_match(read_file(process.dir / "stderr.txt"), std::regex(r.error)))
            << r.args[0] << ": " << read_file(process.dir / "stderr.txt");
        EXPECT_FALSE(fs::exists(process.dir / "websrv.log")) << r.args[0];
    }
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

TEST(WebsrvStartup, AnHttp10AnswerIsSentThenTheConnectionClosed) {
    running_server server("http10=1\n");
    ASSERT_TRUE(server.ready());
    write_file(server.process.dir / "root" / "a.txt", "alpha");
    int client = connect_to(server.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(send_all(client, "GET /a.txt HTTP/1.0\r\n" + basic_auth + "\r\n"));
    const std::string answer = receive_until(
        client, [](const std::string&) { return false; }, 5);
    EXPECT_TRUE(answer.ends_with("\r\n\r\nalpha")) << answer;
    close(client);
    ASSERT_TRUE(server.process.wait_for_log(" disconnected\n")) << server.process.log();
    EXPECT_EQ(
        node_events(server.process.log()),
        (std::vector<std::string>{"connected", "job _recv activated", "etx detected",
                                  "job _recv finished with result aborted",
                                  "authorization detected", "header to send", "job _send activated",
                                  "job _send finished with result success", "disconnected"}));
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

// Everything that can be read from `fd` now.
std::string drain(int fd) {
    std::string data;
    char chunk[65536];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        data.append(chunk, static_cast<size_t>(n));
    return data;
}

TEST(WebsrvStartup, StandardOutputNeverHoldsUpServing) {
    int screen[2];
    ASSERT_EQ(pipe2(screen, O_CLOEXEC), 0);
    fcntl(screen[1], F_SETPIPE_SZ, 4096);
    fcntl(screen[0], F_SETFL, O_NONBLOCK);
    websrv_process process;
    write_file(process.dir / "root" / "a.txt", "alpha");
    unsigned short port = free_port();
    process.configure("ip=127.0.0.1\nport=" + std::to_string(port) + "\n");
    process.start("./websrv", {}, {}, screen[1]);
    close(screen[1]);
    ASSERT_TRUE(process.wait_for_log("server activated")) << process.log();
    int client = connect_to(port);
    ASSERT_NE(client, -1);
    std::string group;
    for (int i = 0; i < 20; ++i)
        group += "GET /a.txt HTTP/1.1\r\n" + basic_auth + "\r\n";

    // Nobody reads standard output: it fills up, and serving goes on.
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(send_all(client, group));
        EXPECT_EQ(websrv_process::count(receive_answers(client, 20), "alpha"), 20) << round;
    }
    EXPECT_EQ(websrv_process::count(process.log(), "header to send"), 100)
        << "the log file has every line";

    // Read again, standard output says what it missed.
    std::string seen = drain(screen[0]);
    ASSERT_TRUE(send_all(client, group));
    receive_answers(client, 20);
    ASSERT_TRUE(process.wait_for_log("header to send", 120));
    seen += drain(screen[0]);
    EXPECT_TRUE(std::regex_search(seen, std::regex(stamp + " standard output missed \\d+ lines; "
                                                           "the log file has them\n")))
        << seen.substr(seen.size() > 2000 ? seen.size() - 2000 : 0);

    // Its reader goes away, as `websrv | head` does: no broken-pipe signal ends the process.
    close(screen[0]);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(send_all(client, group));
        EXPECT_EQ(websrv_process::count(receive_answers(client, 20), "alpha"), 20);
    }
    EXPECT_TRUE(process.alive());
    close(client);
}

}  // namespace
