#include "http/forwarded.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "http/http_utils.h"

namespace {

// ---------------------------------------------------------------------------
// Addresses

// The 16 bytes of an address, an IPv4 one mapped into IPv6.
std::array<unsigned char, 16> mapped_bytes(const sockaddr_storage& address) {
    std::array<unsigned char, 16> bytes{};
    if (address.ss_family == AF_INET6) {
        memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
    } else {
        bytes[10] = bytes[11] = 0xFF;
        memcpy(bytes.data() + 12, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
    }
    return bytes;
}

bool leading_bits_match(const std::array<unsigned char, 16>& a,
                        const std::array<unsigned char, 16>& b, int bits) {
    const int whole = bits / 8;
    if (memcmp(a.data(), b.data(), static_cast<size_t>(whole)) != 0) return false;
    if (bits % 8 == 0) return true;
    const auto mask = static_cast<unsigned char>(0xFF << (8 - bits % 8));
    return (a[static_cast<size_t>(whole)] & mask) == (b[static_cast<size_t>(whole)] & mask);
}

bool read_number(std::string_view text, unsigned int most, unsigned int* value) {
    if (text.empty() || text.size() > 5) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size() && *value <= most;
}

// A bare address, IPv4 or IPv6, without brackets or port.
bool parse_bare_address(std::string_view text, int family, sockaddr_storage* address) {
    char copy[INET6_ADDRSTRLEN + 1];
    if (text.empty() || text.size() >= sizeof copy) return false;
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    sockaddr_storage found{};
    if ((family == AF_UNSPEC || family == AF_INET) &&
        inet_pton(AF_INET, copy, &reinterpret_cast<sockaddr_in&>(found).sin_addr) == 1) {
        found.ss_family = AF_INET;
    } else if ((family == AF_UNSPEC || family == AF_INET6) &&
               inet_pton(AF_INET6, copy, &reinterpret_cast<sockaddr_in6&>(found).sin6_addr) == 1) {
        found.ss_family = AF_INET6;
        const in6_addr v6 = reinterpret_cast<sockaddr_in6&>(found).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            found = sockaddr_storage{};
            found.ss_family = AF_INET;
            memcpy(&reinterpret_cast<sockaddr_in&>(found).sin_addr, v6.s6_addr + 12, 4);
        }
    } else {
        return false;
    }
    *address = found;
    return true;
}

void set_port(sockaddr_storage* address, unsigned short port) {
    if (address->ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(port);
    }
}

// An address as a proxy names a node: "192.0.2.1", "192.0.2.1:4711",
// "2001:db8::1", "[2001:db8::1]" or "[2001:db8::1]:4711".
bool parse_node(std::string_view text, sockaddr_storage* address) {
    std::string_view host = text;
    std::string_view port;
    if (text.starts_with('[')) {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || rest.size() == 1)) return false;
        port = rest.empty() ? rest : rest.substr(1);
    } else if (text.find(':') != std::string_view::npos && text.find(':') == text.rfind(':')) {
        host = text.substr(0, text.find(':'));
        port = text.substr(text.find(':') + 1);
    }
    unsigned int number = 0;
    if (!port.empty() && !read_number(port, 65535, &number)) return false;
    return parse_ip_address(host, static_cast<unsigned short>(number), address);
}

// ---------------------------------------------------------------------------
// Field lists

// The comma-separated entries of a field's values, in order, outside quotes.
std::vector<std::string_view> list_entries(const std::vector<std::string_view>& values) {
    std::vector<std::string_view> entries;
    for (std::string_view value : values) {
        bool quoted = false;
        size_t start = 0;
        for (size_t i = 0; i <= value.size(); ++i) {
            if (i < value.size() && value[i] == '\\' && quoted) {
                ++i;
            } else if (i < value.size() && value[i] == '"') {
                quoted = !quoted;
            } else if (i == value.size() || (value[i] == ',' && !quoted)) {
                const std::string_view entry = trim_blanks(value.substr(start, i - start));
                if (!entry.empty()) entries.push_back(entry);
                start = i + 1;
            }
        }
    }
    return entries;
}

// A parameter value of Forwarded: a token, or a quoted string without its
// quotes and escapes.
std::string unquoted(std::string_view value) {
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::string(value);
    std::string text;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && i + 2 < value.size()) ++i;
        text += value[i];
    }
    return text;
}

// One element of Forwarded: what one proxy says of the node it heard from.
struct forwarded_element {
    std::string node;  // for=; empty: not said
    std::string proto, host;
};

