// The connection hooks and the server wrapper, driven in-process.
#include "app/simple_server.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>

#include "app/main.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\) )";
const std::string node_prefix = stamp + R"(node \(ip = 0\.0\.0\.0, port = 0\) )";

// A node connected to one end of a socket pair whose other end is `peer`.
struct node_on_pair {
    site_policy site;
    site_services services;
    simple_server_node* node = new simple_server_node(&site, &services);
    int peer = -1;
    node_on_pair() {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        prepare_server_node(node, fds[0], sockaddr_in{});
        peer = fds[1];
    }
    ~node_on_pair() {
        delete node;
        close(peer);
    }
};

TEST(SimpleServer, ServerErrorsAreLogged) {
    simple_se_server server;
    CaptureStdout();
    server.after_error(se_server::accept_failed);
    EXPECT_TRUE(std::regex_match(
        GetCapturedStdout(),
        std::regex(stamp + "server function call finished with error accept_failed\n")));
}

TEST(SimpleServer, ANodeDestroyedWhileConnectedLogsItsClose) {
    CaptureStdout();
    {
        node_on_pair pair;
        pair.node->after_connect();
    }
    EXPECT_TRUE(std::regex_match(
        GetCapturedStdout(),
        std::regex(node_prefix + "connected\n" + node_prefix + "job _recv activated\n" +
                   node_prefix + "job _recv finished with result aborted\n" + node_prefix +
                   "disconnected\n")));
}

TEST(SimpleServer, AFailedJobClosesTheConnection) {
    CaptureStdout();
    node_on_pair pair;
    pair.node->after_connect();
    // A send job on a connection whose peer is gone fails: the node closes it.
    pair.node->abort_job();
    pair.node->activate_job(se_basic_node::_send, false);
    close(pair.peer);
    pair.peer = -1;
    pair.node->job_proc();
    std::string log = GetCapturedStdout();
    EXPECT_FALSE(pair.node->connected());
    EXPECT_TRUE(std::regex_search(log, std::regex(node_prefix +
                                                  "job _send finished with result "
                                                  "send_failed\n" +
                                                  node_prefix + "disconnected\n")))
        << log;
}

bool under_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

// The address space in use by this process, in bytes.
rlim_t address_space_in_use() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    }
    return 0;
}

TEST(SimpleServer, NoNodeWhenItsBuffersCannotBeAllocated) {
    if (under_address_sanitizer()) GTEST_SKIP() << "the sanitizer reserves the address space";
    pid_t child = fork();
    if (child == 0) {
        // Leave room for the node, not for its 64 MiB response buffer.
        simple_se_server server;
        server.policy().sizeof_out = 64 << 20;
        rlimit limit{address_space_in_use() + (16 << 20), RLIM_INFINITY};
        setrlimit(RLIMIT_AS, &limit);
        _exit(server.new_node() == nullptr ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "new_node must give no node, without ending the process";
}

}  // namespace
