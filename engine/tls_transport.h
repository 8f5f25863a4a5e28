// TLS with OpenSSL 3 under a node: the server's certificates and settings
// (tls_context) and the transport of one connection (tls_transport).
//
// Settings: TLS 1.2 and 1.3 only; for TLS 1.2 the ECDHE suites with AES-GCM
// and ChaCha20-Poly1305 (the "intermediate" recommendation for servers; TLS
// 1.3 has its own); key exchange over X25519, P-256 and P-384 only, in both
// versions (no finite-field groups: a client that offers only those fails
// its handshake); ALPN "http/1.1"; session resumption (tickets and the
// server's session cache); no compression and no renegotiation.
//
// The handshake runs inside the first receives, one library call a step;
// a first byte that cannot begin a TLS record (a plain HTTP request sent to
// the TLS port) fails the receive at once, and plain_request() says so.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/transport.h"

struct ssl_ctx_st;
struct ssl_st;

// A certificate (its file may hold the chain) and its key, loaded into the
// settings above. Shared by the connections that use it: a reload makes a
// new one, and connections keep the one they began with.
class tls_context {
  public:
    ~tls_context();
    tls_context(const tls_context&) = delete;
    tls_context& operator=(const tls_context&) = delete;

    // From PEM files; null, with `why` set, when they do not load or the key
    // is not the certificate's.
    static std::shared_ptr<tls_context> load(const std::string& cert_file,
                                             const std::string& key_file, std::string* why);
    // From PEM text held in memory (a certificate made at start-up).
    static std::shared_ptr<tls_context> from_pem(const std::string& cert_pem,
                                                 const std::string& key_pem, std::string* why);

    ssl_ctx_st* handle() const { return ctx; }

  private:
    explicit tls_context(ssl_ctx_st* ctx) : ctx(ctx) {}
    static std::shared_ptr<tls_context> configured(ssl_ctx_st* ctx, std::string* why);
    ssl_ctx_st* ctx;
};

class tls_transport : public transport {
  public:
    explicit tls_transport(std::shared_ptr<tls_context> context);
    ~tls_transport() override;

    outcome receive(int fd, char* data, size_t length, size_t* moved) override;
    outcome send(int fd, const char* data, size_t length, size_t* moved) override;
    bool pending() const override;
    void shut_down_sending(int fd) override;
    const std::string& reason() const override { return why; }

    bool handshake_done() const;
    // "TLSv1.3 TLS_AES_128_GCM_SHA256" once the handshake is done.
    std::string version_and_cipher() const;
    // The first bytes received were not a TLS record but a plain request.
    bool plain_request() const { return plain; }
    // The peer closed without a close_notify after data had gone: reported
    // as a close, since many clients do so after their answer.
    bool closed_without_notify() const { return ended_without_notify; }

  private:
    std::shared_ptr<tls_context> context;
    ssl_st* ssl = nullptr;
    bool looked_at_first_byte = false;
    bool plain = false;
    bool ended_without_notify = false;
    bool moved_data = false;  // a receive or a send has moved bytes: the handshake was done
    std::string why;

    outcome bind_and_look(int fd);
    outcome result_of(int returned, size_t* moved);
};

// What `-t` reports of a certificate and its key: empty `problem` when they
// load and match; `warning` when the certificate has expired or expires
// within `warn_days`.
struct tls_check {
    std::string problem;
    std::string warning;
};
tls_check check_tls_files(const std::string& cert_file, const std::string& key_file,
                          int warn_days = 14);

// A self-signed certificate made now for `names` (IP addresses and DNS
// names, its subject alternative names; the first is also its common name),
// with a fresh P-256 key, valid for `days` days: PEM texts and the SHA-256
// fingerprint of the certificate as browsers show it ("AB:CD:..."). False
// when OpenSSL could not make it.
struct made_certificate {
    std::string cert_pem;
    std::string key_pem;
    std::string fingerprint;
};
bool make_self_signed(const std::vector<std::string>& names, int days, made_certificate* made);

// What a certificate in PEM text says of itself: the names it is for (its
// subject alternative names, addresses as text), its SHA-256 fingerprint,
// and the seconds it stays valid from now (negative once it has expired).
// False when the text holds no certificate.
struct certificate_facts {
    std::vector<std::string> names;
    std::string fingerprint;
    long long valid_for_s = 0;
};
bool read_certificate(const std::string& cert_pem, certificate_facts* facts);
