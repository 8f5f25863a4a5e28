// A real OpenSSL client against a node that serves TLS through a
// tls_transport, over a socket pair. The input chooses the client's options
// and the schedule by which the two sides run and the bytes between them
// move: in what pieces, and how late.
//
// Input, read in turn (bytes past the end read as 0):
//   1 byte   versions the client takes: bits 0-1 the lowest, bits 2-3 the
//            highest (TLS 1.0 to 1.3); bit 4: the node closes first
//   2 bytes  the groups it offers, a bit each of `groups` (none: its own list)
//   1 byte   its TLS 1.2 suites, a bit each of `tls12_suites` (none: its own)
//   1 byte   its TLS 1.3 suites, a bit each of `tls13_suites` (none: its own)
//   1 byte   the length of the server name it sends (0: none), then the name
//   1 byte   the length of its ALPN list (0: none), then the list as sent
//   2 bytes  each, the sizes of the request and of the response
//   the rest the schedule, a byte a move: bits 0-1 step the client, step the
//            node, carry bytes to the node, carry bytes to the client; bits
//            2-7 how many bytes a carry takes.
// The schedule may starve either side. Once it is used up, both sides run in
// turn and every byte is carried at once: within `fair_rounds` the exchange
// must be over.
//
// The exchange: the handshake and the request within the node's first
// receive, the response in one send, then the client's close_notify, or the
// node's when it closes first.
//
// Checks: the exchange ends within the bound, and each step of the node ends
// after a few turns; a handshake is finished by both sides or by neither,
// only on TLS 1.2 or 1.3 within the client's versions, with a forward-secret
// AEAD suite that both sides name alike, a key exchange over X25519, P-256 or
// P-384 (a client that offers none of them finishes no handshake), and ALPN
// "http/1.1" exactly when the client offered it; after a finished handshake
// the request and the response arrive whole; no socket is left open.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/socket_engine.h"
#include "fuzz/fuzz_tls_support.h"

namespace {

constexpr int fair_rounds = 64;
constexpr int most_turns_per_step = 16;

const int versions[] = {TLS1_VERSION, TLS1_1_VERSION, TLS1_2_VERSION, TLS1_3_VERSION};

struct group {
    const char* name;
    bool served;
};
// Those the server does not take come first: a client that offers one of
// them and one it takes sends a key share for the first, and the server asks
// it again for one of the second (a hello retry request).
const group groups[] = {
    {"X448", false},      {"P-521", false},     {"ffdhe2048", false}, {"ffdhe3072", false},
    {"ffdhe4096", false}, {"ffdhe6144", false}, {"ffdhe8192", false}, {"X25519", true},
    {"P-256", true},      {"P-384", true},
};
const char* const tls12_suites[] = {
    "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-AES256-GCM-SHA384",
    "ECDHE-ECDSA-CHACHA20-POLY1305",
    "ECDHE-RSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-AES128-SHA256",
    "DHE-RSA-AES128-GCM-SHA256",
    "AES128-GCM-SHA256",
    "ECDHE-ECDSA-AES256-SHA",
};
const char* const tls13_suites[] = {
    "TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384",   "TLS_CHACHA20_POLY1305_SHA256",
    "TLS_AES_128_CCM_SHA256", "TLS_AES_128_CCM_8_SHA256",
};
// What the server may agree on with its ECDSA certificate.
const std::string_view served_suites[] = {
    "ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384",
    "ECDHE-ECDSA-CHACHA20-POLY1305", "TLS_AES_128_GCM_SHA256",
    "TLS_AES_256_GCM_SHA384",        "TLS_CHACHA20_POLY1305_SHA256",
};

// The input, a byte at a time; 0 past its end.
class input {
  public:
    input(const uint8_t* data, size_t size) : at(data), end(data + size) {}
    uint8_t byte() { return at < end ? *at++ : 0; }
    unsigned two() { return byte() << 8 | byte(); }
    std::string text(size_t length) {
        std::string taken;
        while (length-- > 0 && at < end)
            taken += static_cast<char>(*at++);
        return taken;
    }
    bool empty() const { return at == end; }

