#include "engine/socket_engine.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/platform.h"
#include "loopback.h"

namespace {

// A node whose hooks note what they saw, and whose state tests may set.
template <class base>
class recording : public base {
  public:
    using base::buffer;
    using base::buffer_size;
    using base::job_timeout;
    using base::last_io_result;
    using base::partial_recv;
    using base::send_file_fd;
    using base::send_file_offset;
    using base::send_file_remaining;
    using base::sock;
    using base::to_transfer;
    using base::transferred;

    std::vector<std::string>* events = &own_events;
    std::vector<std::string> own_events;
    std::function<void(recording&)> on_result;

    ~recording() override {
        base::disconnect();
        events->push_back("deleted");
    }
    void result_proc() override {
        events->push_back(std::string("result ") + base::get_result_str(base::get_result()) +
                          (base::connected() ? " connected" : " not-connected") +
                          (sock == -1 ? " no-socket" : " socket"));
        if (on_result) on_result(*this);
    }
    void after_connect() override { events->push_back("after_connect"); }
    void after_disconnect() override { events->push_back("after_disconnect"); }

    void start(se_basic_node::jobs job, char* data, int size, int count) {
        buffer = data;
        buffer_size = size;
        to_transfer = count;
        ASSERT_TRUE(this->activate_job(job, false));
    }
};

using test_node = recording<se_server_node>;
using test_client_node = recording<se_client_node>;

// A node on the accepted end of a loopback TCP connection; the test holds the client end.
struct connected_pair {
    test_node node;
    int peer = -1;

