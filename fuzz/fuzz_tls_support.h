// Shared by the TLS fuzz targets: the server's certificate and settings, made
// once per process, a socket pair between the server under test and the
// target's side, and a count of the sockets the process holds.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/platform.h"
#include "engine/tls_transport.h"
#include "fuzz/fuzz_support.h"

// A self-signed certificate for 127.0.0.1 with the server's TLS settings.
inline std::shared_ptr<tls_context> fuzz_server_context() {
    static const std::shared_ptr<tls_context> context = [] {
        made_certificate made;
        std::string why;
        require(make_self_signed({"127.0.0.1"}, 1, &made), "no self-signed certificate");
        std::shared_ptr<tls_context> loaded =
            tls_context::from_pem(made.cert_pem, made.key_pem, &why);
        require(loaded != nullptr, "the self-signed certificate does not load");
        return loaded;
    }();
    return context;
}

// Non-blocking both ends: `server` for the transport under test, `peer` for
// the target. Each end still held is closed with the pair.
class fuzz_socket_pair {
  public:
    fuzz_socket_pair() {
        int fds[2];
        require(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
        server = fds[0];
        peer = fds[1];
        enable_nonblocking_mode(server, true);
        enable_nonblocking_mode(peer, true);
    }
    ~fuzz_socket_pair() {
        if (server != -1) close(server);
        if (peer != -1) close(peer);
    }
    fuzz_socket_pair(const fuzz_socket_pair&) = delete;
    fuzz_socket_pair& operator=(const fuzz_socket_pair&) = delete;

    // The server's end, for a node that closes it itself.
    int hand_over_server() {
        const int fd = server;
        server = -1;
        return fd;
    }

    int server = -1;
    int peer = -1;
};

// The sockets the process holds open. Other descriptors are left out: the
// sanitizers' symbolizer, for one, talks through pipes.
inline int fuzz_open_sockets() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;  // the iterator's own descriptor may be listed
        if (std::filesystem::read_symlink(entry.path(), gone).string().starts_with("socket:")) {
            ++count;
        }
    }
    return count;
}