  private:
    const uint8_t* at;
    const uint8_t* end;
};

// The names of the entries whose bit is set, joined by ':'.
template <class table, class name_of>
std::string chosen(unsigned mask, const table& entries, name_of name) {
    std::string list;
    for (size_t i = 0; i < std::size(entries); ++i) {
        if (mask & (1u << i)) list += (list.empty() ? "" : ":") + std::string(name(entries[i]));
    }
    return list;
}

// Whether an ALPN list as sent (a length byte before each name) holds `name`.
bool lists(std::string_view list, std::string_view name) {
    while (!list.empty()) {
        const size_t length = static_cast<unsigned char>(list[0]);
        if (list.substr(1, length) == name) return true;
        list.remove_prefix(std::min(list.size(), length + 1));
    }
    return false;
}

// Bytes that differ from place to place, so that a piece out of order shows.
std::string counting(size_t size, char first, int period) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>(first + static_cast<int>(i % period));
    return text;
}

struct client_options {
    int lowest = 0;
    int highest = 0;
    bool node_closes_first = false;
    unsigned groups = 0;
    std::string tls12;
    std::string tls13;
    std::string server_name;
    std::string alpn;
    size_t request_size = 0;
    size_t response_size = 0;
};

client_options read_options(input* in) {
    client_options options;
    const uint8_t versions_byte = in->byte();
    options.lowest = versions[versions_byte & 3];
    options.highest = versions[versions_byte >> 2 & 3];
    options.node_closes_first = (versions_byte & 0x10) != 0;
    options.groups = in->two() & ((1u << std::size(groups)) - 1);
    const auto as_is = [](const char* name) { return name; };
    options.tls12 = chosen(in->byte(), tls12_suites, as_is);
    options.tls13 = chosen(in->byte(), tls13_suites, as_is);
    options.server_name = in->text(in->byte());
    options.alpn = in->text(in->byte());
    options.request_size = 1 + in->two() % 20000;
    options.response_size = 1 + in->two();
    return options;
}

// The client side: OpenSSL over memory buffers, which the schedule carries
// to and from the socket pair.
class client {
  public:
    enum class state { handshake, request, response, closing, done, failed };

    client(SSL_CTX* ctx, const client_options& options)
        : ssl(SSL_new(ctx)),
          request(counting(options.request_size, 'a', 23)),
          wanted_response(options.response_size),
          closes(!options.node_closes_first) {
        require(ssl != nullptr, "no client connection");
        incoming = BIO_new(BIO_s_mem());
        outgoing = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(incoming, -1);  // no bytes yet is not the end
        SSL_set_bio(ssl, incoming, outgoing);
        SSL_set_connect_state(ssl);
        SSL_set_min_proto_version(ssl, options.lowest);
        SSL_set_max_proto_version(ssl, options.highest);
        // Each option the library refuses leaves its own choice in place.
        if (options.groups != 0 &&
            SSL_set1_groups_list(ssl, chosen(options.groups, groups, [](const group& g) {
                                          return g.name;
                                      }).c_str()) == 1) {
            offers_a_served_group = false;
            for (size_t i = 0; i < std::size(groups); ++i)
                if (options.groups & (1u << i) && groups[i].served) offers_a_served_group = true;
        }
        if (!options.tls12.empty()) SSL_set_cipher_list(ssl, options.tls12.c_str());
        if (!options.tls13.empty()) SSL_set_ciphersuites(ssl, options.tls13.c_str());
        if (!options.server_name.empty()) {
            SSL_set_tlsext_host_name(ssl, options.server_name.c_str());
        }
        const auto* list = reinterpret_cast<const unsigned char*>(options.alpn.data());
        if (!options.alpn.empty() &&
            SSL_set_alpn_protos(ssl, list, static_cast<unsigned>(options.alpn.size())) == 0) {
            offers_http11 = lists(options.alpn, "http/1.1");
        }
        ERR_clear_error();
    }
    ~client() { SSL_free(ssl); }
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    void step();
    bool finished() const { return now == state::done || now == state::failed; }
    // Moves the bytes the client has written since to `to_node`.
    void collect(std::string* to_node) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(outgoing, &data);
        to_node->append(data, static_cast<size_t>(length));
        BIO_reset(outgoing);
    }
    void deliver(const char* data, size_t length) {
        BIO_write(incoming, data, static_cast<int>(length));
    }
    void deliver_end() { BIO_set_mem_eof_return(incoming, 0); }

    SSL* const ssl;
    const std::string request;
    std::string response;
    state now = state::handshake;
    bool offers_a_served_group = true;  // its own list has X25519
    bool offers_http11 = false;

  private:
    BIO* incoming;
    BIO* outgoing;
    const size_t wanted_response;
    const bool closes;

    // After a call that returned `returned`: waits for more, or has failed.
    void unless_it_waits(int returned) {
        const int error = SSL_get_error(ssl, returned);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) now = state::failed;
        ERR_clear_error();
    }
};

