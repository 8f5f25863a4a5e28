#include "engine/tls_transport.h"

#include <arpa/inet.h>

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

// The intermediate recommendation for TLS 1.2: forward secrecy and AEAD only.
const char* const tls12_ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Key exchange on elliptic curves only. The finite-field groups that the
// library would also take in TLS 1.3 cost the one thread a hundred times as
// much per handshake (ffdhe8192: 124 ms against 0.36 ms for X25519): a client
// that offers only those and hangs up after the server's first flight would
// hold the server up for everyone else.
const char* const key_exchange_groups = "X25519:P-256:P-384";

// The text of the oldest error OpenSSL queued, which is then emptied.
std::string openssl_error(const char* fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// ALPN: HTTP/1.1 is all this server speaks; a client that offers no ALPN
// is served all the same.
int select_http11(SSL*, const unsigned char** out, unsigned char* out_length,
                  const unsigned char* offered, unsigned int offered_length, void*) {
    static const unsigned char http11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, out_length, http11, sizeof http11, offered,
                              offered_length) != OPENSSL_NPN_NEGOTIATED) {
        return SSL_TLSEXT_ERR_NOACK;
    }
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

// The whole of a small regular file, read without waiting on a pipe or a device.
bool read_pem_file(const std::string& name, std::string* text, std::string* why) {
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat info {};
    if (fd == -1 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (1 << 20)) {
        *why = name + ": " + (fd == -1 ? strerror(errno) : "not a regular file of at most 1 MiB");
        if (fd != -1) close(fd);
        return false;
    }
    text->resize(static_cast<size_t>(info.st_size));
    const ssize_t n = read(fd, text->data(), text->size());
    close(fd);
    if (n != static_cast<ssize_t>(text->size())) {
        *why = name + ": can not be read";
        return false;
    }
    return true;
}

struct bio_closer {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using bio_ptr = std::unique_ptr<BIO, bio_closer>;

bio_ptr memory_bio(const std::string& text) {
    return bio_ptr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(length));
}

// Puts the certificate, the chain behind it, and the key into `ctx`.
bool use_pem(SSL_CTX* ctx, const std::string& cert_pem, const std::string& key_pem,
             std::string* why) {
    bio_ptr certs = memory_bio(cert_pem);
    X509* leaf = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr);
    if (leaf == nullptr || SSL_CTX_use_certificate(ctx, leaf) != 1) {
        X509_free(leaf);
        *why = "the certificate: " + openssl_error("no PEM certificate");
        return false;
    }
    X509_free(leaf);
    while (X509* link = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr)) {
        if (SSL_CTX_add0_chain_cert(ctx, link) != 1) X509_free(link);
    }
    ERR_clear_error();  // the end of the chain reads as an error
    bio_ptr key_bio = memory_bio(key_pem);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr);
    if (key == nullptr) {
        *why = "the key: " + openssl_error("no PEM private key");
        return false;
    }
    const bool matches = X509_check_private_key(SSL_CTX_get0_certificate(ctx), key) == 1;
    const bool used = matches && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!matches) {
        ERR_clear_error();
        *why = "the key is not the certificate's";
        return false;
    }
    if (!used) *why = "the key: " + openssl_error("it can not be used");
    return used;
}

}  // namespace

tls_context::~tls_context() {
    SSL_CTX_free(ctx);
}

std::shared_ptr<tls_context> tls_context::configured(SSL_CTX* ctx, std::string* why) {
    if (ctx == nullptr) {
        *why = openssl_error("no TLS context");
        return nullptr;
    }
    std::shared_ptr<tls_context> made(new tls_context(ctx));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_set_cipher_list(ctx, tls12_ciphers) != 1) {
        *why = openssl_error("the ciphers are not known");
        return nullptr;
    }
    if (SSL_CTX_set1_groups_list(ctx, key_exchange_groups) != 1) {
        *why = openssl_error("the key exchange groups are not known");
        return nullptr;
    }
    // Buffers of a connection that waits are given back; a piece that the
    // socket took in part is written again from wherever it is.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    static const unsigned char session_context[] = "websrv";
    SSL_CTX_set_session_id_context(ctx, session_context, sizeof session_context - 1);
    SSL_CTX_set_alpn_select_cb(ctx, select_http11, nullptr);
    return made;
}

std::shared_ptr<tls_context> tls_context::from_pem(const std::string& cert_pem,
                                                   const std::string& key_pem, std::string* why) {
    std::shared_ptr<tls_context> made = configured(SSL_CTX_new(TLS_server_method()), why);
    if (made && !use_pem(made->ctx, cert_pem, key_pem, why)) return nullptr;
    return made;
}