    connected_pair() {
        loopback_listener listener;
        peer = connect_loopback(listener.port);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        int accepted = accept(listener.fd, reinterpret_cast<sockaddr*>(&address), &length);
        enable_nonblocking_mode(accepted, true);
        prepare_server_node(&node, accepted, address);
    }
    // Closes the client end with a reset instead of an orderly close.
    void reset_peer() {
        linger abort_on_close{1, 0};
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        close(peer);
        peer = -1;
    }
    ~connected_pair() {
        if (peer != -1) close(peer);
    }
    void send_peer(const char* text) {
        ASSERT_EQ(write(peer, text, strlen(text)), (ssize_t)strlen(text));
    }
};

class SocketEngine : public ::testing::Test {
  protected:
    void SetUp() override { descriptors_before = open_descriptor_count(); }
    void TearDown() override {
        EXPECT_EQ(open_descriptor_count(), descriptors_before) << "descriptor leak";
    }
    int descriptors_before = 0;
};

TEST(SocketEngineNames, OutOfRangeValuesHaveUnknownNames) {
    EXPECT_STREQ(se_basic_node::get_job_str(se_basic_node::_recv), "_recv");
    EXPECT_STREQ(se_basic_node::get_job_str(static_cast<se_basic_node::jobs>(-1)), "unknown_job");
    EXPECT_STREQ(se_basic_node::get_job_str(static_cast<se_basic_node::jobs>(6)), "unknown_job");
    EXPECT_STREQ(se_basic_node::get_result_str(se_basic_node::success_with_overflow),
                 "success_with_overflow");
    EXPECT_STREQ(se_basic_node::get_result_str(static_cast<se_basic_node::results>(16)),
                 "unknown_result");
    EXPECT_STREQ(se_server::get_error_str(se_server::select_failed), "select_failed");
    EXPECT_STREQ(se_server::get_error_str(static_cast<se_server::errors>(8)), "unknown_error");
}

TEST_F(SocketEngine, ActivationIsRefusedWhileBusyAndForInvalidJobs) {
    test_node node;
    EXPECT_FALSE(node.activate_job(se_basic_node::no_job, false));
    EXPECT_FALSE(node.activate_job(static_cast<se_basic_node::jobs>(6), false));
    EXPECT_EQ(node.get_result(), se_basic_node::no_result);
    ASSERT_TRUE(node.activate_job(se_basic_node::_shutdown, true));
    EXPECT_EQ(node.get_result(), se_basic_node::busy);
    EXPECT_FALSE(node.activate_job(se_basic_node::_recv, false));
    EXPECT_EQ(node.get_job(), se_basic_node::_shutdown);
    EXPECT_TRUE(node.ready_for_job_proc());
}

TEST_F(SocketEngine, JobsCheckTheConnectionState) {
    test_node lonely;
    lonely.activate_job(se_basic_node::_recv, false);
    lonely.job_proc();
    EXPECT_EQ(lonely.get_result(), se_basic_node::already_disconnected);

    connected_pair pair;
    pair.node.activate_job(se_basic_node::_connect, false);
    pair.node.job_proc();
    EXPECT_EQ(pair.node.get_result(), se_basic_node::already_connected);
    EXPECT_FALSE(prepare_server_node(&pair.node, 99, sockaddr_in{})) << "already connected";
}

TEST_F(SocketEngine, ReceiveCompletesInParts) {
    connected_pair pair;
    char data[10];
    pair.node.start(se_basic_node::_recv, data, 10, 10);
    pair.node.job_proc();
    EXPECT_TRUE(pair.node.job_active()) << "nothing has arrived yet";
    pair.send_peer("abcd");
    pair.node.job_proc();
    EXPECT_TRUE(pair.node.job_active());
    EXPECT_EQ(pair.node.transferred, 4);
    pair.send_peer("efghij");
    pair.node.job_proc();
    EXPECT_EQ(pair.node.get_result(), se_basic_node::success);
    EXPECT_EQ(std::string(data, 10), "abcdefghij");
    EXPECT_EQ(pair.node.own_events, std::vector<std::string>{"result success connected socket"});
}

TEST_F(SocketEngine, ReceiveBeyondTheBufferIsDiscardedUpToTheCount) {
    connected_pair pair;
    char data[10];
    pair.node.start(se_basic_node::_recv, data, 10, 30);
    pair.send_peer("0123456789abcdefghijklmnopqrstX");
    ASSERT_TRUE(step_until([&] { pair.node.job_proc(); }, [&] { return !pair.node.job_active(); }));
    EXPECT_EQ(pair.node.get_result(), se_basic_node::success_with_overflow);
    EXPECT_EQ(pair.node.transferred, 30);
    EXPECT_EQ(std::string(data, 10), "0123456789");
    char rest[4];
    EXPECT_EQ(recv(pair.node.sock, rest, sizeof rest, MSG_DONTWAIT), 1) << "the 31st byte stays";
    EXPECT_EQ(rest[0], 'X');
}

TEST_F(SocketEngine, PartialReceiveEndsAfterTheFirstArrival) {
    connected_pair pair;
    char data[10];
    pair.node.partial_recv = true;
    pair.node.start(se_basic_node::_recv, data, 10, 10);
    pair.send_peer("abc");
    pair.node.job_proc();
    EXPECT_EQ(pair.node.get_result(), se_basic_node::success);
    EXPECT_EQ(pair.node.transferred, 3);

    pair.node.start(se_basic_node::_recv, data, 10, 20);
    pair.send_peer("d");
    pair.node.job_proc();
    EXPECT_EQ(pair.node.get_result(), se_basic_node::success_with_overflow);
}

TEST_F(SocketEngine, SendStopsAtTheBufferAndContinuesAfterPartialSends) {
    connected_pair pair;
    char data[] = "0123456789";
    pair.node.start(se_basic_node::_send, data, 10, 30);
    pair.node.job_proc();
    EXPECT_EQ(pair.node.get_result(), se_basic_node::success_with_overflow);
    char got[32] = {};
    EXPECT_EQ(read(pair.peer, got, sizeof got), 10);

    // A send larger than the socket takes at once goes on from where it stopped.
    int small = 4096;
    setsockopt(pair.node.sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<char> big(1 << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    pair.node.start(se_basic_node::_send, big.data(), (int)big.size(), (int)big.size());
    std::vector<char> received;
    int steps = 0;
    ASSERT_TRUE(step_until(
        [&] {
            pair.node.job_proc();
            ++steps;
            char chunk[65536];
            ssize_t n = recv(pair.peer, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) received.insert(received.end(), chunk, chunk + n);
        },
        [&] { return !pair.node.job_active() && received.size() == big.size(); }));
    EXPECT_GT(steps, 1);
    EXPECT_EQ(pair.node.get_result(), se_basic_node::success);
    EXPECT_TRUE(received == big);
}

// A transport that answers as a test tells it to, and counts its calls.
class scripted_transport : public transport {
  public:
    std::vector<outcome> answers;  // in turn; `moved` moves the bytes it is given
    std::string given = "xyz";
    size_t record = SIZE_MAX;  // the most one send moves
    bool decrypted_waiting = false;
    int calls = 0;

    outcome receive(int, char* data, size_t length, size_t* moved) override {
        const outcome next = take();
        *moved = next == outcome::moved ? std::min(length, given.size()) : 0;
        memcpy(data, given.data(), *moved);
        return next;
    }
    outcome send(int, const char*, size_t length, size_t* moved) override {
        const outcome next = take();
        *moved = next == outcome::moved ? std::min(length, record) : 0;
        return next;
    }
    bool pending() const override { return decrypted_waiting; }
    void shut_down_sending(int) override {}
    const std::string& reason() const override { return given; }

  private:
    outcome take() {
        ++calls;
        if (answers.empty()) return outcome::failed;
        const outcome next = answers.front();
        answers.erase(answers.begin());
        return next;
    }
};

// Through a transport, a receive waits for what the transport asks: a TLS
// receive that must write first is stepped once the socket is writable,
// though nothing is there to read; bytes waiting inside the transport need
// no readiness at all.
TEST_F(SocketEngine, AReceiveThroughATransportWaitsForWhatItAsks) {
    connected_pair pair;
    auto owned = std::make_unique<scripted_transport>();
    scripted_transport& via = *owned;
    pair.node.set_transport(std::move(owned));
    via.answers = {transport::outcome::want_write, transport::outcome::moved};
    char data[10];
    pair.node.start(se_basic_node::_recv, data, 10, 3);
    pair.node.job_proc();
    EXPECT_EQ(via.calls, 0) << "nothing to read yet: the transport is not called";
    via.decrypted_waiting = true;
    pair.node.job_proc();
    EXPECT_EQ(via.calls, 1) << "bytes wait inside the transport";
    via.decrypted_waiting = false;
    pair.node.job_proc();
    EXPECT_EQ(via.calls, 2) << "it asked to write, and the socket is writable";
    EXPECT_EQ(pair.node.get_result(), se_basic_node::success);
    EXPECT_EQ(std::string(data, 3), "xyz");

    via.answers = {transport::outcome::want_read, transport::outcome::closed};
    char out[] = "hello";
    pair.node.start(se_basic_node::_send, out, 5, 5);
    pair.node.job_proc();
    pair.node.job_proc();
    EXPECT_EQ(via.calls, 3) << "a send that must read waits for bytes to read";
    pair.send_peer("!");
    pair.node.job_proc();
    EXPECT_EQ(pair.node.get_result(), se_basic_node::send_failed);

    // A transport that moves a record per call is called again in the same
    // step until the socket is full, then waits for room.
    via.record = 2;
    via.calls = 0;
    via.answers = {transport::outcome::moved, transport::outcome::moved,
                   transport::outcome::want_write, transport::outcome::moved};
    pair.node.start(se_basic_node::_send, out, 5, 5);
    pair.node.job_proc();
    EXPECT_EQ(via.calls, 3);
    EXPECT_TRUE(pair.node.job_active()) << "one byte is left";
    pair.node.job_proc();
    EXPECT_EQ(via.calls, 4);
    EXPECT_EQ(pair.node.get_result(), se_basic_node::success);
}

// A peer's address as text, and the key a client is counted by: IPv4 as it
// is, also through an IPv6 socket, and IPv6 by its /64.
TEST(SocketEngineAddresses, TextsAndKeysOfPeers) {
    struct row {
        int family;
        const char* address;
        const char* text;
        std::uint64_t key;
    };
    const row rows[] = {
        {AF_INET, "192.0.2.7", "192.0.2.7", 0xFFFFFFFFC0000207},
        {AF_INET6, "::ffff:192.0.2.7", "192.0.2.7", 0xFFFFFFFFC0000207},
        {AF_INET6, "2001:db8:1:2::7", "2001:db8:1:2::7", 0x20010db800010002},
        {AF_INET6, "2001:db8:1:2:ffff::8", "2001:db8:1:2:ffff::8", 0x20010db800010002},
        {AF_INET6, "2001:db8:1:3::7", "2001:db8:1:3::7", 0x20010db800010003},
        {AF_INET6, "::1", "::1", 0},
    };
    for (const row& r : rows) {
        sockaddr_storage peer{};
        peer.ss_family = static_cast<sa_family_t>(r.family);
        if (r.family == AF_INET) {
            inet_pton(AF_INET, r.address, &reinterpret_cast<sockaddr_in&>(peer).sin_addr);
        } else {
            inet_pton(AF_INET6, r.address, &reinterpret_cast<sockaddr_in6&>(peer).sin6_addr);
        }
        test_node node;
        ASSERT_TRUE(prepare_server_node(&node, -1, peer));
        EXPECT_EQ(node.get_ip(), r.text) << r.address;
        EXPECT_EQ(node.get_peer_key(), r.key) << r.address;
    }
}

TEST_F(SocketEngine, SendToAResetPeerFailsWithoutKillingTheProcess) {
    connected_pair pair;
    pair.reset_peer();
    char data[] = "hello";
    pair.node.start(se_basic_node::_send, data, 5, 5);
    pair.node.job_proc();
    EXPECT_EQ(pair.node.get_result(), se_basic_node::send_failed);
    EXPECT_TRUE(pair.node.connected()) << "closing is the subclass's decision";
}

TEST_F(SocketEngine, AFailingReadinessTestEndsTheJobWithSelectFailed) {
    test_node node;
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    prepare_server_node(&node, fds[0], sockaddr_in{});
    close(fds[0]);  // the node's descriptor is no longer open
    char data[4];
    node.start(se_basic_node::_recv, data, 4, 4);
    node.job_proc();
    EXPECT_EQ(node.get_result(), se_basic_node::select_failed);
    EXPECT_TRUE(node.connected()) << "closing is the subclass's decision";
    node.disconnect();
    close(fds[1]);
}

TEST_F(SocketEngine, PeerCloseDuringReceiveClosesBeforeTheHooks) {
    connected_pair pair;
    char data[10];
    pair.node.start(se_basic_node::_recv, data, 10, 10);
    close(pair.peer);
    pair.peer = -1;
    pair.node.job_proc();
    EXPECT_EQ(pair.node.own_events,
              (std::vector<std::string>{"result connection_closed connected no-socket",
                                        "after_disconnect"}));
    EXPECT_FALSE(pair.node.connected());
    EXPECT_EQ(pair.node.sock, -1);
}

TEST_F(SocketEngine, DisconnectJobClosesBeforeTheHooks) {
    connected_pair pair;
    pair.node.activate_job(se_basic_node::_disconnect, false);
    pair.node.job_proc();
    EXPECT_EQ(pair.node.own_events,
              (std::vector<std::string>{"result success connected no-socket", "after_disconnect"}));
    EXPECT_FALSE(pair.node.connected());
}

TEST_F(SocketEngine, DisconnectAbortsTheRunningJobFirst) {
    connected_pair pair;
    char data[10];
    pair.node.start(se_basic_node::_recv, data, 10, 10);
    pair.node.disconnect();
    EXPECT_EQ(pair.node.own_events,
              (std::vector<std::string>{"result aborted connected socket", "after_disconnect"}));
    EXPECT_EQ(pair.node.sock, -1);

    pair.node.own_events.clear();
    pair.node.start(se_basic_node::_recv, data, 10, 10);
    pair.node.disconnect();
    EXPECT_EQ(pair.node.own_events,
              std::vector<std::string>{"result aborted not-connected no-socket"});

    pair.node.own_events.clear();
    pair.node.abort_job();
    EXPECT_TRUE(pair.node.own_events.empty()) << "no job, no hook";
}

TEST_F(SocketEngine, ZeroTimeoutEndsEvenAJobStartedByAHook) {
    connected_pair pair;
    char data[10];
    pair.node.job_timeout = 0;
    pair.node.on_result = [&](test_node& node) {
        if (node.get_result() == se_basic_node::success) {
            node.buffer = data;
            node.to_transfer = 10;
            node.activate_job(se_basic_node::_recv, false);
        }
    };
    pair.node.activate_job(se_basic_node::_shutdown, false);
    pair.node.job_proc();
    EXPECT_EQ(pair.node.own_events,
              (std::vector<std::string>{"result success connected socket",
                                        "result aborted_with_timeout connected socket"}));
    EXPECT_EQ(pair.node.get_job(), se_basic_node::_recv);
}

TEST_F(SocketEngine, AHookThatStartsAJobWithAgainIsSteppedInTheSamePoll) {
    connected_pair pair;
    int jobs_left = 5;
    pair.node.on_result = [&](test_node& node) {
        if (--jobs_left > 0) node.activate_job(se_basic_node::_shutdown, true);
    };
    pair.node.activate_job(se_basic_node::_shutdown, true);
    step_node(pair.node);
    EXPECT_EQ(jobs_left, 0);
    EXPECT_EQ(pair.node.own_events.size(), 5u);
    EXPECT_FALSE(pair.node.ready_for_job_proc());
}

TEST_F(SocketEngine, DescriptorsAbove1024AreServed) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const int high = 1500;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(high)) {
        GTEST_SKIP() << "the hard descriptor limit is too low";
    }
    rlimit raised = limit;
    if (raised.rlim_cur <= static_cast<rlim_t>(high)) raised.rlim_cur = high + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    {
        connected_pair pair;
        ASSERT_EQ(dup2(pair.node.sock, high), high);
        close(pair.node.sock);
        pair.node.sock = high;
        char data[8];
        pair.node.start(se_basic_node::_recv, data, 8, 8);
        pair.node.job_proc();
        EXPECT_TRUE(pair.node.job_active());
        pair.send_peer("12345678");
        pair.node.job_proc();
        EXPECT_EQ(pair.node.get_result(), se_basic_node::success);
        EXPECT_EQ(std::string(data, 8), "12345678");
    }
    setrlimit(RLIMIT_NOFILE, &limit);
}

// ---------------------------------------------------------------------------

class test_server : public se_server {
  public:
    using se_server::nodes;
    using se_server::sock;
    std::vector<std::string> events;
    std::function<se_server_node*()> factory;