void client::step() {
    switch (now) {
        case state::handshake: {
            const int returned = SSL_do_handshake(ssl);
            if (returned == 1) {
                now = state::request;
            } else {
                unless_it_waits(returned);
            }
            return;
        }
        case state::request: {
            const int returned = SSL_write(ssl, request.data(), static_cast<int>(request.size()));
            if (returned == static_cast<int>(request.size())) {
                now = state::response;
            } else {
                unless_it_waits(returned);
            }
            return;
        }
        case state::response:
        case state::closing: {
            char chunk[16384];
            const int returned = SSL_read(ssl, chunk, sizeof chunk);
            if (returned > 0) {
                response.append(chunk, static_cast<size_t>(returned));
                require(response.size() <= wanted_response, "more bytes than the response");
            } else if (now == state::closing &&
                       SSL_get_error(ssl, returned) == SSL_ERROR_ZERO_RETURN) {
                SSL_shutdown(ssl);  // the node's close_notify, answered
                now = state::done;
                return;
            } else {
                unless_it_waits(returned);
                if (now == state::failed) return;
            }
            if (now == state::response && response.size() == wanted_response) {
                now = state::closing;
                if (!closes) return;
                SSL_shutdown(ssl);
                now = state::done;
            }
            return;
        }
        case state::done:
        case state::failed:
            return;
    }
}

// The node: its first receive takes the handshake and the request, one send
// the response, and a last receive sees the close.
class tls_node : public se_server_node {
  public:
    using se_server_node::sock;

    tls_node(int fd, const client_options& options)
        : request(options.request_size),
          response(counting(options.response_size, 'A', 19)),
          closes_first(options.node_closes_first) {
        set_transport(std::make_unique<tls_transport>(fuzz_server_context()));
        prepare_server_node(this, fd, sockaddr_in{});
        start(_recv, request.data(), request.size());
    }

    void before_job_proc() override { ++turns; }
    // One step, bounded in its turns; then the next job, or the end.
    void step() {
        if (!connected()) return;
        turns = 0;
        step_node(*this);
        require(turns <= most_turns_per_step, "a step of the node does not end");
        if (job_active() || !connected()) return;
        if (get_job() == _recv && get_result() == success && !received_request) {
            received_request = true;
            start(_send, response.data(), response.size());
        } else if (get_job() == _send && get_result() == success) {
            if (closes_first) get_transport()->shut_down_sending(sock);
            start(_recv, &last_byte, 1);
        } else {
            disconnect();
        }
    }
    const tls_transport& via() const { return static_cast<const tls_transport&>(*get_transport()); }

    std::vector<char> request;
    bool received_request = false;
    std::string response;

  private:
    bool closes_first;
    char last_byte = 0;
    int turns = 0;

    void start(jobs job, char* data, size_t size) {
        buffer = data;
        buffer_size = to_transfer = static_cast<int>(size);
        require(activate_job(job, false), "a job is refused");
    }
};

// The bytes in flight between the client's memory buffers and the socket pair.
class carrier {
  public:
    carrier(client* c, int peer) : c(c), peer(peer) {}

