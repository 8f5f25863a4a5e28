// What a node's bytes travel through when it is not plain TCP: a transport
// moves them over the node's socket (encrypting them, for TLS) and says what
// it waits for when it cannot go on.
//
// A node without a transport calls recv, send and sendfile itself, exactly
// as always. A node given one calls it instead, once per step at most, and
// waits for the readiness the transport names: a TLS receive may need to
// write (a handshake), a send may need to read. Every call is non-blocking.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class transport {
  public:
    enum class outcome {
        moved,       // `*moved` bytes went (at least one)
        want_read,   // nothing moved: go on once the socket is readable
        want_write,  // nothing moved: go on once the socket is writable
        closed,      // the peer closed the connection
        failed,      // it cannot go on: reason() says why
    };

    virtual ~transport() = default;

    // Receives into `data` at most `length` bytes (length > 0).
    virtual outcome receive(int fd, char* data, size_t length, size_t* moved) = 0;
    // Sends at most `length` bytes (length > 0) of `data`. After want_read or
    // want_write, the next call must pass the same bytes again.
    virtual outcome send(int fd, const char* data, size_t length, size_t* moved) = 0;
    // Whether bytes already received and decrypted wait inside the
    // transport: a receive then needs no readiness of the socket.
    virtual bool pending() const = 0;
    // Ends the sending side (a TLS close_notify, then the socket's), without waiting.
    virtual void shut_down_sending(int fd) = 0;
    // Why the last call failed, for the log; empty when none did.
    virtual const std::string& reason() const = 0;
};
