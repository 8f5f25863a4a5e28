#include "http/proxy_utils.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// base64_encode

std::string encode(const std::string& bytes) {
    return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<unsigned int>(bytes.size()));
}

// A strict decoder written independently of the encoder: it refuses (returns false for) any
// text that is not whole groups of four alphabet characters with correct, canonical padding.
bool decode(const std::string& text, std::string* bytes) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return false;
    bytes->clear();
    for (std::size_t group = 0; group < text.size(); group += 4) {
        const bool last = group + 4 == text.size();
        unsigned long bits = 0;
        int pads = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = text[group + i];
            if (c == '=' && last && i >= 2) {
                ++pads;
                bits <<= 6;
                continue;
            }
            const auto value = alphabet.find(c);
            if (value == std::string::npos || pads > 0) return false;
            bits = (bits << 6) | value;
        }
        const int count = 3 - pads;
        const unsigned long unused = bits & ((1UL << (8 * pads)) - 1);
        if (unused != 0) return false;  // padding bits must be zero
        for (int i = 0; i < count; ++i) {
            bytes->push_back(static_cast<char>((bits >> (16 - 8 * i)) & 0xff));
        }
    }
    return true;
}

TEST(Base64, KnownTexts) {
    const std::pair<std::string, const char*> rows[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {"abcd", "YWJjZA=="},
        {"user:secret", "dXNlcjpzZWNyZXQ="},
        {std::string("\0", 1), "AA=="},
        {std::string("a\0b", 3), "YQBi"},
        {std::string("\0\0\0\0", 4), "AAAAAA=="},
        {"\xff\xfe\xfd", "//79"},
        {"\xfb\xff", "+/8="},
    };
    for (const auto& [bytes, text] : rows)
        EXPECT_EQ(encode(bytes), text) << text;
}

TEST(Base64, LongInputStaysOnOneLine) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i)
        bytes += static_cast<char>(i * 7);
    const std::string text = encode(bytes);
    EXPECT_EQ(text.size(), 4u * 334);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    std::string decoded;
    ASSERT_TRUE(decode(text, &decoded));
    EXPECT_EQ(decoded, bytes);
}

