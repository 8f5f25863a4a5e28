// Helpers for the tests that run the real websrv binary: a private copy of
// it in a temporary directory, started and stopped by PID, and bounded waits
// for its log and its answers. Everything talks to loopback only.
//
// Before its first test, a test program that includes this moves into a
// network namespace of its own with nothing but its loopback interface, and
// every process it starts shares it: whatever a test binds, port 80 of a
// start without a configuration file too, is never a port of the host.
// Making the namespace takes root; without it the tests run on the host's
// loopback, on free ports, and a test that needs a port it does not choose
// skips with the reason outside_private_network() gives.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"

namespace blackbox {

namespace fs = std::filesystem;
using clock = std::chrono::steady_clock;

inline std::string read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

inline void write_file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Why this process is not in a network namespace of its own; empty when it is.
inline std::string& outside_private_network() {
    static std::string why = "the tests have not begun";
    return why;
}

// Brings the loopback interface of this process's network namespace up, as
// "ip link set lo up" does.
inline bool bring_loopback_up() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd != -1 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd != -1) close(fd);
    return up;
}

// Moves the test program into a namespace of its own before the first test,
// and back to the host's network if its loopback cannot be brought up.
class private_network : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string& why = outside_private_network();
        int host = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (unshare(CLONE_NEWNET) != 0) {
            why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        } else if (!bring_loopback_up()) {
            why = std::string("its loopback interface stays down: ") + strerror(errno);
            if (host != -1) setns(host, CLONE_NEWNET);
        } else {
            why.clear();
        }
        if (host != -1) close(host);
    }
};

inline ::testing::Environment* const private_network_environment =
    ::testing::AddGlobalTestEnvironment(new private_network);

// A loopback port that nothing listens on at the moment of asking.
inline unsigned short free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// A blocking client socket to 127.0.0.1:port with 5-second send and receive
// limits, or -1; from the loopback address `source` when one is given.
inline int connect_to(unsigned short port, const char* source = nullptr) {
    int fd = connect_loopback(port, 0, source);
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

inline bool send_all(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads until `done(data)` holds, the peer closes, or `seconds` pass.
inline std::string receive_until(int fd, const std::function<bool(const std::string&)>& done,
                                 double seconds) {
    std::string data;
    auto deadline = clock::now() + std::chrono::duration<double>(seconds);
    while (!done(data) && clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 50) <= 0) continue;
        char chunk[65536];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        data.append(chunk, static_cast<size_t>(n));
    }
    return data;
}

// Reads until the peer closes, `expected` bytes have come, or `seconds` pass.
inline std::string receive(int fd, size_t expected, double seconds = 5.0) {
    return receive_until(
        fd, [expected](const std::string& data) { return data.size() >= expected; }, seconds);
}

// Reads until `answers` responses have begun (counted by their status lines),
// the peer closes, or `seconds` pass.
inline std::string receive_answers(int fd, int answers, double seconds = 5.0) {
    auto begun = [answers](const std::string& data) {
        int n = 0;
        for (size_t at = data.find("HTTP/1.1 "); at != std::string::npos && n < answers;
             at = data.find("HTTP/1.1 ", at + 1))
            ++n;
        return n >= answers;
    };
    return receive_until(fd, begun, seconds);
}

// The Authorization field line for the default login and password.
inline const std::string basic_auth = "Authorization: Basic dXNlcjo1NzEy\r\n";

// Reads one whole response, its head and as many body bytes as its
// Content-Length says; less when the peer closes or `seconds` pass first.
inline std::string receive_response(int fd, double seconds = 5.0) {
    auto whole = [](const std::string& data) {
        size_t head_end = data.find("\r\n\r\n");
        size_t field = data.find("\r\nContent-Length: ");
        if (head_end == std::string::npos || field == std::string::npos || field > head_end) {
            return false;
        }
        return data.size() >= head_end + 4 + std::stoul(data.substr(field + 18));
    };
    return receive_until(fd, whole, seconds);
}

// Whether the peer has closed the connection within `seconds`.
inline bool closed_by_peer(int fd, double seconds = 5.0) {
    auto deadline = clock::now() + std::chrono::duration<double>(seconds);
    while (clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 50) <= 0) continue;
        char chunk[4096];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return true;
    }
    return false;
}