forwarded_element read_element(std::string_view entry) {
    forwarded_element element;
    while (!entry.empty()) {
        size_t end = 0;
        for (bool quoted = false; end < entry.size() && (quoted || entry[end] != ';'); ++end) {
            if (entry[end] == '\\' && quoted) {
                ++end;
            } else if (entry[end] == '"') {
                quoted = !quoted;
            }
        }
        const std::string_view pair = trim_blanks(entry.substr(0, std::min(end, entry.size())));
        entry.remove_prefix(std::min(end + 1, entry.size()));
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view name = trim_blanks(pair.substr(0, equals));
        const std::string value = unquoted(trim_blanks(pair.substr(equals + 1)));
        if (equal_ignoring_case(name, "for") && element.node.empty()) element.node = value;
        if (equal_ignoring_case(name, "proto") && element.proto.empty()) element.proto = value;
        if (equal_ignoring_case(name, "host") && element.host.empty()) element.host = value;
    }
    return element;
}

// The values of the four fields, each line of each in order.
struct proxy_fields {
    std::vector<std::string_view> forwarded, forwarded_for, proto, host;
};

proxy_fields collect_fields(std::string_view fields) {
    proxy_fields found;
    while (!fields.empty()) {
        const size_t end = fields.find("\r\n");
        const std::string_view line = fields.substr(0, end);
        fields.remove_prefix(end == std::string_view::npos ? fields.size() : end + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim_blanks(line.substr(colon + 1));
        if (equal_ignoring_case(name, "forwarded")) found.forwarded.push_back(value);
        if (equal_ignoring_case(name, "x-forwarded-for")) found.forwarded_for.push_back(value);
        if (equal_ignoring_case(name, "x-forwarded-proto")) found.proto.push_back(value);
        if (equal_ignoring_case(name, "x-forwarded-host")) found.host.push_back(value);
    }
    return found;
}

std::string told_scheme(std::string_view text) {
    if (equal_ignoring_case(text, "https")) return "https";
    if (equal_ignoring_case(text, "http")) return "http";
    return std::string();
}

// A host name, an IPv4 address or a bracketed IPv6 one, with an optional
// port: nothing that could end a header line or name a path.
std::string told_host(std::string_view text) {
    const bool plain =
        !text.empty() && text.size() <= 255 && std::all_of(text.begin(), text.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   strchr(".-_:[]", c) != nullptr;
        });
    return plain ? std::string(text) : std::string();
}

std::string last_entry(const std::vector<std::string_view>& values) {
    const std::vector<std::string_view> entries = list_entries(values);
    return entries.empty() ? std::string() : std::string(entries.back());
}

// ---------------------------------------------------------------------------
// PROXY headers

const unsigned char v2_signature[12] = {'\r', '\n', '\r', '\n', 0,   '\r',
                                        '\n', 'Q',  'U',  'I',  'T', '\n'};
const char v1_signature[] = "PROXY ";

bool is_prefix_of(const unsigned char* data, size_t size, const unsigned char* whole,
                  size_t length) {
    return memcmp(data, whole, std::min(size, length)) == 0;
}

proxy_header header_of(proxy_header_state state, size_t length = 0) {
    proxy_header header;
    header.state = state;
    header.length = length;
    return header;
}

// "PROXY TCP4 <src> <dst> <sport> <dport>\r\n", or "PROXY UNKNOWN ...\r\n".
proxy_header read_v1(const unsigned char* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), std::min(size, proxy_v1_max));
    const size_t end = bytes.find("\r\n");
    if (end == std::string_view::npos) {
        return header_of(size < proxy_v1_max ? proxy_header_state::incomplete
                                             : proxy_header_state::malformed);
    }
    proxy_header header = header_of(proxy_header_state::complete, end + 2);
    std::string_view rest = bytes.substr(sizeof v1_signature - 1, end - (sizeof v1_signature - 1));
    std::string_view words[5];
    size_t count = 0;
    for (; count < 5 && !rest.empty(); ++count) {
        const size_t space = rest.find(' ');
        words[count] = rest.substr(0, space);
        rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
    }
    if (count >= 1 && words[0] == "UNKNOWN") return header;
    const int family = words[0] == "TCP4" ? AF_INET : words[0] == "TCP6" ? AF_INET6 : AF_UNSPEC;
    sockaddr_storage destination{};
    unsigned int source_port = 0, destination_port = 0;
    if (count != 5 || !rest.empty() || family == AF_UNSPEC ||
        !parse_bare_address(words[1], family, &header.client) ||
        !parse_bare_address(words[2], family, &destination) ||
        !read_number(words[3], 65535, &source_port) ||
        !read_number(words[4], 65535, &destination_port)) {
        return header_of(proxy_header_state::malformed);
    }
    set_port(&header.client, static_cast<unsigned short>(source_port));
    header.names_client = true;
    return header;
}