    ~test_server() override { deactivate(); }
    void after_error(errors error) override { events.push_back(get_error_str(error)); }
    se_server_node* new_node() override {
        if (factory) return factory();
        auto* node = new test_node;
        node->events = &events;
        return node;
    }
};

// A node that starts receiving as soon as it is connected, and notes how
// many bytes had arrived whenever its before_job_proc() ran.
class receiving_node_type : public test_node {
  public:
    char data[16];
    std::vector<int> seen_before_step;
    void before_job_proc() override { seen_before_step.push_back(transferred); }
    void after_connect() override {
        test_node::after_connect();
        buffer = data;
        buffer_size = to_transfer = sizeof data;
        activate_job(_recv, true);
    }
};

class SocketServer : public SocketEngine {
  protected:
    void TearDown() override {
        server.deactivate();
        SocketEngine::TearDown();
    }
    bool activate_on_free_port() {
        loopback_listener probe;
        unsigned short port = probe.port;
        close(probe.fd);
        probe.fd = socket(AF_INET, SOCK_STREAM, 0);
        server.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", port);
        return server.activate(true);
    }
    // Accepted connections get nodes that start receiving at once.
    void use_receiving_nodes() {
        server.factory = [this] {
            auto* node = new receiving_node_type;
            node->events = &server.events;
            return node;
        };
    }
    test_server server;
};

TEST_F(SocketServer, BindFailureIsReportedAndLeavesNoSocket) {
    loopback_listener taken;
    ASSERT_TRUE(server.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", taken.port));
    EXPECT_FALSE(server.activate(true));
    EXPECT_EQ(server.events, std::vector<std::string>{"bind_failed"});
    EXPECT_EQ(server.sock, -1);
    EXPECT_FALSE(server.active());

    EXPECT_TRUE(server.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "0", 0));
    EXPECT_TRUE(server.activate(true)) << "a later activation may succeed";
    EXPECT_EQ(server.get_ip(), "0.0.0.0");
    EXPECT_FALSE(server.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", 1));
    EXPECT_FALSE(server.activate(true));
    EXPECT_EQ(server.get_port(), 0);
    EXPECT_EQ(server.events.size(), 1u) << "refusals call no hook";
}

TEST_F(SocketServer, AcceptsOneConnectionPerPoll) {
    ASSERT_TRUE(activate_on_free_port());
    int a = connect_loopback(server.get_port());
    int b = connect_loopback(server.get_port());
    ASSERT_NE(a, -1);
    ASSERT_NE(b, -1);
    ASSERT_TRUE(step_until([&] { server.job_proc(); }, [&] { return !server.nodes.empty(); }));
    EXPECT_EQ(server.nodes.size(), 1u);
    server.job_proc();
    EXPECT_EQ(server.nodes.size(), 2u);
    EXPECT_EQ(server.nodes.front()->get_ip(), "127.0.0.1");
    close(a);
    close(b);
}

TEST_F(SocketServer, AClosedConnectionIsDeletedInItsFirstPoll) {
    ASSERT_TRUE(activate_on_free_port());
    use_receiving_nodes();
    int client = connect_loopback(server.get_port());
    close(client);
    ASSERT_TRUE(step_until([&] { server.job_proc(); }, [&] { return !server.events.empty(); }));
    EXPECT_EQ(server.events, (std::vector<std::string>{
                                 "after_connect", "result connection_closed connected no-socket",
                                 "after_disconnect", "deleted"}));
    EXPECT_TRUE(server.nodes.empty());
}

TEST_F(SocketServer, DeactivateAbortsJobsThenDisconnectsAndDeletes) {
    ASSERT_TRUE(activate_on_free_port());
    use_receiving_nodes();
    int client = connect_loopback(server.get_port());
    ASSERT_TRUE(step_until([&] { server.job_proc(); }, [&] { return !server.nodes.empty(); }));
    server.deactivate();
    EXPECT_EQ(server.events,
              (std::vector<std::string>{"after_connect", "result aborted connected socket",
                                        "after_disconnect", "deleted"}));
    EXPECT_FALSE(server.active());
    EXPECT_TRUE(server.nodes.empty());
    EXPECT_EQ(server.sock, -1);
    server.job_proc();  // inactive: nothing happens
    close(client);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(SocketServer, WaitEndsAtOnceWhenThereIsWorkAndIgnoresNodesWithoutAJob) {
    ASSERT_TRUE(activate_on_free_port());
    auto* idle = new test_node;  // the first connection's node runs no job
    idle->events = &server.events;
    receiving_node_type* receiving = nullptr;
    server.factory = [&]() -> se_server_node* {
        if (server.nodes.empty()) return idle;
        receiving = new receiving_node_type;
        receiving->events = &server.events;
        return receiving;
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.wait(150)) << "nothing to do";
    EXPECT_GE(seconds_since(start), 0.12);

    int jobless_peer = connect_loopback(server.get_port());
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(server.wait(5000)) << "a connection to accept";
    EXPECT_LT(seconds_since(start), 1.0);
    server.job_proc();
    EXPECT_TRUE(server.made_progress());
    int receiving_peer = connect_loopback(server.get_port());
    ASSERT_TRUE(server.wait(5000));
    server.job_proc();
    ASSERT_NE(receiving, nullptr);
    server.job_proc();
    EXPECT_FALSE(server.made_progress());

    ASSERT_EQ(write(jobless_peer, "x", 1), 1);
    shutdown(jobless_peer, SHUT_WR);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.wait(150)) << "the node without a job is not waited on";
    EXPECT_GE(seconds_since(start), 0.12);

    ASSERT_EQ(write(receiving_peer, "abc", 3), 3);
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(server.wait(5000)) << "bytes for a receiving node";
    EXPECT_LT(seconds_since(start), 1.0);
    server.job_proc();

    // The wakeup descriptor, written before the wait or during it, ends it,
    // and is read empty: the next wait runs its time.
    const int wakeup = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    server.set_wakeup(wakeup);
    const uint64_t one = 1;
    ASSERT_EQ(write(wakeup, &one, sizeof one), 8);
    EXPECT_TRUE(server.wait(5000)) << "written before the wait";
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)!write(wakeup, &one, sizeof one);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(server.wait(5000)) << "written during the wait";
    EXPECT_LT(seconds_since(start), 1.0);
    writer.join();
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.wait(150)) << "read empty by the wait that saw it";
    EXPECT_GE(seconds_since(start), 0.12);
    server.set_wakeup(-1);
    close(wakeup);
    close(jobless_peer);
    close(receiving_peer);
}