TEST(Base64, EveryInputOfOneAndTwoBytesRoundTrips) {
    std::string decoded;
    for (int a = 0; a < 256; ++a) {
        const std::string one(1, static_cast<char>(a));
        const std::string text = encode(one);
        ASSERT_TRUE(decode(text, &decoded) && decoded == one) << a << " -> " << text;
        for (int b = 0; b < 256; ++b) {
            const std::string two = one + static_cast<char>(b);
            const std::string text2 = encode(two);
            ASSERT_TRUE(decode(text2, &decoded) && decoded == two) << a << "," << b;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// get_boundary

std::string boundary_of(const std::string& content) {
    // A heap copy of exactly the content's size, so that a sanitizer catches any read beyond.
    const std::vector<char> copy(content.begin(), content.end());
    return get_boundary(copy.data(), static_cast<int>(copy.size()));
}

TEST(GetBoundary, Examples) {
    const std::pair<std::string, const char*> rows[] = {
        {"", "A"},     {"A", "B"}, {"AB", "BA"}, {"ABC", "BD"}, {"AAAA", "B"},  {"a", "A"},
        {"xAx", "AA"}, {"@", "A"}, {"Y", "Z"},   {"Z", "A"},    {"ABAB", "BB"}, {"\xc1", "A"},
    };
    for (const auto& [content, expected] : rows)
        EXPECT_EQ(boundary_of(content), expected) << content;
    EXPECT_EQ(get_boundary(nullptr, 0), "A");
    EXPECT_EQ(get_boundary("B", -1), "A");
}

// The properties every boundary must have, whatever the content.
void expect_sound_boundary(const std::string& content) {
    const std::string boundary = boundary_of(content);
    ASSERT_FALSE(boundary.empty());
    EXPECT_EQ(content.find(boundary), std::string::npos) << content;
    EXPECT_EQ(boundary.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
    EXPECT_LE(boundary.size(), content.size() + 1) << content;
}

TEST(GetBoundary, NeverOccursInTheContent) {
    std::mt19937 random(12345);
    auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 3000; ++round) {
        const int length = pick(64);
        std::string capitals, bytes, near_letters;
        for (int i = 0; i < length; ++i) {
            capitals += static_cast<char>('A' + pick(3));
            bytes += static_cast<char>(pick(256));
            near_letters += static_cast<char>('@' + pick(28));  // '@' to '[', around A to Z
        }
        expect_sound_boundary(capitals);
        expect_sound_boundary(bytes);
        expect_sound_boundary(near_letters);
    }
}

TEST(GetBoundary, ContentFullOfCandidateBoundaries) {
    // Each piece is a boundary that a shorter content would get, so the search keeps matching
    // and growing.
    std::mt19937 random(777);
    for (int round = 0; round < 300; ++round) {
        std::string content;
        while (content.size() < 200) {
            const std::string candidate =
                boundary_of(content.substr(random() % (content.size() + 1)));
            content += candidate;
            if (random() % 2) content += candidate.substr(0, candidate.size() / 2);
        }
        expect_sound_boundary(content);
    }
    expect_sound_boundary(std::string(500, 'A') + std::string(500, 'B'));
}

// ---------------------------------------------------------------------------------------------
// read_post_header

struct post_result {
    bool ok = false;
    bool data_begin_written = false;
    int data_offset = 0;
    int data_size = -1;
    std::string boundary;
    int data_avail = -1;
};

post_result read_post(const std::string& request) {
    std::vector<char> copy(request.begin(), request.end());
    post_result r;
    char* data_begin = nullptr;
    r.ok = read_post_header(copy.data(), static_cast<int>(copy.size()), &data_begin, &r.data_size,
                            &r.boundary, &r.data_avail);
    r.data_begin_written = data_begin != nullptr;
    if (data_begin) r.data_offset = static_cast<int>(data_begin - copy.data());
    return r;
}

// Pads `text` with a header line of filler so that, with the line, it is `size` bytes long.
std::string pad_to(std::string text, std::size_t size) {
    const std::string name = "X-Pad: ";
    text += name + std::string(size - text.size() - name.size() - 2, 'p') + "\r\n";
    EXPECT_EQ(text.size(), size);
    return text;
}

// A request whose body begins at offset 150 and whose content begins at offset 230; the content
// is 31 bytes, the closing delimiter follows, and 30 more bytes end the 300-byte buffer.
std::string worked_example() {
    const std::string header = pad_to(
                                   "POST /upload HTTP/1.1\r\n"
                                   "Content-Type: multipart/form-data; boundary=xyz\r\n"
                                   "Content-Length: 120\r\n",
                                   148) +
                               "\r\n";
    const std::string part_header =
        pad_to("--xyz\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n", 78) +
        "\r\n";
    const std::string content(31, 'c');
    const std::string request =
        header + part_header + content + "\r\n--xyz--" + std::string(30, 'n');
    EXPECT_EQ(request.size(), 300u);
    return request;
}

TEST(ReadPostHeader, WorkedExample) {
    const post_result r = read_post(worked_example());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data_offset, 230);
    EXPECT_EQ(r.data_size, 31);
    EXPECT_EQ(r.boundary, "--xyz--\r\n");
    EXPECT_EQ(r.data_avail, 69);
}

TEST(ReadPostHeader, CutBeforeTheSecondEmptyLine) {
    const std::string request = worked_example();
    for (std::size_t cut = 0; cut < 230; ++cut) {
        EXPECT_FALSE(read_post(request.substr(0, cut)).ok) << "cut at " << cut;
    }
    const post_result r = read_post(request.substr(0, 230));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data_avail, -1);
}

TEST(ReadPostHeader, BareBoundaryWhileTheRequestArrives) {
    const post_result r = read_post(worked_example().substr(0, 150));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.boundary, "xyz");
}

