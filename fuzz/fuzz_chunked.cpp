// chunked_decoder on any bytes, whole and cut in two.
// Input: two bytes for the cut (big-endian, modulo the body's length + 1), one byte for the
// limit (255: none; otherwise 32 times its value), then the raw body.
//
// Checks: each piece lies in a heap block of exactly its size, so a read beyond it is reported;
// take never consumes more than it was given, and takes a piece whole while the body goes on;
// every run of data lies inside its piece and decoded() counts them; the decoded bytes never
// exceed the limit; a done body ends in CR LF; a reason is given exactly when the body failed
// or is too large; and the two pieces give the same decoded bytes, count and state as one.
#include <limits>

#include "fuzz/fuzz_support.h"
#include "http/chunked.h"

namespace {

struct outcome {
    std::string decoded;
    size_t consumed = 0;
    chunked_decoder::state now = chunked_decoder::state::more;
    std::string reason;
};

void feed(chunked_decoder* decoder, const exact_copy& piece, outcome* out) {
    const size_t used = decoder->take(piece.begin(), piece.size(), [&](std::string_view run) {
        require(!run.empty(), "an empty run of data");
        require(inside(run.data(), piece.begin(), piece.end()) &&
                    inside(run.data() + run.size(), run.data(), piece.end()),
                "a run of data lies outside its piece");
        out->decoded += run;
    });
    require(used <= piece.size(), "take consumed more than it was given");
    require(used == piece.size() || decoder->current() != chunked_decoder::state::more,
            "a piece was left half-read while the body goes on");
    require(piece.unchanged(), "take writes into its input");
    out->consumed += used;
}

outcome decode(std::string_view body, size_t cut, std::uint64_t limit) {
    chunked_decoder decoder(limit);
    outcome out;
    feed(&decoder, exact_copy(body.substr(0, cut)), &out);
    feed(&decoder, exact_copy(body.substr(cut)), &out);
    require(decoder.decoded() == out.decoded.size(), "decoded() does not count the runs");
    require(decoder.decoded() <= limit, "the decoded bytes exceed the limit");
    out.now = decoder.current();
    out.reason = decoder.reason();
    const bool fault =
        out.now == chunked_decoder::state::failed || out.now == chunked_decoder::state::too_large;
    require(out.reason.empty() != fault, "a reason without a fault, or a fault without one");
    if (out.now == chunked_decoder::state::done) {
        require(out.consumed >= 5 && body.substr(out.consumed - 2, 2) == "\r\n",
                "a done body does not end in CR LF");
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const std::string_view body(reinterpret_cast<const char*>(data) + 3, size - 3);
    const size_t cut = (size_t{data[0]} << 8 | data[1]) % (body.size() + 1);
    const std::uint64_t limit =
        data[2] == 255 ? std::numeric_limits<std::uint64_t>::max() : std::uint64_t{data[2]} * 32;

    const outcome whole = decode(body, body.size(), limit);
    const outcome split = decode(body, cut, limit);
    require(split.decoded == whole.decoded, "a cut changes the decoded bytes");
    require(split.consumed == whole.consumed, "a cut changes the bytes consumed");
    require(split.now == whole.now && split.reason == whole.reason, "a cut changes the state");
    return 0;
}