// By default a node gets one step per poll, so its hooks see the bytes of a
// receive only in the next poll; when waking on I/O it is stepped again at once.
// Either way what the wait saw holds for one poll only.
TEST_F(SocketServer, WakingOnIoStepsANodeAgainAfterItReceived) {
    for (bool wake : {false, true}) {
        SCOPED_TRACE(wake ? "wake on I/O" : "default");
        ASSERT_TRUE(activate_on_free_port());
        server.set_wake_on_io(wake);
        use_receiving_nodes();
        int peer = connect_loopback(server.get_port());
        ASSERT_TRUE(server.wait(5000));
        server.job_proc();
        ASSERT_EQ(server.nodes.size(), 1u);
        auto* node = static_cast<receiving_node_type*>(server.nodes.front());
        node->seen_before_step.clear();

        ASSERT_EQ(write(peer, "abc", 3), 3);
        ASSERT_TRUE(server.wait(5000));
        server.job_proc();
        EXPECT_TRUE(server.made_progress());
        std::vector<int> expected = wake ? std::vector<int>{0, 3} : std::vector<int>{0};
        EXPECT_EQ(node->seen_before_step, expected);
        for (int poll = 0; poll < 3; ++poll)
            server.job_proc();  // without a wait: nothing stale is trusted
        EXPECT_FALSE(server.made_progress());
        EXPECT_EQ(node->get_result(), se_basic_node::busy);
        EXPECT_EQ(node->transferred, 3);
        close(peer);
        server.deactivate();
        server.events.clear();
    }
}

