#include "http/proxy_utils.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

const std::string base64_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Appends the first `count` of the four characters that encode the three bytes of `group`.
void append_group(std::string& out, const unsigned char group[3], int count) {
    const unsigned int bits = (unsigned{group[0]} << 16) | (unsigned{group[1]} << 8) | group[2];
    for (int i = 0; i < count; ++i)
        out += base64_chars[(bits >> (18 - 6 * i)) & 0x3f];
}

// The capital letter after byte `c` when there is one (c is '@' to 'Y'), else 'A'. Either way
// the result differs from `c`, which is what makes an appended letter break a match.
char next_letter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= '@' && byte <= 'Y' ? static_cast<char>(byte + 1) : 'A';
}

bool starts_with(const std::string& line, const std::string& prefix) {
    return line.compare(0, prefix.size(), prefix) == 0;
}

// The text of `line` after `prefix` without its last character, the CR of a CR LF line end.
// A line that ended with a bare LF has no CR to drop, and may have nothing left at all.
std::string value_after(const std::string& line, const std::string& prefix) {
    const std::string rest = line.substr(prefix.size());
    return rest.empty() ? rest : rest.substr(0, rest.size() - 1);
}

int clamp_to_int(long long value) {
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// The number as atoi reads it, but clamped to the int range instead of overflowing.
int to_int(const std::string& text) {
    return clamp_to_int(std::strtoll(text.c_str(), nullptr, 10));
}

}  // namespace

std::string base64_encode(const unsigned char* data, unsigned int length) {
    std::string out;
    out.reserve((std::size_t{length} + 2) / 3 * 4);
    const unsigned int whole = length - length % 3;
    for (unsigned int i = 0; i < whole; i += 3)
        append_group(out, data + i, 4);

    const unsigned int remaining = length - whole;
    if (remaining > 0) {
        unsigned char group[3] = {0, 0, 0};
        std::memcpy(group, data + whole, remaining);
        append_group(out, group, static_cast<int>(remaining) + 1);
        out.append(3 - remaining, '=');
    }
    return out;
}

namespace {

// The 6-bit value of a Base64 character; -1 for any other character.
int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

bool base64_decode(std::string_view text, std::string* bytes) {
    bytes->clear();
    if (text.size() % 4 != 0) return false;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        const int padding = last ? (text[at + 3] == '=') + (text[at + 2] == '=') : 0;
        if (padding == 1 && text[at + 2] == '=') return false;  // "x=y=" style
        unsigned long group = 0;
        for (int i = 0; i < 4 - padding; ++i) {
            const int value = base64_value(text[at + static_cast<std::size_t>(i)]);
            if (value < 0) return false;
            group = group << 6 | static_cast<unsigned long>(value);
        }
        group <<= 6 * padding;
        const unsigned long leftover_mask = padding == 2 ? 0xFFFF : padding == 1 ? 0xFF : 0;
        if (group & leftover_mask) return false;  // bits that no byte holds
        for (int i = 0; i < 3 - padding; ++i)
            bytes->push_back(static_cast<char>(group >> (16 - 8 * i) & 0xFF));
    }
    return true;
}

std::string get_boundary(const char* content, int content_len) {
    if (content_len <= 0) return "A";
    std::string boundary(1, next_letter(content[0]));
    const auto length = static_cast<std::size_t>(content_len);
    // The boundary only grows by appending, so a position where it did not match once can never
    // match later: every position is compared once.
    for (std::size_t i = 0; i < length && boundary.size() <= length - i; ++i) {
        if (boundary.compare(0, boundary.size(), content + i, boundary.size()) != 0) continue;
        const std::size_t after = i + boundary.size();
        boundary += after == length ? 'A' : next_letter(content[after]);
    }
    return boundary;
}

bool read_post_header(char* request, int request_len, char** data_begin, int* data_size,
                      std::string* boundary, int* data_avail) {
    static const std::string boundary_prefix = "Content-Type: multipart/form-data; boundary=";
    static const std::string length_prefix = "Content-Length: ";

    std::stringstream stream(request_len > 0
                                 ? std::string(request, static_cast<std::size_t>(request_len))
                                 : std::string());
    bool boundary_found = false;
    bool length_found = false;
    int empty_lines = 0;
    std::string bare_boundary;
    int content_length = 0;
    long long body_offset = 0;

    std::string line;
    while (empty_lines < 2 && std::getline(stream, line)) {
        if (starts_with(line, boundary_prefix)) {
            bare_boundary = value_after(line, boundary_prefix);
            if (boundary) *boundary = bare_boundary;
            boundary_found = true;
        } else if (starts_with(line, length_prefix)) {
            content_length = to_int(value_after(line, length_prefix));
            length_found = true;
        } else if (line == "\r" && !stream.eof()) {
            // A "\r" that ends the buffer still waits for its LF: not an empty line yet.
            const long long offset = stream.tellg();
            if (++empty_lines == 1) {
                body_offset = offset;
            } else {
                if (data_begin) *data_begin = request + offset;
                if (data_size) {
                    *data_size = clamp_to_int(content_length - (offset - body_offset) -
                                              static_cast<long long>(bare_boundary.size()) - 6);
                }
                if (boundary) *boundary = "--" + bare_boundary + "--\r\n";
                if (data_avail) *data_avail = static_cast<int>(request_len - offset - 1);
            }
        }
    }
    return boundary_found && length_found && empty_lines == 2 && !stream.fail();
}
