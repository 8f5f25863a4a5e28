#include "http/chunked.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using state = chunked_decoder::state;

constexpr std::uint64_t no_limit = std::numeric_limits<std::uint64_t>::max();

const char bare_lf[] = "a line ends in a bare LF";
const char cr_without_lf[] = "a CR is not followed by LF";
const char size_empty[] = "a chunk size is empty";
const char not_hex[] = "a chunk size is not hexadecimal";
const char size_followed[] = "a chunk size is followed by other text";
const char too_wide[] = "a chunk size does not fit in 63 bits";
const char long_line[] = "a chunk size line is longer than 1024 bytes";
const char bad_extension[] = "a chunk extension is malformed";
const char data_end[] = "chunk data is not followed by CR LF";
const char bad_trailer[] = "a trailer field is malformed";
const char long_trailer[] = "the trailer section is longer than 4096 bytes";
const char too_large[] = "the body is larger than the limit";

struct outcome {
    std::string decoded;
    size_t consumed = 0;
    state now = state::more;
    std::string reason;
};

// Feeds `input` cut at the ascending offsets `cuts`, each piece in a heap block of exactly its
// size, so the sanitizer reports any read beyond a piece. Every piece is fed, also after the
// body has ended, and the bytes consumed add up. Checks on the way what holds for any input:
// a piece is taken whole while the body goes on, each run of data lies inside its piece, and
// decoded() counts the runs.
outcome decode(const std::string& input, const std::vector<size_t>& cuts, std::uint64_t limit) {
    chunked_decoder decoder(limit);
    outcome out;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : input.size();
        const size_t size = to - from;
        std::unique_ptr<char[]> piece(new char[size]);
        std::memcpy(piece.get(), input.data() + from, size);
        const size_t used = decoder.take(piece.get(), size, [&](std::string_view run) {
            EXPECT_FALSE(run.empty());
            EXPECT_TRUE(run.data() >= piece.get() && run.data() + run.size() <= piece.get() + size)
                << "a run of data lies outside its piece";
            out.decoded += run;
        });
        EXPECT_LE(used, size);
        if (used < size) {
            EXPECT_NE(decoder.current(), state::more) << "a piece was left half-read";
        }
        out.consumed += used;
        from = to;
    }
    EXPECT_EQ(decoder.decoded(), out.decoded.size());
    out.now = decoder.current();
    out.reason = decoder.reason();
    return out;
}

struct row {
    const char* what;
    std::string input;
    std::string decoded;
    size_t consumed;
    state now;
    const char* reason = "";
    std::uint64_t limit = no_limit;
};

void expect_outcome(const outcome& got, const row& r, const std::string& how) {
    EXPECT_EQ(got.decoded, r.decoded) << r.what << ", " << how;
    EXPECT_EQ(got.consumed, r.consumed) << r.what << ", " << how;
    EXPECT_EQ(got.now, r.now) << r.what << ", " << how;
    EXPECT_EQ(got.reason, r.reason) << r.what << ", " << how;
}

// Each row whole, cut in two at every offset, and byte by byte.
void run_rows(const std::vector<row>& rows) {
    for (const row& r : rows) {
        expect_outcome(decode(r.input, {}, r.limit), r, "whole");
        for (size_t cut = 0; cut <= r.input.size(); ++cut) {
            expect_outcome(decode(r.input, {cut}, r.limit), r, "cut at " + std::to_string(cut));
        }
        std::vector<size_t> every_byte;
        for (size_t cut = 1; cut < r.input.size(); ++cut)
            every_byte.push_back(cut);
        expect_outcome(decode(r.input, every_byte, r.limit), r, "byte by byte");
    }
}

std::string x(size_t n) {
    return std::string(n, 'x');
}