std::shared_ptr<tls_context> tls_context::load(const std::string& cert_file,
                                               const std::string& key_file, std::string* why) {
    std::string cert_pem;
    std::string key_pem;
    if (!read_pem_file(cert_file, &cert_pem, why) || !read_pem_file(key_file, &key_pem, why)) {
        return nullptr;
    }
    std::shared_ptr<tls_context> made = from_pem(cert_pem, key_pem, why);
    OPENSSL_cleanse(key_pem.data(), key_pem.size());
    return made;
}

tls_transport::tls_transport(std::shared_ptr<tls_context> context) : context(std::move(context)) {}

tls_transport::~tls_transport() {
    SSL_free(ssl);
}

// Before the first byte goes to the library: a TLS connection begins with a
// handshake record (22); anything else is a client that did not speak TLS.
transport::outcome tls_transport::bind_and_look(int fd) {
    unsigned char first = 0;
    const ssize_t n = recv(fd, &first, 1, MSG_PEEK);
    if (n == 0) return outcome::closed;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return outcome::want_read;
        why = strerror(errno);
        return outcome::failed;
    }
    looked_at_first_byte = true;
    if (first != 22) {
        plain = true;
        why = "not TLS: a plain request on the TLS port";
        return outcome::failed;
    }
    ssl = SSL_new(context->handle());
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        why = openssl_error("no TLS connection could be made");
        return outcome::failed;
    }
    SSL_set_accept_state(ssl);
    return outcome::moved;
}

transport::outcome tls_transport::result_of(int returned, size_t* moved) {
    if (returned > 0) {
        *moved = static_cast<size_t>(returned);
        moved_data = true;
        return outcome::moved;
    }
    const int error = SSL_get_error(ssl, returned);
    // Many clients close after their answer without a close_notify: once
    // data has gone either way, that is an ordinary close. (The failure
    // itself takes the connection out of its finished handshake.)
    if ((error == SSL_ERROR_SSL || error == SSL_ERROR_SYSCALL) && moved_data &&
        ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        ended_without_notify = true;
        return outcome::closed;
    }
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return outcome::want_read;
        case SSL_ERROR_WANT_WRITE:
            return outcome::want_write;
        case SSL_ERROR_ZERO_RETURN:
            return outcome::closed;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0 && (errno == 0 || errno == ECONNRESET)) {
                return outcome::closed;  // the peer went away without a close_notify
            }
            why = openssl_error(strerror(errno));
            return outcome::failed;
        default:
            why = openssl_error("TLS failed");
            return outcome::failed;
    }
}

transport::outcome tls_transport::receive(int fd, char* data, size_t length, size_t* moved) {
    *moved = 0;
    if (!looked_at_first_byte) {
        const outcome looked = bind_and_look(fd);
        if (looked != outcome::moved) return looked;
    }
    ERR_clear_error();
    errno = 0;
    const int chunk = static_cast<int>(std::min<size_t>(length, 1 << 30));
    return result_of(SSL_read(ssl, data, chunk), moved);
}

transport::outcome tls_transport::send(int, const char* data, size_t length, size_t* moved) {
    *moved = 0;
    if (ssl == nullptr) {
        why = "nothing to send on before the handshake";
        return outcome::failed;
    }
    ERR_clear_error();
    errno = 0;
    const int chunk = static_cast<int>(std::min<size_t>(length, 1 << 30));
    return result_of(SSL_write(ssl, data, chunk), moved);
}

bool tls_transport::pending() const {
    return ssl != nullptr && SSL_pending(ssl) > 0;
}

void tls_transport::shut_down_sending(int fd) {
    if (ssl != nullptr && SSL_is_init_finished(ssl)) {
        SSL_shutdown(ssl);  // its close_notify, as far as the socket takes it now
        ERR_clear_error();
    }
    shutdown(fd, SHUT_WR);
}

bool tls_transport::handshake_done() const {
    return ssl != nullptr && SSL_is_init_finished(ssl);
}

std::string tls_transport::version_and_cipher() const {
    if (!handshake_done()) return "";
    return std::string(SSL_get_version(ssl)) + " " + SSL_get_cipher_name(ssl);
}

tls_check check_tls_files(const std::string& cert_file, const std::string& key_file,
                          int warn_days) {
    tls_check found;
    if (!tls_context::load(cert_file, key_file, &found.problem)) return found;
    found.problem.clear();
    std::string pem;
    read_pem_file(cert_file, &pem, &found.problem);
    found.problem.clear();
    bio_ptr bio = memory_bio(pem);
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (cert == nullptr) return found;
    const ASN1_TIME* not_after = X509_get0_notAfter(cert);
    time_t soon = time(nullptr) + static_cast<time_t>(warn_days) * 86400;
    bio_ptr date(BIO_new(BIO_s_mem()));
    ASN1_TIME_print(date.get(), not_after);
    if (X509_cmp_current_time(not_after) <= 0) {
        found.warning = "the certificate expired on " + bio_text(date.get());
    } else if (X509_cmp_time(not_after, &soon) <= 0) {
        found.warning = "the certificate expires on " + bio_text(date.get()) + ", within " +
                        std::to_string(warn_days) + " days";
    }
    X509_free(cert);
    return found;
}

