// Who a request comes from when a proxy stands between the client and the
// server: the list of proxies that are believed, the Forwarded and
// X-Forwarded-* fields they add, and the PROXY protocol header (version 1,
// text, and version 2, binary) that they may send before a connection's
// first byte.
//
// Pure functions: nothing here keeps pointers into its arguments or writes
// into them. Addresses are sockaddr_storage values (AF_INET or AF_INET6,
// network byte order); an IPv4 address mapped into IPv6 ("::ffff:a.b.c.d")
// is taken as the IPv4 address it holds.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One entry of a list of addresses: an address and how many of its leading
// bits must match (IPv4 addresses are kept mapped into IPv6, /n as /96+n).
struct address_prefix {
    std::array<unsigned char, 16> bytes{};
    int bits = 128;
};
using address_list = std::vector<address_prefix>;

// Reads "127.0.0.1,::1,10.0.0.0/8,fd00::/8": addresses and CIDR prefixes,
// IPv4 and IPv6, separated by commas, blanks around them allowed. False,
// with `why` naming the first entry that is none, for anything else (an
// empty entry, a name, a prefix length out of range, bits set beyond it).
bool parse_address_list(std::string_view text, address_list* list, std::string* why);

// Whether `address` lies in one of the list's prefixes.
bool address_listed(const address_list& list, const sockaddr_storage& address);

// An address as text, IPv4 or IPv6 (with its port, if any, when read as the
// address of a field or a header), into a sockaddr_storage. False for
// anything else; "unknown" and obfuscated names ("_hidden") are none.
bool parse_ip_address(std::string_view text, unsigned short port, sockaddr_storage* address);

// What the proxies in front of a server say of a request.
struct forwarded_client {
    sockaddr_storage address{};  // the client; its port 0 where no proxy told it
    std::string scheme;          // "http" or "https" as the browser used it; empty: not told
    std::string host;            // the Host as the browser sent it; empty: not told
};

// Walks the request's field lines `fields` (each "name: value" ending in
// CR LF, in any letter case; every line of a field counts, in order, as one
// comma-separated list) as the proxies in `trusted` wrote them, for a
// request that came from `peer`. From a peer not in `trusted`, the peer is
// the client and nothing else is told. Otherwise the addresses of Forwarded
// (for=) or, where there is no Forwarded field, of X-Forwarded-For are
// walked from the right: the first one that is not trusted is the client,
// the leftmost one when all are trusted. An entry that is no address (such
// as "unknown") ends the walk at the proxy that wrote it. The scheme and
// host are the proto= and host= of the Forwarded element that named the
// client, or the last value of X-Forwarded-Proto and X-Forwarded-Host; a
// scheme other than http or https, or a host with characters no host name
// has, is not told.
forwarded_client find_forwarded_client(std::string_view fields, const sockaddr_storage& peer,
                                       const address_list& trusted);

// A PROXY protocol header at the start of a connection's bytes.
enum class proxy_header_state {
    incomplete,  // more bytes are needed
    malformed,   // no header of either version: the connection is to be closed
    complete,    // a whole header: `length` bytes, and the client if it names one
};

struct proxy_header {
    proxy_header_state state = proxy_header_state::incomplete;
    std::size_t length = 0;  // the header's bytes, to be skipped
    // The client's address and port; false for a header that names none
    // (version 1 "UNKNOWN", a version 2 LOCAL command, a family other than
    // TCP over IPv4 or IPv6): the peer is then the client.
    bool names_client = false;
    sockaddr_storage client{};
};

// The longest header of version 1, its CR LF included; version 2 headers
// are 16 bytes and as many as their length field says (at most 65551).
inline constexpr std::size_t proxy_v1_max = 107;

// Reads the header at the start of the `size` bytes at `data`, as far as
// they go: incomplete while every byte so far may still begin a header.
proxy_header read_proxy_header(const unsigned char* data, std::size_t size);