// The 16 bytes of signature, version and command, family and protocol,
// and length, then the addresses and whatever else the length covers.
proxy_header read_v2(const unsigned char* data, size_t size) {
    if (size < 16) return header_of(proxy_header_state::incomplete);
    const unsigned version = data[12] >> 4, command = data[12] & 0x0F;
    const size_t length = 16 + (size_t{data[14]} << 8 | data[15]);
    if (version != 2 || command > 1) return header_of(proxy_header_state::malformed);
    if (size < length) return header_of(proxy_header_state::incomplete);
    proxy_header header = header_of(proxy_header_state::complete, length);
    if (command == 0) return header;  // LOCAL: the proxy's own connection
    const unsigned char* addresses = data + 16;
    const unsigned family_and_protocol = data[13];
    if (family_and_protocol == 0x11 && length >= 16 + 12) {
        header.client.ss_family = AF_INET;
        memcpy(&reinterpret_cast<sockaddr_in&>(header.client).sin_addr, addresses, 4);
        set_port(&header.client, static_cast<unsigned short>(addresses[8] << 8 | addresses[9]));
    } else if (family_and_protocol == 0x21 && length >= 16 + 36) {
        header.client.ss_family = AF_INET6;
        memcpy(&reinterpret_cast<sockaddr_in6&>(header.client).sin6_addr, addresses, 16);
        set_port(&header.client, static_cast<unsigned short>(addresses[32] << 8 | addresses[33]));
    } else if (family_and_protocol == 0x11 || family_and_protocol == 0x21) {
        return header_of(proxy_header_state::malformed);  // too short for its addresses
    } else {
        return header;  // another family: the peer stands for the client
    }
    header.names_client = true;
    return header;
}

}  // namespace

bool parse_ip_address(std::string_view text, unsigned short port, sockaddr_storage* address) {
    if (!parse_bare_address(text, AF_UNSPEC, address)) return false;
    set_port(address, port);
    return true;
}

bool parse_address_list(std::string_view text, address_list* list, std::string* why) {
    list->clear();
    std::vector<std::string_view> entries;
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        entries.push_back(trim_blanks(text.substr(start, comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    for (std::string_view entry : entries) {
        const size_t slash = entry.find('/');
        sockaddr_storage address{};
        if (!parse_bare_address(entry.substr(0, slash), AF_UNSPEC, &address)) {
            *why = "\"" + std::string(entry) + "\" is no address";
            list->clear();
            return false;
        }
        const bool v4 = address.ss_family == AF_INET;
        unsigned int bits = v4 ? 32 : 128;
        address_prefix prefix{mapped_bytes(address), 0};
        if (slash != std::string_view::npos && !read_number(entry.substr(slash + 1), bits, &bits)) {
            *why = "\"" + std::string(entry) + "\" has no prefix length of its family";
            list->clear();
            return false;
        }
        prefix.bits = static_cast<int>(bits) + (v4 ? 96 : 0);
        address_prefix masked{};
        masked.bits = prefix.bits;
        for (int bit = 0; bit < prefix.bits; ++bit)
            masked.bytes[bit / 8] |= prefix.bytes[bit / 8] & (0x80 >> bit % 8);
        if (masked.bytes != prefix.bytes) {
            *why = "\"" + std::string(entry) + "\" has bits set beyond its prefix";
            list->clear();
            return false;
        }
        list->push_back(prefix);
    }
    return true;
}

bool address_listed(const address_list& list, const sockaddr_storage& address) {
    const std::array<unsigned char, 16> bytes = mapped_bytes(address);
    return std::any_of(list.begin(), list.end(), [&](const address_prefix& prefix) {
        return leading_bits_match(prefix.bytes, bytes, prefix.bits);
    });
}

forwarded_client find_forwarded_client(std::string_view fields, const sockaddr_storage& peer,
                                       const address_list& trusted) {
    forwarded_client found;
    found.address = peer;
    if (!address_listed(trusted, peer)) return found;
    const proxy_fields told = collect_fields(fields);
    const bool standard = !told.forwarded.empty();
    std::vector<forwarded_element> hops;
    for (std::string_view entry : list_entries(standard ? told.forwarded : told.forwarded_for)) {
        hops.push_back(standard ? read_element(entry)
                                : forwarded_element{std::string(entry), "", ""});
    }
    const forwarded_element* client_hop = nullptr;
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
        client_hop = &*hop;
        sockaddr_storage address{};
        if (!parse_node(hop->node, &address)) break;
        found.address = address;
        if (!address_listed(trusted, address)) break;
    }
    if (standard) {
        if (client_hop != nullptr) {
            found.scheme = told_scheme(client_hop->proto);
            found.host = told_host(client_hop->host);
        }
    } else {
        found.scheme = told_scheme(last_entry(told.proto));
        found.host = told_host(last_entry(told.host));
    }
    return found;
}

proxy_header read_proxy_header(const unsigned char* data, std::size_t size) {
    if (size == 0) return header_of(proxy_header_state::incomplete);
    const auto* v1 = reinterpret_cast<const unsigned char*>(v1_signature);
    const size_t v1_length = sizeof v1_signature - 1;
    if (is_prefix_of(data, size, v1, v1_length)) {
        return size < v1_length ? header_of(proxy_header_state::incomplete) : read_v1(data, size);
    }
    if (is_prefix_of(data, size, v2_signature, sizeof v2_signature)) {
        return size < sizeof v2_signature ? header_of(proxy_header_state::incomplete)
                                          : read_v2(data, size);
    }
    return header_of(proxy_header_state::malformed);
}