// Started half-way through a wall-clock second, where a limit counted in
// whole seconds would strike at 1.5 s. Waking on I/O, the wait itself ends at
// the limit; by default the next 100 ms poll sees it.
TEST_F(SocketServer, AJobTimeoutStrikesAtItsLimitAndSoonAfter) {
    for (bool wake : {false, true}) {
        SCOPED_TRACE(wake ? "wake on I/O" : "default");
        ASSERT_TRUE(activate_on_free_port());
        server.set_wake_on_io(wake);
        server.factory = [this] {
            auto* node = new receiving_node_type;
            node->events = &server.events;
            node->job_timeout = 2000;
            return node;
        };
        wait_for_wall_clock_fraction(0.5);
        auto start = std::chrono::steady_clock::now();
        int peer = connect_loopback(server.get_port());
        ASSERT_TRUE(step_until([&] { server.job_proc(); }, [&] { return !server.nodes.empty(); }));
        se_server_node* node = server.nodes.front();
        while (node->job_active() && seconds_since(start) < 3.0) {
            if (wake) {
                EXPECT_TRUE(server.wait(5000)) << "ends at the limit at the latest";
            } else {
                Sleep(100);
            }
            server.job_proc();
        }
        double ended = seconds_since(start);
        EXPECT_EQ(node->get_result(), se_basic_node::aborted_with_timeout);
        EXPECT_GE(ended, 2.0) << "never before the limit";
        EXPECT_LT(ended, wake ? 2.1 : 2.5);
        close(peer);
        server.deactivate();
        server.events.clear();
    }
}