TEST(ReadPostHeader, Refused) {
    const std::string type = "Content-Type: multipart/form-data; boundary=b\r\n";
    const std::string length = "Content-Length: 50\r\n";
    const std::string part = "\r\n--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\ndata";
    struct row {
        const char* what;
        std::string request;
        bool second_empty_line;  // the positions are handed out once it is complete
    };
    const row rows[] = {
        {"no Content-Length", type + part, true},
        {"no boundary", length + part, true},
        {"other letter case",
         "content-type: multipart/form-data; boundary=b\r\ncontent-length: 50\r\n" + part, true},
        {"another parameter before the boundary",
         "Content-Type: multipart/form-data; charset=x; boundary=b\r\n" + length + part, true},
        {"bare line feeds",
         "Content-Type: multipart/form-data; boundary=b\nContent-Length: 50\n\n--b\n\ndata", false},
        {"empty lines of bare line feeds only", type + length + "\n--b\n\ndata", false},
        {"lines with nothing after the names",
         "Content-Type: multipart/form-data; boundary=\nContent-Length: ", false},
        {"second empty line without its LF", type + length + "\r\n--b\r\n\r", false},
        {"empty buffer", "", false},
    };
    for (const row& r : rows) {
        const post_result result = read_post(r.request);
        EXPECT_FALSE(result.ok) << r.what;
        EXPECT_EQ(result.data_begin_written, r.second_empty_line) << r.what;
    }
    EXPECT_FALSE(read_post_header(nullptr, 0, nullptr, nullptr, nullptr, nullptr));
}

TEST(ReadPostHeader, LaterLinesReplaceEarlierOnes) {
    const post_result r = read_post(
        "Content-Type: multipart/form-data; boundary=first\r\nContent-Length: 1\r\n"
        "Content-Type: multipart/form-data; boundary=ab\r\nContent-Length: 100\r\n\r\n"
        "--ab\r\n\r\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.boundary, "--ab--\r\n");
    EXPECT_EQ(r.data_size, 100 - 8 - 2 - 6);
}

TEST(ReadPostHeader, ContentLengthBeyondIntIsClamped) {
    const std::string tail = "\r\n\r\n--b\r\n\r\n";
    const std::string type = "Content-Type: multipart/form-data; boundary=b\r\n";
    EXPECT_EQ(read_post(type + "Content-Length: 99999999999" + tail).data_size,
              INT_MAX - 7 - 1 - 6);
    EXPECT_EQ(read_post(type + "Content-Length: -99999999999" + tail).data_size, INT_MIN);
}

TEST(ReadPostHeader, OutputsAreOptional) {
    std::string request = worked_example();
    EXPECT_TRUE(read_post_header(request.data(), static_cast<int>(request.size()), nullptr, nullptr,
                                 nullptr, nullptr));
}

}  // namespace

namespace {

// Every text of up to three bytes goes there and back; what is not Base64 is refused.
TEST(Base64Decode, RoundTripsEveryShortTextAndRefusesTheRest) {
    std::string text;
    std::string decoded;
    for (int length = 0; length <= 2; ++length) {
        const int count = 1 << (8 * length);
        for (int n = 0; n < count; ++n) {
            text.assign(static_cast<size_t>(length), '\0');
            for (int i = 0; i < length; ++i)
                text[static_cast<size_t>(i)] = static_cast<char>(n >> (8 * i));
            const std::string encoded = base64_encode(
                reinterpret_cast<const unsigned char*>(text.data()), static_cast<unsigned>(length));
            ASSERT_TRUE(base64_decode(encoded, &decoded)) << encoded;
            ASSERT_EQ(decoded, text) << encoded;
        }
    }
    EXPECT_TRUE(base64_decode("dXNlcjo1NzEy", &decoded));
    EXPECT_EQ(decoded, "user:5712");
    for (const char* bad :
         {"dXNlcjo1NzE", "dXNl cjo1", "dXN=cjo1", "YQ==YQ==", "YR==", "YWI=x", "Y==="})
        EXPECT_FALSE(base64_decode(bad, &decoded)) << bad;
}

}  // namespace
