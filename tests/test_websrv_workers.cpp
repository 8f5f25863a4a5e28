// The real binary with workers: two processes under a parent that serves
// nothing, one port, one login limit and one log between them; and websrv DIR
// with a worker per core.
#include <map>
#include <regex>
#include <set>

#include "blackbox_support.h"

namespace {

using namespace blackbox;

const std::string right_login = "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n";  // user:secret
const std::string wrong_login = "Authorization: Basic dXNlcjp3cm9uZw==\r\n";  // user:wrong

std::string get_with(const std::string& login) {
    return "GET /a.txt HTTP/1.1\r\nHost: x\r\n" + login + "\r\n";
}

std::string status_of(int fd, const std::string& login) {
    if (!send_all(fd, get_with(login))) return "";
    const std::string answer = receive_response(fd);
    return answer.substr(0, answer.find("\r\n"));
}

// The processes whose parent is `parent`.
std::set<pid_t> children_of(pid_t parent) {
    std::set<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = read_file(entry.path() / "stat");
        const size_t name_end = stat.rfind(')');
        if (name_end == std::string::npos) continue;
        std::istringstream rest(stat.substr(name_end + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z') children.insert(std::stoi(entry.path().filename()));
    }
    return children;
}

// The lines of /proc/net/tcp for `port` on this side: local port, remote
// port, state and inode of each socket.
struct tcp_socket {
    unsigned remote_port;
    unsigned state;
    std::string inode;
};
std::vector<tcp_socket> sockets_of_port(unsigned short port) {
    std::vector<tcp_socket> found;
    std::istringstream table(read_file("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (std::stoul(local.substr(local.find(':') + 1), nullptr, 16) != port) continue;
        found.push_back(
            {static_cast<unsigned>(std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16)),
             static_cast<unsigned>(std::stoul(state, nullptr, 16)), inode});
    }
    return found;
}

int listeners(unsigned short port) {
    int n = 0;
    for (const tcp_socket& s : sockets_of_port(port))
        n += s.state == 0x0A;
    return n;
}

// The process among `candidates` that holds the server's end of the
// connection `client`; -1 when none does.
pid_t serving_process(int client, unsigned short port, const std::set<pid_t>& candidates) {
    sockaddr_in own{};
    socklen_t length = sizeof own;
    getsockname(client, reinterpret_cast<sockaddr*>(&own), &length);
    std::string inode;
    for (const tcp_socket& s : sockets_of_port(port)) {
        if (s.remote_port == ntohs(own.sin_port)) inode = s.inode;
    }
    for (pid_t pid : candidates) {
        if (holds(pid, "socket:[" + inode + "]")) return pid;
    }
    return -1;
}

// websrv -c w.cfg with two workers on a free port, serving `dir`/root/.
struct workers_server {
    explicit workers_server(const std::string& extra_config = "") {
        fs::create_directory(process.dir / "root");
        write_file(process.dir / "root" / "a.txt", "alpha");
        for (int attempt = 0; attempt < 5 && !ready; ++attempt) {
            port = free_port();
            write_file(process.dir / "w.cfg", "ip=127.0.0.1\nport=" + std::to_string(port) +
                                                  "\nroot=root\npassword=secret\nlog=w.log\n"
                                                  "workers=2\n" +
                                                  extra_config);
            process.start("./websrv", {}, {"-c", "w.cfg"});
            ready = process.wait_for_log("server activated", 1, 10.0, "w.log") &&
                    wait_for([&] { return listeners(port) == 2; });
            if (!ready) process.stop();
        }
    }

    static bool wait_for(const std::function<bool()>& holds, double seconds = 5.0) {
        const auto deadline = clock::now() + std::chrono::duration<double>(seconds);
        while (!holds()) {
            if (clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    std::string log() const { return process.log("w.log"); }

    websrv_process process;
    unsigned short port = 0;
    bool ready = false;
};

TEST(WebsrvWorkers, TwoWorkersAnswerEveryRequestAndWriteWholeLines) {
    workers_server server;
    ASSERT_TRUE(server.ready);
    const std::set<pid_t> workers = children_of(server.process.pid);
    EXPECT_EQ(workers.size(), 2u);

    std::set<pid_t> served_by;
    int answered = 0;
    for (int c = 0; c < 20; ++c) {
        const int client = connect_to(server.port);
        ASSERT_NE(client, -1);
        std::string group;
        for (int i = 0; i < 10; ++i)
            group += get_with(right_login);
        ASSERT_TRUE(send_all(client, group));
        answered += websrv_process::count(receive_answers(client, 10), "alpha");
        served_by.insert(serving_process(client, server.port, workers));
        close(client);
    }
    EXPECT_EQ(answered, 200);
    EXPECT_EQ(served_by, workers) << "the connections were spread over both workers";

    ASSERT_TRUE(server.process.wait_for_log("\"GET /a.txt HTTP/1.1\" 200", 200, 5.0, "w.log"));
    const std::regex whole(
        "//.*|\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d \\(UTC\\) .*|"
        "127\\.0\\.0\\.1 - user \\[[^\\]]+\\] \"GET /a\\.txt HTTP/1\\.1\" 200 5 \"-\" \"-\"");
    std::istringstream lines(server.log());
    int requests = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
        requests += line.find("\"GET ") != std::string::npos;
    }
    EXPECT_EQ(requests, 200);
}

// The workers share their port with each other, not with another server
// started on it: that one fails as beside a single process.
TEST(WebsrvWorkers, ASecondServerOnTheirPortFailsToStart) {
    workers_server server;
    ASSERT_TRUE(server.ready);
    websrv_process second;
    fs::create_directory(second.dir / "root");
    write_file(second.dir / "w.cfg", "ip=127.0.0.1\nport=" + std::to_string(server.port) +
                                         "\nroot=root\npassword=other\nworkers=2\n");
    second.start("./websrv", {}, {"-c", "w.cfg"});
    EXPECT_EQ(second.wait_for_exit(5.0), 1);
    EXPECT_NE(read_file(second.dir / "stderr.txt").find("Address already in use"),
              std::string::npos);
    EXPECT_EQ(listeners(server.port), 2);
}

// websrv DIR serves with a worker per core, and tells its start once; a
// share whose users may change it (-w) keeps one process, which sees every
// WebDAV lock.
TEST(WebsrvWorkers, TheFolderFormRunsAWorkerPerCoreUnlessItsUsersMayChangeIt) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (cores < 2) GTEST_SKIP() << "one core: one process either way";
    for (const bool may_change : {false, true}) {
        websrv_process process;
        write_file(process.dir / "share" / "a.txt", "alpha");
        const std::string port = std::to_string(free_port());
        std::vector<std::string> arguments = {"-b", "127.0.0.1", "-p", port, "--auth", "me:pw"};
        if (may_change) arguments.push_back("-w");
        arguments.push_back("share");
        process.start("./websrv", {}, arguments);
        receive_until_file(process.dir / "stderr.txt", "password: ");
        const size_t expected = may_change ? 0 : static_cast<size_t>(std::min(cores, 64L));
        EXPECT_TRUE(workers_server::wait_for([&] {
            return children_of(process.pid).size() == expected;
        })) << "-w: "
            << may_change << ", " << children_of(process.pid).size() << " workers";
        const int client = connect_to(static_cast<unsigned short>(std::stoi(port)));
        ASSERT_NE(client, -1);
        EXPECT_TRUE(send_all(client,
                             "GET /a.txt HTTP/1.1\r\nHost: x\r\n"
                             "Authorization: Basic bWU6cHc=\r\n\r\n"));
        EXPECT_EQ(websrv_process::count(receive_answers(client, 1), "alpha"), 1);
        close(client);
        EXPECT_EQ(websrv_process::count(read_file(process.dir / "stderr.txt"), "websrv: serving"),
                  1)
            << read_file(process.dir / "stderr.txt");
        process.stop();
    }
}

TEST(WebsrvWorkers, AWorkerThatDiesIsStartedAgainAndSigtermEndsThemAll) {
    workers_server server;
    ASSERT_TRUE(server.ready);
    const pid_t parent = server.process.pid;
    const std::set<pid_t> first = children_of(parent);
    ASSERT_EQ(first.size(), 2u);
    const pid_t victim = *first.begin();
    kill(victim, SIGKILL);
    ASSERT_TRUE(server.process.wait_for_log(
        "worker " + std::to_string(victim) + " ended (status signal 9): started ", 1, 5.0,
        "w.log"));
    std::set<pid_t> now;
    EXPECT_TRUE(workers_server::wait_for([&] {
        now = children_of(parent);
        return now.size() == 2 && now.count(victim) == 0 && listeners(server.port) == 2;
    }));
    const std::string log = server.log();
    for (pid_t pid : now) {
        if (first.count(pid) != 0) continue;
        EXPECT_NE(log.find("started " + std::to_string(pid) + "\n"), std::string::npos) << log;
    }
    // SIGUSR1 reaches every worker: after a rotation, whichever serves
    // writes to the new log.
    fs::rename(server.process.dir / "w.log", server.process.dir / "w.log.1");
    kill(parent, SIGUSR1);
    const std::string new_log = (server.process.dir / "w.log").string();
    EXPECT_TRUE(workers_server::wait_for([&] {
        for (pid_t pid : now) {
            if (!holds(pid, new_log)) return false;
        }
        return true;
    }));
    std::set<pid_t> served_by;
    for (int c = 0; c < 20; ++c) {
        const int client = connect_to(server.port);
        EXPECT_EQ(status_of(client, right_login), "HTTP/1.1 200 OK");
        served_by.insert(serving_process(client, server.port, now));
        close(client);
    }
    EXPECT_EQ(served_by, now);
    EXPECT_TRUE(server.process.wait_for_log("\"GET /a.txt HTTP/1.1\" 200", 20, 5.0, "w.log"));
    EXPECT_EQ(websrv_process::count(server.process.log("w.log.1"), "\"GET "), 0);

    kill(parent, SIGTERM);
    EXPECT_EQ(server.process.wait_for_exit(1.0), 0);
    for (pid_t pid : now)
        EXPECT_NE(kill(pid, 0), 0) << "worker " << pid << " outlived its parent";
}

// Wrong passwords on connections that two different workers serve add up
// to one limit for the address.
TEST(WebsrvWorkers, TheLoginLimitCountsAcrossWorkers) {
    workers_server server("login_limit=3\n");
    ASSERT_TRUE(server.ready);
    const std::set<pid_t> workers = children_of(server.process.pid);
    ASSERT_EQ(workers.size(), 2u);
    std::map<pid_t, std::vector<int>> on;
    std::vector<int> clients;
    for (int c = 0; c < 60 && (on.size() < 2 || on.begin()->second.size() < 2 ||
                               on.rbegin()->second.size() < 2);
         ++c) {
        const int client = connect_to(server.port);
        ASSERT_NE(client, -1);
        clients.push_back(client);
        // No credentials: a 401 that counts no failure, and logs nobody in.
        ASSERT_EQ(status_of(client, ""), "HTTP/1.1 401 Unauthorized");
        on[serving_process(client, server.port, workers)].push_back(client);
    }
    ASSERT_EQ(on.size(), 2u);
    std::vector<int>& a = on.begin()->second;
    std::vector<int>& b = on.rbegin()->second;
    ASSERT_GE(a.size(), 2u);
    ASSERT_GE(b.size(), 2u);
    EXPECT_EQ(status_of(a[0], wrong_login), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(status_of(b[0], wrong_login), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(status_of(a[1], wrong_login), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(status_of(b[1], right_login), "HTTP/1.1 429 Too Many Requests")
        << "the worker that saw one failure refuses the address";
    for (int client : clients)
        close(client);
    // The line is written after the answer goes out: waited for, then counted.
    EXPECT_TRUE(server.process.wait_for_log("login limit reached", 1, 5.0, "w.log"));
    EXPECT_EQ(websrv_process::count(server.log(), "login limit reached"), 1);
}

}  // namespace