// A node that, once connected, sends a head from its buffer and then a range
// of a file, through small socket buffers so that the file goes in many pieces.
const char tail_head[] = "head\r\n\r\n";

class tail_sending_node : public test_node {
  public:
    std::string head = tail_head;
    int file = -1;
    off_t offset = 0;
    off_t length = 0;
    void after_connect() override {
        int small = 16384;
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        buffer = head.data();
        buffer_size = to_transfer = static_cast<int>(head.size());
        send_file_fd = file;
        send_file_offset = offset;
        send_file_remaining = length;
        activate_job(_send, false);
    }
};

// An unlinked temporary file of `size` patterned bytes; also returns them.
int patterned_file(off_t size, std::string* bytes) {
    char name[] = "/tmp/test-socket-engine-XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    bytes->resize(static_cast<size_t>(size));
    for (size_t i = 0; i < bytes->size(); ++i)
        (*bytes)[i] = static_cast<char>(i * 131 + (i >> 12));
    EXPECT_EQ(write(fd, bytes->data(), bytes->size()), static_cast<ssize_t>(size));
    return fd;
}

TEST_F(SocketServer, SendWithAFileTail) {
    const off_t mib = 1 << 20;
    const unsigned none = 0xFFFFFFFF;
    struct tail_case {
        const char* name;
        bool wake;
        off_t file_size, offset, length;
        unsigned timeout_ms;
        size_t read_limit;  // the reader stops taking bytes after this many
        int read_pause_ms;  // between two reads
        se_basic_node::results result;
        off_t remaining;  // send_file_remaining after the job
    };
    const tail_case cases[] = {
        {"a file that grew is sent to its range", false, 6 * mib + 999, 100, 6 * mib, none,
         SIZE_MAX, 0, se_basic_node::success, 0},
        {"the same, waking on I/O", true, 6 * mib + 999, 100, 6 * mib, none, SIZE_MAX, 0,
         se_basic_node::success, 0},
        {"a file shorter than its range", true, mib, 0, 2 * mib, none, SIZE_MAX, 0,
         se_basic_node::send_failed, mib},
        {"a zero-length tail", false, 1000, 0, 0, none, SIZE_MAX, 0, se_basic_node::success, 0},
        {"a steady reader outlasts the limit", true, 3 * mib, 0, 3 * mib, 300, SIZE_MAX, 5,
         se_basic_node::success, 0},
        {"a reader that stops is cut off", false, 3 * mib, 0, 3 * mib, 300, 256 * 1024, 5,
         se_basic_node::aborted_with_timeout, -1},
    };
    for (const tail_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes;
        int file = patterned_file(c.file_size, &bytes);
        ASSERT_TRUE(activate_on_free_port());
        server.set_wake_on_io(c.wake);
        tail_sending_node* node = nullptr;
        server.factory = [&] {
            node = new tail_sending_node;
            node->events = &server.events;
            node->job_timeout = c.timeout_ms;
            node->file = file;
            node->offset = c.offset;
            node->length = c.length;
            return node;
        };
        int peer = connect_loopback(server.get_port(), 16384);
        auto start = std::chrono::steady_clock::now();
        std::string received;
        // What the reader gets when it takes all: the head and the range, or what of
        // the range the file still had.
        size_t arriving =
            strlen(tail_head) + static_cast<size_t>(c.length - std::max<off_t>(c.remaining, 0));
        ASSERT_TRUE(step_until(
            [&] {
                if (c.wake) server.wait(100);
                server.job_proc();
                if (received.size() >= c.read_limit) return;
                char chunk[65536];
                ssize_t n = recv(peer, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0) received.append(chunk, static_cast<size_t>(n));
                if (c.read_pause_ms > 0) usleep(static_cast<useconds_t>(c.read_pause_ms * 1000));
            },
            [&] {
                return node != nullptr && !node->job_active() &&
                       (received.size() >= std::min(arriving, c.read_limit));
            },
            20.0));
        double seconds = seconds_since(start);
        EXPECT_EQ(node->get_result(), c.result);
        EXPECT_EQ(node->transferred, static_cast<int>(node->head.size())) << "the head only";
        std::string expected =
            node->head + bytes.substr(static_cast<size_t>(c.offset), static_cast<size_t>(c.length));
        if (c.remaining >= 0) {
            EXPECT_EQ(node->send_file_remaining, c.remaining);
            EXPECT_TRUE(received == expected.substr(0, arriving)) << "byte-identical";
        } else {
            EXPECT_GT(node->send_file_remaining, 0);
            EXPECT_TRUE(received == expected.substr(0, received.size()));
        }
        if (c.result == se_basic_node::send_failed) {
            EXPECT_EQ(node->last_io_result, 0) << "the file ended early";
        }
        if (c.timeout_ms != none && c.result == se_basic_node::success) {
            EXPECT_GT(seconds, c.timeout_ms / 1000.0) << "longer than the limit in all";
        }
        close(peer);
        server.deactivate();
        server.events.clear();
        close(file);
    }
}