// A copy of websrv in a fresh temporary directory. The process it starts is
// killed by PID and the directory removed when the object goes.
class websrv_process {
  public:
    websrv_process() {
        std::string pattern = (fs::temp_directory_path() / "websrv-test-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        fs::copy_file(WEBSRV_BINARY, dir / "websrv");
    }
    ~websrv_process() {
        stop();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    websrv_process(const websrv_process&) = delete;
    websrv_process& operator=(const websrv_process&) = delete;

    // Writes websrv.cfg beside the copy.
    void configure(const std::string& text) const { write_file(dir / "websrv.cfg", text); }

    // Starts the copy as `argv0` from the working directory `cwd` (default:
    // its own), with `args` after argv0. Standard output goes to stdout.txt,
    // or to the descriptor `screen` when one is given; standard error goes to
    // stderr.txt.
    void start(const std::string& argv0 = "./websrv", const fs::path& cwd = {},
               const std::vector<std::string>& args = {}, int screen = -1) {
        fs::path work = cwd.empty() ? dir : cwd;
        std::string out_name = (dir / "stdout.txt").string();
        std::string err_name = (dir / "stderr.txt").string();
        std::string program = (dir / "websrv").string();
        std::vector<const char*> argv{argv0.c_str()};
        for (const std::string& arg : args)
            argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            int out =
                screen != -1 ? screen : open(out_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(err_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            if (run_as != 0 && (setgid(run_as) != 0 || setuid(run_as) != 0)) _exit(126);
            if (chdir(work.c_str()) != 0) _exit(127);
            execv(program.c_str(), const_cast<char* const*>(argv.data()));
            _exit(127);
        }
    }

    // Waits for the started process to end; its exit status, or -1 when it
    // is still running after `seconds` or did not exit normally.
    int wait_for_exit(double seconds = 5.0) {
        auto deadline = clock::now() + std::chrono::duration<double>(seconds);
        while (pid > 0 && clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    bool alive() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

    std::string log(const std::string& name = "websrv.log") const { return read_file(dir / name); }

    // The user and group the copy runs as; 0: the test's own.
    uid_t run_as = 0;

    // Waits until the log holds `text` `times` times or `seconds` pass.
    bool wait_for_log(const std::string& text, int times = 1, double seconds = 5.0,
                      const std::string& name = "websrv.log") const {
        auto deadline = clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            if (count(log(name), text) >= times) return true;
            if (clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    static int count(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++n;
        }
        return n;
    }

    fs::path dir;
    pid_t pid = -1;
};

// Whether process `pid` has a descriptor open on `target`.
inline bool holds(pid_t pid, const std::string& target) {
    std::error_code ignored;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
        if (fs::read_symlink(fd.path(), ignored).string() == target) return true;
    }
    return false;
}

// A started server on a free loopback port, serving `dir`/root/. Another
// process may take the free port before the server binds it: then it is
// started again on another one.
struct running_server {
    explicit running_server(const std::string& extra_config = "") {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = free_port();
            process.configure("ip=127.0.0.1\nport=" + std::to_string(port) + "\n" + extra_config);
            process.start();
            activated = process.wait_for_log("server activated", 1, 10.0);
            if (activated || process.log().find("can not activate server") == std::string::npos) {
                return;
            }
            process.stop();
        }
    }
    bool ready() const { return activated; }
    websrv_process process;
    unsigned short port = 0;
    bool activated = false;
};

// Waits until the file holds `text` or `seconds` pass; returns what it holds.
inline std::string receive_until_file(const fs::path& file, const std::string& text,
                                      double seconds = 10.0) {
    auto deadline = clock::now() + std::chrono::duration<double>(seconds);
    std::string held = read_file(file);
    while (held.find(text) == std::string::npos && clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        held = read_file(file);
    }
    return held;
}

// Runs a shell command with a time limit and returns its standard output.
inline std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(("timeout 20 " + command).c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, n);
    pclose(pipe);
    return output;
}

// curl with `arguments`, straight to loopback whatever proxy the environment names.
inline std::string curl(const std::string& arguments) {
    return run("curl -sS --noproxy '*' " + arguments);
}

}  // namespace blackbox
