// The client behind proxies: lists of trusted addresses, the forwarded
// fields, and PROXY headers of both versions.
#include "http/forwarded.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace {

std::string text_of(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "";
    unsigned short port = 0;
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
        return "[" + std::string(text) + "]:" + std::to_string(port);
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
}

sockaddr_storage address(const char* text) {
    sockaddr_storage found{};
    EXPECT_TRUE(parse_ip_address(text, 0, &found)) << text;
    return found;
}

address_list list_of(const char* text) {
    address_list list;
    std::string why;
    EXPECT_TRUE(parse_address_list(text, &list, &why)) << why;
    return list;
}

TEST(AddressList, Table) {
    struct row {
        const char* list;
        const char* address;
        bool listed;
    };
    const row rows[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"10.0.0.0/8", "10.255.1.2", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"192.168.1.128/25", "192.168.1.200", true},
        {"192.168.1.128/25", "192.168.1.127", false},
        {"::1", "::1", true},
        {"::1", "::ffff:127.0.0.1", false},
        {"fd00::/8", "fd12:3456::1", true},
        {"fd00::/8", "fe80::1", false},
        // An IPv4 address mapped into IPv6 is the IPv4 address.
        {"127.0.0.1", "::ffff:127.0.0.1", true},
        {" 10.0.0.0/8 , ::1 ,127.0.0.1", "127.0.0.1", true},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false},
        {"::/0", "2001:db8::1", true},
    };
    for (const row& r : rows)
        EXPECT_EQ(address_listed(list_of(r.list), address(r.address)), r.listed)
            << r.list << " " << r.address;

    for (const char* bad : {"", "127.0.0.1,", "localhost", "10.0.0.0/33", "::/129", "10.0.0.1/8",
                            "10.0.0.0/", "10.0.0.0/x", "1.2.3", "[::1]"}) {
        address_list list;
        std::string why;
        EXPECT_FALSE(parse_address_list(bad, &list, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
        EXPECT_TRUE(list.empty()) << bad;
    }
}

TEST(FindForwardedClient, Table) {
    const address_list trusted = list_of("127.0.0.1,::1,10.0.0.0/8");
    struct row {
        const char* peer;
        const char* fields;
        const char* client;
        const char* scheme;
        const char* host;
    };
    const row rows[] = {
        // From a peer that is not trusted, nothing is believed.
        {"192.0.2.1", "X-Forwarded-For: 203.0.113.5\r\nX-Forwarded-Proto: https\r\n", "192.0.2.1:0",
         "", ""},
        // A trusted peer without fields is the client.
        {"127.0.0.1", "Host: a\r\n", "127.0.0.1:0", "", ""},
        {"127.0.0.1",
         "X-Forwarded-For: 203.0.113.5\r\nX-Forwarded-Proto: https\r\nX-Forwarded-Host: "
         "files.example:8443\r\n",
         "203.0.113.5:0", "https", "files.example:8443"},
        // The rightmost address not trusted; what the client wrote itself is to its left.
        {"127.0.0.1", "x-forwarded-for: 6.6.6.6, 203.0.113.5, 10.1.2.3\r\n", "203.0.113.5:0", "",
         ""},
        // Every line of the field counts, in order.
        {"127.0.0.1", "X-Forwarded-For: 6.6.6.6\r\nHost: a\r\nX-Forwarded-For: 203.0.113.5\r\n",
         "203.0.113.5:0", "", ""},
        // All trusted: the leftmost.
        {"127.0.0.1", "X-Forwarded-For: 10.0.0.1, 10.0.0.2\r\n", "10.0.0.1:0", "", ""},
        // No address ends the walk at the proxy that wrote it.
        {"127.0.0.1", "X-Forwarded-For: 203.0.113.5, unknown, 10.0.0.2\r\n", "10.0.0.2:0", "", ""},
        {"127.0.0.1", "X-Forwarded-For: [2001:db8::7]:4711\r\n", "[2001:db8::7]:4711", "", ""},
        {"127.0.0.1", "X-Forwarded-For: 203.0.113.5:4711\r\n", "203.0.113.5:4711", "", ""},
        {"::1", "X-Forwarded-For: 2001:db8::7\r\n", "[2001:db8::7]:0", "", ""},
        // The last value of Proto and Host: the nearest proxy's; anything else is not told.
        {"127.0.0.1", "X-Forwarded-Proto: http, https\r\nX-Forwarded-Host: a.example\r\n",
         "127.0.0.1:0", "https", "a.example"},
        {"127.0.0.1", "X-Forwarded-Proto: ftp\r\nX-Forwarded-Host: a/b\r\n", "127.0.0.1:0", "", ""},
        {"127.0.0.1", "X-Forwarded-Host: a b\r\n", "127.0.0.1:0", "", ""},
        // Forwarded wins over the X- fields, and names proto and host with its client.
        {"127.0.0.1",
         "X-Forwarded-For: 6.6.6.6\r\nForwarded: for=203.0.113.5;proto=https;host=a.example, "
         "for=10.0.0.9;proto=http;host=inner\r\n",
         "203.0.113.5:0", "https", "a.example"},
        {"127.0.0.1", "Forwarded: For=\"[2001:db8:cafe::17]:4711\";Proto=HTTPS\r\n",
         "[2001:db8:cafe::17]:4711", "https", ""},
        {"127.0.0.1", "Forwarded: for=\"203.0.113.5:80\";host=\"a\\.example\"\r\n",
         "203.0.113.5:80", "", "a.example"},
        {"127.0.0.1", "Forwarded: for=_hidden;proto=https\r\n", "127.0.0.1:0", "https", ""},
        {"127.0.0.1", "Forwarded: proto=https\r\n", "127.0.0.1:0", "https", ""},
    };
    for (const row& r : rows) {
        const forwarded_client found = find_forwarded_client(r.fields, address(r.peer), trusted);
        EXPECT_EQ(text_of(found.address), r.client) << r.fields;
        EXPECT_EQ(found.scheme, r.scheme) << r.fields;
        EXPECT_EQ(found.host, r.host) << r.fields;
    }
}

proxy_header read(const std::string& bytes) {
    return read_proxy_header(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

const std::string v2_signature("\r\n\r\n\0\r\nQUIT\n", 12);

TEST(ReadProxyHeader, Table) {
    const std::string v2_ipv4 = v2_signature + std::string("\x21\x11\x00\x0c", 4) +
                                std::string("\xcb\x00\x71\x05\x7f\x00\x00\x01\x12\x67\x1f\x90", 12);
    std::string v2_ipv6 = v2_signature + std::string("\x21\x21\x00\x24", 4);
    v2_ipv6 += std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x07";
    v2_ipv6 += std::string(15, '\0') + "\x01" + std::string("\x12\x67\x1f\x90", 4);
    // A LOCAL command with a TLV the reader skips.
    const std::string v2_local = v2_signature + std::string("\x20\x00\x00\x03\x04\x00\x00", 7);
    struct row {
        std::string bytes;
        proxy_header_state state;
        size_t length;
        const char* client;  // empty: none named
    };
    const row rows[] = {
        {"PROXY TCP4 203.0.113.5 127.0.0.1 4711 8080\r\nGET", proxy_header_state::complete, 44,
         "203.0.113.5:4711"},
        {"PROXY TCP6 2001:db8::7 ::1 4711 8080\r\n", proxy_header_state::complete, 38,
         "[2001:db8::7]:4711"},
        {"PROXY UNKNOWN\r\n", proxy_header_state::complete, 15, ""},
        {"PROXY UNKNOWN ffff::1 ::1 1 2\r\n", proxy_header_state::complete, 31, ""},
        {"PROX", proxy_header_state::incomplete, 0, ""},
        {"PROXY TCP4 203.0.113.5 127.0.0.1 4711", proxy_header_state::incomplete, 0, ""},
        {"PROXY TCP4 " + std::string(100, '1'), proxy_header_state::malformed, 0, ""},
        {"PROXY TCP4 2001:db8::7 ::1 4711 8080\r\n", proxy_header_state::malformed, 0, ""},
        {"PROXY TCP6 203.0.113.5 127.0.0.1 4711 8080\r\n", proxy_header_state::malformed, 0, ""},
        {"PROXY TCP4 203.0.113.5 127.0.0.1 4711 80800\r\n", proxy_header_state::malformed, 0, ""},
        {"PROXY TCP4 203.0.113.5 127.0.0.1 4711\r\n", proxy_header_state::malformed, 0, ""},
        {"PROXY TCP4 203.0.113.5  127.0.0.1 4711 8080\r\n", proxy_header_state::malformed, 0, ""},
        {"GET / HTTP/1.1\r\n", proxy_header_state::malformed, 0, ""},
        {v2_ipv4 + "GET", proxy_header_state::complete, 28, "203.0.113.5:4711"},
        {v2_ipv6, proxy_header_state::complete, 52, "[2001:db8::7]:4711"},
        {v2_local, proxy_header_state::complete, 19, ""},
        {v2_signature.substr(0, 5), proxy_header_state::incomplete, 0, ""},
        {v2_ipv4.substr(0, 20), proxy_header_state::incomplete, 0, ""},
        // Version 1 in the binary form, an unknown command, addresses cut short.
        {v2_signature + std::string("\x11\x11\x00\x0c", 4) + std::string(12, '\0'),
         proxy_header_state::malformed, 0, ""},
        {v2_signature + std::string("\x22\x11\x00\x0c", 4) + std::string(12, '\0'),
         proxy_header_state::malformed, 0, ""},
        {v2_signature + std::string("\x21\x11\x00\x04", 4) + std::string(4, '\0'),
         proxy_header_state::malformed, 0, ""},
        // UDP or a socket name: the peer stands for the client.
        {v2_signature + std::string("\x21\x12\x00\x0c", 4) + std::string(12, '\0'),
         proxy_header_state::complete, 28, ""},
    };
    for (const row& r : rows) {
        const proxy_header header = read(r.bytes);
        EXPECT_EQ(header.state, r.state) << r.bytes;
        if (header.state != proxy_header_state::complete) continue;
        EXPECT_EQ(header.length, r.length) << r.bytes;
        EXPECT_EQ(header.names_client, *r.client != '\0') << r.bytes;
        if (header.names_client) {
            EXPECT_EQ(text_of(header.client), r.client) << r.bytes;
        }
    }
}

}  // namespace