// A full descriptor table makes every accept fail while the connection stays
// pending: waking on it would make the loop spin.
TEST_F(SocketServer, WakingOnIoAFailedAcceptRestsTheListenerForAWait) {
    ASSERT_TRUE(activate_on_free_port());
    server.set_wake_on_io(true);
    int client = connect_loopback(server.get_port());
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    rlimit full = limit;
    int lowest_free = dup(0);  // the descriptor accept would get
    close(lowest_free);
    full.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &full), 0);
    ASSERT_TRUE(server.wait(5000));
    server.job_proc();
    EXPECT_EQ(server.events, std::vector<std::string>{"accept_failed"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.wait(150)) << "the pending connection does not wake it";
    EXPECT_GE(seconds_since(start), 0.12);
    server.job_proc();
    EXPECT_EQ(server.events.size(), 2u) << "after a full wait accepting is tried again";
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_FALSE(server.wait(150)) << "it rests again after the second failure";
    server.job_proc();
    EXPECT_EQ(server.nodes.size(), 1u) << "accepted once descriptors are free";
    close(client);
}

TEST_F(SocketServer, AConnectionWithoutAUsableNodeIsClosed) {
    ASSERT_TRUE(activate_on_free_port());
    int refusals = 0;
    server.factory = [&]() -> se_server_node* {
        if (refusals++ == 0) return nullptr;
        auto* node = new test_node;  // already connected: refused by prepare_server_node
        node->events = &server.events;
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        close(fds[1]);
        prepare_server_node(node, fds[0], sockaddr_in{});
        return node;
    };
    for (int attempt = 0; attempt < 2; ++attempt) {
        int client = connect_loopback(server.get_port());
        ASSERT_TRUE(step_until([&] { server.job_proc(); }, [&] { return refusals > attempt; }));
        char byte;
        EXPECT_EQ(read(client, &byte, 1), 0) << "the server closed the connection";
        close(client);
    }
    EXPECT_TRUE(server.nodes.empty());
    EXPECT_EQ(server.events.back(), "deleted");
}

// ---------------------------------------------------------------------------

class SocketClient : public SocketEngine {};