TEST(ChunkedDecoder, WholeBodies) {
    const std::string next = "GET / HTTP/1.1\r\n\r\n";
    run_rows({
        {"one chunk", "5\r\nhello\r\n0\r\n\r\n", "hello", 15, state::done},
        {"zero-size body", "0\r\n\r\n", "", 5, state::done},
        {"two chunks", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde", 20, state::done},
        {"the next request's bytes are left", "3\r\nabc\r\n0\r\n\r\n" + next, "abc", 13,
         state::done},
        {"hex in both cases",
         "a\r\n" + x(10) + "\r\nA\r\n" + x(10) + "\r\nfF\r\n" + x(255) + "\r\n0\r\n\r\n", x(275),
         296, state::done},
        {"leading zeros, also in the last chunk", "0005\r\nhello\r\n000\r\n\r\n", "hello", 20,
         state::done},
        {"data that looks like line ends, a last chunk and NUL", "7\r\n0\r\n\r\n\0z\r\n0\r\n\r\n"s,
         "0\r\n\r\n\0z"s, 17, state::done},
        {"large chunk", "1388\r\n" + x(5000) + "\r\n0\r\n\r\n", x(5000), 5013, state::done},
        {"cut in the data", "5\r\nhel", "hel", 6, state::more},
        {"no closing empty line yet", "5\r\nhello\r\n0\r\n", "hello", 13, state::more},
        {"nothing yet", "", "", 0, state::more},
        {"the largest size waits for its data", "7fffffffffffffff\r\nab", "ab", 20, state::more},
        {"63 bits behind leading zeros", "00007FFFFFFFFFFFFFFF\r\n", "", 22, state::more},
    });
}

TEST(ChunkedDecoder, SizeLines) {
    run_rows({
        {"empty size", "\r\nabc", "", 0, state::failed, size_empty},
        {"extension without a size", ";a\r\n", "", 0, state::failed, size_empty},
        {"letter that is no hex digit", "g\r\n", "", 0, state::failed, not_hex},
        {"blank before the size", " 3\r\nabc", "", 0, state::failed, not_hex},
        {"sign before the size", "+3\r\nabc", "", 0, state::failed, not_hex},
        {"0x prefix", "0x3\r\nabc", "", 1, state::failed, size_followed},
        {"garbage after the size", "3z\r\nabc", "", 1, state::failed, size_followed},
        {"blank after the size without ;", "3 \r\nabc", "", 2, state::failed, size_followed},
        {"2^63", "8000000000000000\r\n", "", 15, state::failed, too_wide},
        {"2^64 wraps", "10000000000000000\r\n", "", 16, state::failed, too_wide},
        {"bare LF after the size", "3\nabc\r\n0\r\n\r\n", "", 1, state::failed, bare_lf},
        {"CR then no LF", "3\rabc", "", 2, state::failed, cr_without_lf},
        {"line at its bound", "1;" + x(1022) + "\r\na\r\n0\r\n\r\n", "a", 1034, state::done},
        {"line one beyond its bound", "1;" + x(1023) + "\r\n", "", 1024, state::failed, long_line},
        {"zeros beyond the bound", std::string(1025, '0') + "\r\n", "", 1024, state::failed,
         long_line},
    });
}

TEST(ChunkedDecoder, Extensions) {
    run_rows({
        {"name only", "3;x\r\nabc\r\n0\r\n\r\n", "abc", 15, state::done},
        {"token and quoted values, blanks around ; and =",
         "3 ; a = b ;c=\"q \\\" ;\\\x80\"\t;d\r\nabc\r\n0;e=f\r\n\r\n", "abc", 42, state::done},
        {"no name", "3;\r\n", "", 2, state::failed, bad_extension},
        {"name that is no token", "3;a@b\r\n", "", 3, state::failed, bad_extension},
        {"= without a value", "3;a=\r\n", "", 4, state::failed, bad_extension},
        {"blank inside a value", "3;a=b c\r\n", "", 6, state::failed, bad_extension},
        {"blank before the line end", "3;a=b \r\n", "", 6, state::failed, bad_extension},
        {"blank after a name, then the line end", "3;a \r\n", "", 4, state::failed, bad_extension},
        {"unclosed quoted string", "3;a=\"b\r\n", "", 6, state::failed, bad_extension},
        {"control character in a quoted string", "3;a=\"\x01\"\r\n", "", 5, state::failed,
         bad_extension},
        {"text right after a quoted string", "3;a=\"b\"c\r\n", "", 7, state::failed, bad_extension},
        {"bare LF inside a quoted string", "3;a=\"\n\"\r\n", "", 5, state::failed, bare_lf},
    });
}

TEST(ChunkedDecoder, DataEnds) {
    run_rows({
        {"bare LF after data", "3\r\nabc\n0\r\n\r\n", "abc", 6, state::failed, data_end},
        {"data longer than its size", "3\r\nabcd\r\n", "abc", 6, state::failed, data_end},
        {"data shorter than its size", "5\r\nabc\r\n0\r\n\r\n", "abc\r\n", 8, state::failed,
         data_end},
        {"bare LF closing the body", "0\r\n\n", "", 3, state::failed, bare_lf},
        {"CR then no LF closing the body", "0\r\n\rx", "", 4, state::failed, cr_without_lf},
    });
}

TEST(ChunkedDecoder, Trailers) {
    const std::string fields = "Content-Length: 99\r\nX-Sum:\r\nTransfer-Encoding: chunked\r\n";
    run_rows({
        {"fields are read and thrown away", "3\r\nabc\r\n0\r\n" + fields + "\r\nGET", "abc",
         13 + fields.size(), state::done},
        {"blank before the colon", "0\r\nA :b\r\n\r\n", "", 4, state::failed, bad_trailer},
        {"folded line", "0\r\nA: b\r\n c\r\n\r\n", "", 9, state::failed, bad_trailer},
        {"line without a colon", "0\r\nAB\r\n\r\n", "", 5, state::failed, bad_trailer},
        {"empty name", "0\r\n:b\r\n\r\n", "", 3, state::failed, bad_trailer},
        {"NUL in a value", "0\r\nA: \0\r\n\r\n"s, "", 6, state::failed, bad_trailer},
        {"DEL in a value", "0\r\nA: \x7f\r\n\r\n", "", 6, state::failed, bad_trailer},
        {"bare LF after a field", "0\r\nA: b\n\r\n", "", 7, state::failed, bare_lf},
        {"CR then no LF after a field", "0\r\nA: b\rx\n\r\n", "", 8, state::failed, cr_without_lf},
        {"section at its bound", "0\r\nA:" + x(4090) + "\r\n\r\n", "", 4099, state::done},
        {"section one beyond its bound", "0\r\nA:" + x(4091) + "\r\n\r\n", "", 4099, state::failed,
         long_trailer},
    });
}

TEST(ChunkedDecoder, Limit) {
    run_rows({
        {"exactly the limit", "5\r\nhello\r\n0\r\n\r\n", "hello", 15, state::done, "", 5},
        {"one byte beyond", "6\r\nhello!\r\n0\r\n\r\n", "", 3, state::too_large, too_large, 5},
        {"beyond over two chunks", "3\r\nabc\r\n3\r\ndef\r\n", "abc", 11, state::too_large,
         too_large, 5},
        {"zero-size body with no room", "0\r\n\r\n", "", 5, state::done, "", 0},
        {"a malformed size is malformed first", "6x\r\n", "", 1, state::failed, size_followed, 5},
    });
}

}  // namespace