namespace {

// The SHA-256 fingerprint of a certificate as browsers show it; empty when
// it cannot be made.
std::string fingerprint_of(X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &length) != 1) return "";
    std::string fingerprint;
    for (unsigned int i = 0; i < length; ++i) {
        char hex[4];
        snprintf(hex, sizeof hex, i + 1 < length ? "%02X:" : "%02X", digest[i]);
        fingerprint += hex;
    }
    return fingerprint;
}

// The names a certificate is for: its subject alternative names, DNS names
// as they are and addresses as text.
std::vector<std::string> alternative_names(X509* cert) {
    std::vector<std::string> names;
    auto* alternatives = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alternatives != nullptr && i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type == GEN_DNS) {
            const ASN1_IA5STRING* dns = name->d.dNSName;
            names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                               static_cast<size_t>(ASN1_STRING_length(dns)));
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            char text[INET6_ADDRSTRLEN] = {};
            const int family = ASN1_STRING_length(ip) == 4 ? AF_INET : AF_INET6;
            inet_ntop(family, ASN1_STRING_get0_data(ip), text, sizeof text);
            names.emplace_back(text);
        }
    }
    GENERAL_NAMES_free(alternatives);
    return names;
}

}  // namespace

bool read_certificate(const std::string& cert_pem, certificate_facts* facts) {
    bio_ptr bio = memory_bio(cert_pem);
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    ERR_clear_error();
    if (cert == nullptr) return false;
    facts->names = alternative_names(cert);
    facts->fingerprint = fingerprint_of(cert);
    int days = 0, seconds = 0;
    const bool dated =
        ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert)) == 1;
    facts->valid_for_s = dated ? static_cast<long long>(days) * 86400 + seconds : -1;
    X509_free(cert);
    return !facts->fingerprint.empty();
}

bool make_self_signed(const std::vector<std::string>& names, int days, made_certificate* made) {
    if (names.empty()) return false;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key != nullptr && cert != nullptr && X509_set_version(cert, 2) == 1;
    unsigned char serial[16];
    ok = ok && RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7F;  // a positive number
        BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert));
        BN_free(number);
    }
    ok = ok && X509_gmtime_adj(X509_getm_notBefore(cert), -300) &&
         X509_gmtime_adj(X509_getm_notAfter(cert), static_cast<long>(days) * 86400) &&
         X509_set_pubkey(cert, key) == 1;
    X509_NAME* subject = ok ? X509_get_subject_name(cert) : nullptr;
    ok = ok &&
         X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>(names[0].c_str()), -1,
                                    -1, 0) == 1 &&
         X509_set_issuer_name(cert, subject) == 1;
    std::string alternatives;
    for (const std::string& name : names) {
        const bool address =
            name.find_first_not_of("0123456789.:abcdefABCDEF") == std::string::npos &&
            (name.find('.') != std::string::npos || name.find(':') != std::string::npos);
        alternatives +=
            (alternatives.empty() ? "" : ",") + std::string(address ? "IP:" : "DNS:") + name;
    }
    X509V3_CTX v3{};
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] :
         {std::pair<int, std::string>{NID_subject_alt_name, alternatives},
          {NID_basic_constraints, "critical,CA:FALSE"},
          {NID_key_usage, "critical,digitalSignature"},
          {NID_ext_key_usage, "serverAuth"}}) {
        X509_EXTENSION* extension =
            ok ? X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str()) : nullptr;
        ok = extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
        X509_EXTENSION_free(extension);
    }
    ok = ok && X509_sign(cert, key, EVP_sha256()) > 0;
    if (ok) {
        bio_ptr cert_bio(BIO_new(BIO_s_mem()));
        bio_ptr key_bio(BIO_new(BIO_s_mem()));
        ok = PEM_write_bio_X509(cert_bio.get(), cert) == 1 &&
             PEM_write_bio_PrivateKey(key_bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) ==
                 1;
        made->cert_pem = bio_text(cert_bio.get());
        made->key_pem = bio_text(key_bio.get());
        made->fingerprint = fingerprint_of(cert);
        ok = ok && !made->fingerprint.empty();
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    ERR_clear_error();
    return ok;
}