TEST_F(SocketClient, ConnectStartsThenSucceedsAndHooksRunInOrder) {
    loopback_listener listener;
    test_client_node node;
    ASSERT_TRUE(node.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", listener.port));
    ASSERT_TRUE(node.activate_job(se_basic_node::_connect, false));
    node.job_proc();
    EXPECT_TRUE(node.job_active()) << "the first step only starts the attempt";
    EXPECT_NE(node.sock, -1);
    ASSERT_TRUE(step_until([&] { node.job_proc(); }, [&] { return !node.job_active(); }));
    EXPECT_EQ(node.own_events,
              (std::vector<std::string>{"result success not-connected socket", "after_connect"}));
    EXPECT_TRUE(node.connected());
    EXPECT_FALSE(node.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.2", 1));
    EXPECT_EQ(node.get_port(), listener.port);

    // Disconnected, the node connects again with a new socket.
    node.disconnect();
    EXPECT_EQ(node.sock, -1);
    node.own_events.clear();
    node.activate_job(se_basic_node::_connect, false);
    ASSERT_TRUE(step_until([&] { node.job_proc(); }, [&] { return !node.job_active(); }));
    EXPECT_EQ(node.get_result(), se_basic_node::success);
    EXPECT_TRUE(node.connected());
}

TEST_F(SocketClient, ConnectToAClosedPortFails) {
    unsigned short closed_port;
    {
        loopback_listener probe;
        closed_port = probe.port;
    }
    test_client_node node;
    node.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", closed_port);
    node.activate_job(se_basic_node::_connect, false);
    ASSERT_TRUE(step_until([&] { node.job_proc(); }, [&] { return !node.job_active(); }));
    EXPECT_EQ(node.get_result(), se_basic_node::connection_attempt_failed);
    EXPECT_EQ(node.sock, -1);
    EXPECT_FALSE(node.connected());
}

TEST_F(SocketClient, APendingAttemptSurvivesAbortButNotDisconnect) {
    loopback_listener listener;
    test_client_node node;
    node.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", listener.port);
    node.activate_job(se_basic_node::_connect, false);
    node.job_proc();
    int pending = node.sock;
    node.abort_job();
    EXPECT_EQ(node.sock, pending) << "a later _connect resumes waiting on it";
    node.activate_job(se_basic_node::_connect, false);
    node.job_proc();
    EXPECT_EQ(node.sock, pending);
    node.abort_job();
    if (!node.connected()) {
        node.disconnect();
        EXPECT_EQ(node.sock, -1);
    }
}

TEST_F(SocketClient, ClientKeepsDisconnectedNodesAndDisconnectsBeforeDeleting) {
    loopback_listener listener;
    std::vector<std::string> events;
    {
        se_client client;
        for (int i = 0; i < 2; ++i) {
            auto* node = new test_client_node;
            node->events = &events;
            node->prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", listener.port);
            node->activate_job(se_basic_node::_connect, false);
            client.add_node(node);
        }
        ASSERT_TRUE(step_until([&] { client.job_proc(); }, [&] { return events.size() == 4; }));
        client.disconnect();
        events.clear();
        client.job_proc();  // disconnected nodes stay and are stepped
        EXPECT_TRUE(events.empty());
        auto* connected = new test_client_node;
        connected->events = &events;
        connected->prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", listener.port);
        connected->activate_job(se_basic_node::_connect, false);
        client.add_node(connected);
        ASSERT_TRUE(step_until([&] { client.job_proc(); }, [&] { return connected->connected(); }));
        events.clear();
    }
    EXPECT_EQ(events,
              (std::vector<std::string>{"after_disconnect", "deleted", "deleted", "deleted"}));
}

TEST_F(SocketClient, AClientAndAServerExchangeThroughTheEngine) {
    test_server server;
    loopback_listener probe;
    unsigned short port = probe.port;
    close(probe.fd);
    probe.fd = socket(AF_INET, SOCK_STREAM, 0);
    server.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", port);
    ASSERT_TRUE(server.activate(true));

    // The server node echoes what it receives, upper-cased.
    char server_data[5];
    server.factory = [&] {
        auto* node = new test_node;
        node->on_result = [&](test_node& n) {
            if (n.get_job() == se_basic_node::_recv && n.get_result() == se_basic_node::success) {
                for (char& c : server_data)
                    c = static_cast<char>(toupper(c));
                n.buffer = server_data;
                n.buffer_size = n.to_transfer = 5;
                n.activate_job(se_basic_node::_send, true);
            }
        };
        node->buffer = server_data;
        node->buffer_size = node->to_transfer = 5;
        node->activate_job(se_basic_node::_recv, false);
        return node;
    };

    se_client client;
    auto* node = new test_client_node;
    char client_data[6] = "hello";
    node->on_result = [&](test_client_node& n) {
        if (n.get_job() == se_basic_node::_connect && n.get_result() == se_basic_node::success) {
            n.buffer = client_data;
            n.buffer_size = n.to_transfer = 5;
            n.activate_job(se_basic_node::_send, true);
        } else if (n.get_job() == se_basic_node::_send) {
            n.buffer = client_data;
            n.buffer_size = n.to_transfer = 5;
            n.activate_job(se_basic_node::_recv, true);
        }
    };
    node->prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", port);
    node->activate_job(se_basic_node::_connect, false);
    client.add_node(node);
    ASSERT_TRUE(step_until(
        [&] {
            client.job_proc();
            server.job_proc();
        },
        [&] { return node->get_job() == se_basic_node::_recv && !node->job_active(); }));
    EXPECT_EQ(node->get_result(), se_basic_node::success);
    EXPECT_STREQ(client_data, "HELLO");
}

}  // namespace
