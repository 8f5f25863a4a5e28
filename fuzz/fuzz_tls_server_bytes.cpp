// Raw bytes, ClientHellos and anything else, sent to a server-side
// tls_transport over a socket pair, which receives until it fails, sees the
// close or waits for more. Input: one option byte (bit 0: the sender closes
// its side after the last byte; bits 1-7: the bytes go in pieces of that
// many, with receives in between, 0: all at once), then the bytes.
//
// Checks: each piece leaves the transport failed, closed or waiting within a
// bounded number of receives, a failure with its reason; no bytes are ever
// received, since no handshake can be finished without the client's keys; a
// first byte that cannot begin a TLS record is told as a plain request and
// answered with nothing, and anything the server does send begins with a
// handshake or an alert record; no socket is left open.
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "fuzz/fuzz_tls_support.h"

namespace {

constexpr int most_receives_per_piece = 64;
constexpr unsigned char handshake_record = 22;
constexpr unsigned char alert_record = 21;

// Appends what the server has sent so far.
void read_available(int peer, std::string* sent) {
    char chunk[4096];
    for (ssize_t n; (n = recv(peer, chunk, sizeof chunk, 0)) > 0;)
        sent->append(chunk, static_cast<size_t>(n));
}

// Receives until the transport waits for more (false) or has ended (true).
bool receive_until_it_waits(tls_transport& server, const fuzz_socket_pair& pair,
                            std::string* sent) {
    char data[4096];
    for (int receives = 0; receives < most_receives_per_piece; ++receives) {
        size_t moved = 0;
        const transport::outcome outcome = server.receive(pair.server, data, sizeof data, &moved);
        read_available(pair.peer, sent);
        require(outcome != transport::outcome::moved && moved == 0 && !server.handshake_done(),
                "bytes received without a finished handshake");
        if (outcome == transport::outcome::want_read) return false;
        if (outcome == transport::outcome::failed) {
            require(!server.reason().empty(), "a failure without its reason");
            return true;
        }
        if (outcome == transport::outcome::closed) return true;
        // want_write: the socket has room again, now that its bytes are read.
    }
    require(false, "the transport neither ends nor waits");
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::shared_ptr<tls_context> context = fuzz_server_context();
    static const int sockets = fuzz_open_sockets();
    if (size < 1) return 0;
    const bool close_after = (data[0] & 1) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t piece = data[0] >> 1 == 0 ? std::max<size_t>(bytes.size(), 1) : data[0] >> 1;

    std::string sent;
    {
        fuzz_socket_pair pair;
        tls_transport server(context);
        bool ended = false;
        for (size_t at = 0; !ended && at < bytes.size(); at += piece) {
            const std::string_view part = bytes.substr(at, piece);
            require(send(pair.peer, part.data(), part.size(), MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(part.size()),
                    "the bytes do not fit the socket pair");
            ended = receive_until_it_waits(server, pair, &sent);
        }
        if (!ended && close_after) {
            shutdown(pair.peer, SHUT_WR);
            ended = receive_until_it_waits(server, pair, &sent);
            require(ended, "the transport waits for more after the close");
        }
        if (!bytes.empty()) {
            require(server.plain_request() == (bytes[0] != handshake_record),
                    "a plain request is not told from a TLS record");
        }
        require(!server.plain_request() || sent.empty(), "TLS bytes sent to a plain request");
        require(sent.empty() || sent[0] == handshake_record || sent[0] == alert_record,
                "the server's first bytes are neither a handshake nor an alert record");
        server.shut_down_sending(pair.server);
    }
    require(fuzz_open_sockets() == sockets, "a socket is left open");
    return 0;
}
