#include "engine/tls_transport.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/platform.h"
#include "engine/socket_engine.h"
#include "loopback.h"

namespace {

// A certificate made once for every test.
std::shared_ptr<tls_context> server_context() {
    static const std::shared_ptr<tls_context> context = [] {
        made_certificate made;
        std::string why;
        return make_self_signed({"127.0.0.1"}, 1, &made)
                   ? tls_context::from_pem(made.cert_pem, made.key_pem, &why)
                   : nullptr;
    }();
    return context;
}

// A node that talks TLS on one end of a socket pair.
class tls_node : public se_server_node {
  public:
    using se_server_node::partial_recv;
    using se_server_node::sock;
    using se_server_node::transferred;

    using se_server_node::send_file_fd;
    using se_server_node::send_file_remaining;

    explicit tls_node(int fd) {
        set_transport(std::make_unique<tls_transport>(server_context()));
        prepare_server_node(this, fd, sockaddr_in{});
    }
    // `capacity`: the buffer's room, when more than the `size` bytes to move.
    void start(jobs job, char* data, int size, int capacity = 0) {
        buffer = data;
        to_transfer = size;
        buffer_size = std::max(size, capacity);
        ASSERT_TRUE(activate_job(job, false));
    }
};

// An OpenSSL client on the other end, non-blocking, that reads only when told.
class tls_client {
  public:
    explicit tls_client(int fd) : ctx(SSL_CTX_new(TLS_client_method())), ssl(SSL_new(ctx)) {
        SSL_set_fd(ssl, fd);
        SSL_set_connect_state(ssl);
    }
    ~tls_client() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    tls_client(const tls_client&) = delete;
    tls_client& operator=(const tls_client&) = delete;

    bool handshake_step() { return SSL_do_handshake(ssl) == 1; }
    bool write(const std::string& text) {
        return SSL_write(ssl, text.data(), static_cast<int>(text.size())) ==
               static_cast<int>(text.size());
    }
    // Appends what has arrived and can be decrypted so far.
    void read_available(std::string* received) {
        char chunk[16384];
        for (int n; (n = SSL_read(ssl, chunk, sizeof chunk)) > 0;)
            received->append(chunk, static_cast<size_t>(n));
    }

  private:
    SSL_CTX* ctx;
    SSL* ssl;
};

bool writable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLOUT);
}

class TlsTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(server_context(), nullptr);
        descriptors_before = open_descriptor_count();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        enable_nonblocking_mode(fds[0], true);
        enable_nonblocking_mode(fds[1], true);
        node = std::make_unique<tls_node>(fds[0]);
        client = std::make_unique<tls_client>(fds[1]);
    }
    void TearDown() override {
        client.reset();
        node.reset();
        close(fds[1]);
        EXPECT_EQ(open_descriptor_count(), descriptors_before) << "descriptor leak";
    }

    // The handshake runs inside the node's first receive, which then takes
    // the client's first bytes.
    void handshake() {
        char first[16];
        node->partial_recv = true;
        node->start(se_basic_node::_recv, first, sizeof first);
        ASSERT_TRUE(
            step_until([&] { node->job_proc(); }, [&] { return client->handshake_step(); }));
        ASSERT_TRUE(client->write("hello"));
        ASSERT_TRUE(step_until([&] { node->job_proc(); }, [&] { return !node->job_active(); }));
        ASSERT_EQ(node->get_result(), se_basic_node::success);
        ASSERT_EQ(std::string(first, static_cast<size_t>(node->transferred)), "hello");
    }

    int descriptors_before = 0;
    int fds[2] = {-1, -1};
    std::unique_ptr<tls_node> node;
    std::unique_ptr<tls_client> client;
};

// A client that does not read fills the socket: the library cannot write and
// the node waits for room, not for bytes from a client that sends none. Once
// the client reads, the rest goes out, whole.
TEST_F(TlsTransport, ASendThatFillsTheSocketWaitsForRoomThenFinishes) {
    handshake();
    int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<char> body(256 * 1024);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 + i / 4096);
    node->start(se_basic_node::_send, body.data(), static_cast<int>(body.size()));
    ASSERT_TRUE(step_until([&] { node->job_proc(); }, [&] { return !writable(fds[0]); }));
    EXPECT_TRUE(node->job_active()) << "the socket is full long before the body is gone";

    std::string received;
    ASSERT_TRUE(step_until(
        [&] {
            client->read_available(&received);
            node->job_proc();
        },
        [&] { return !node->job_active() && received.size() == body.size(); }))
        << "the node stalled after " << node->transferred << " of " << body.size() << " bytes";
    EXPECT_EQ(node->get_result(), se_basic_node::success);
    EXPECT_TRUE(received == std::string(body.begin(), body.end()));
}

// A file tail goes out record after record in one step, while the socket
// takes them (a poll between records would cost as much as the record),
// and arrives whole after the buffer's bytes.
TEST_F(TlsTransport, AFileTailGoesOutSeveralRecordsAStepAndWhole) {
    handshake();
    std::string file_bytes(1 << 20, '\0');
    for (size_t i = 0; i < file_bytes.size(); ++i)
        file_bytes[i] = static_cast<char>(i * 13 + i / 16384);
    const int file = memfd_create("tail", MFD_CLOEXEC);
    ASSERT_EQ(pwrite(file, file_bytes.data(), file_bytes.size(), 0),
              static_cast<ssize_t>(file_bytes.size()));
    node->send_file_fd = file;
    node->send_file_remaining = static_cast<off_t>(file_bytes.size());
    std::vector<char> buffer(64 * 1024);
    memcpy(buffer.data(), "head", 4);
    node->start(se_basic_node::_send, buffer.data(), 4, static_cast<int>(buffer.size()));
    node->job_proc();  // the buffer's bytes
    node->job_proc();  // the tail, as far as the socket takes it
    const off_t first_step = static_cast<off_t>(file_bytes.size()) - node->send_file_remaining;
    EXPECT_GE(first_step, 3 * 16384) << "one record a step";

    std::string received;
    ASSERT_TRUE(step_until(
        [&] {
            client->read_available(&received);
            node->job_proc();
        },
        [&] { return !node->job_active() && received.size() == 4 + file_bytes.size(); }))
        << "the node stalled with " << node->send_file_remaining << " bytes of the file left";
    close(file);
    EXPECT_EQ(node->get_result(), se_basic_node::success);
    EXPECT_TRUE(received == "head" + file_bytes);
}

}  // namespace