    void to_node(size_t most) {
        c->collect(&pending);
        const size_t length = std::min(pending.size(), most);
        if (length > 0) {
            const ssize_t n = send(peer, pending.data(), length, MSG_NOSIGNAL);
            // A node that is gone takes nothing more.
            pending.erase(0, n < 0 ? pending.size() : static_cast<size_t>(n));
        }
        if (c->finished() && pending.empty() && !shut) {
            shutdown(peer, SHUT_WR);  // the client has nothing more to say
            shut = true;
        }
    }
    // False once there is nothing to carry.
    bool to_client(size_t most) {
        char chunk[16384];
        const ssize_t n = recv(peer, chunk, std::min(most, sizeof chunk), 0);
        if (n > 0) c->deliver(chunk, static_cast<size_t>(n));
        if (n == 0) c->deliver_end();
        return n > 0;
    }
    void all_to_node() { to_node(~size_t{0}); }
    void all_to_client() {
        while (to_client(~size_t{0})) {
        }
    }

  private:
    client* c;
    int peer;
    std::string pending;
    bool shut = false;
};

// A carry of a schedule byte: a few bytes, or pieces of a record's size.
size_t carry_size(uint8_t move) {
    const size_t n = move >> 2;
    return n < 32 ? n + 1 : (n - 31) * 512;
}

void require_agreement(const client& c, const tls_node& node, const client_options& options) {
    const bool client_finished = SSL_is_init_finished(c.ssl) != 0;
    require(client_finished == node.via().handshake_done(),
            "a handshake is finished by one side only");
    if (!client_finished) return;
    require(c.offers_a_served_group, "a handshake without X25519, P-256 or P-384");
    const int version = SSL_version(c.ssl);
    require((version == TLS1_2_VERSION || version == TLS1_3_VERSION) && version >= options.lowest &&
                version <= options.highest,
            "a version outside TLS 1.2 and 1.3 or the client's");
    const std::string suite = SSL_get_cipher_name(c.ssl);
    require(std::find(std::begin(served_suites), std::end(served_suites), suite) !=
                std::end(served_suites),
            "a suite outside the server's");
    require(node.via().version_and_cipher() == std::string(SSL_get_version(c.ssl)) + " " + suite,
            "the two sides name another version or suite");
    EVP_PKEY* key = nullptr;
    require(SSL_get_peer_tmp_key(c.ssl, &key) == 1, "no key exchange");
    char name[64] = {};
    size_t length = 0;
    const bool served_group =
        EVP_PKEY_is_a(key, "X25519") ||
        (EVP_PKEY_get_group_name(key, name, sizeof name, &length) == 1 &&
         (std::string_view(name) == "prime256v1" || std::string_view(name) == "secp384r1"));
    EVP_PKEY_free(key);
    require(served_group, "a key exchange outside X25519, P-256 and P-384");
    const unsigned char* alpn = nullptr;
    unsigned alpn_length = 0;
    SSL_get0_alpn_selected(c.ssl, &alpn, &alpn_length);
    const std::string_view selected(reinterpret_cast<const char*>(alpn), alpn_length);
    require(selected == (c.offers_http11 ? "http/1.1" : ""),
            "ALPN is not http/1.1 exactly when the client offers it");
    require(node.received_request &&
                std::string_view(node.request.data(), node.request.size()) == c.request,
            "the request does not arrive whole");
    require(c.now == client::state::done && c.response == node.response,
            "the response does not arrive whole");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SSL_CTX* const client_ctx = SSL_CTX_new(TLS_client_method());
    static const int sockets = [] {
        fuzz_server_context();
        return fuzz_open_sockets();
    }();
    {
        input in(data, size);
        const client_options options = read_options(&in);
        client c(client_ctx, options);
        fuzz_socket_pair pair;
        tls_node node(pair.hand_over_server(), options);
        carrier wire(&c, pair.peer);
        const auto over = [&] { return !node.connected() && c.finished(); };
        while (!in.empty() && !over()) {
            const uint8_t move = in.byte();
            switch (move & 3) {
                case 0:
                    c.step();
                    break;
                case 1:
                    node.step();
                    break;
                case 2:
                    wire.to_node(carry_size(move));
                    break;
                default:
                    wire.to_client(carry_size(move));
            }
        }
        for (int round = 0; round < fair_rounds && !over(); ++round) {
            wire.all_to_node();
            node.step();
            wire.all_to_client();
            c.step();
        }
        require(over(), "the exchange does not end");
        require_agreement(c, node, options);
    }
    require(fuzz_open_sockets() == sockets, "a socket is left open");
    return 0;
}
