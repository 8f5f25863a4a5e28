// Decodes a request body sent in the chunked transfer coding: chunks, each a line with its size
// in hexadecimal and then that many data bytes and CR LF, closed by a chunk of size 0, a trailer
// section and an empty line. An incremental state machine without I/O: it takes the raw bytes
// in pieces of any size, split anywhere, and the result (decoded bytes, bytes consumed, state)
// does not depend on where they were split.
//
// It is strict where a lenient reading lets a second request hide inside a body:
// - every line ends in CR LF; a bare LF, or a CR not followed by LF, fails;
// - a size is one or more hexadecimal digits (either letter case, leading zeros allowed) below
//   2^63, with nothing before it; after it only chunk extensions may follow;
// - an extension is ";" name ["=" value], the name a token, the value a token or a quoted
//   string; blanks (space, tab) are allowed before ";" and around "=", nowhere else. Extensions
//   are checked and ignored. A size line holds at most max_size_line bytes before its CR LF;
// - trailer fields are checked ("name:value", the name a token right before the colon, the value
//   without control characters other than tab) and thrown away, never merged with the head, so a
//   field there cannot change how the request is read. They are read rather than refused
//   because a client may add a checksum there. The section, its closing empty line included,
//   holds at most max_trailer_section bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

class chunked_decoder {
  public:
    enum class state {
        more,       // the body goes on: give it more bytes
        done,       // the body is complete, its trailer section read
        failed,     // the bytes are not a chunked body: answer 400
        too_large,  // a chunk would take the decoded bytes beyond the limit: answer 413
    };

    static constexpr size_t max_size_line = 1024;
    static constexpr size_t max_trailer_section = 4096;

    // Receives each run of decoded bytes, never empty: a range inside the raw bytes that take
    // was given, not a copy, so it lives as long as the caller's buffer does.
    using data_sink = std::function<void(std::string_view)>;

    // `limit`: the most decoded bytes the body may hold.
    explicit chunked_decoder(std::uint64_t limit) : limit_(limit) {}

    // Reads raw bytes of the body from `data` and hands the data bytes among them to `sink`
    // (required). Returns how many of the `size` bytes it consumed: all of them while the body
    // goes on; when it is done, those up to its end (the rest belongs to the next request).
    // After a failure, those before the byte that showed the fault; too_large is found at the
    // end of a size line, whose LF is consumed. Once the state is no longer `more`, take
    // consumes nothing.
    size_t take(const char* data, size_t size, const data_sink& sink);

    state current() const { return now_; }
    // Why the body failed or is too large, for the log ("a chunk size is not hexadecimal");
    // empty in the other states.
    const char* reason() const { return reason_; }
    // The data bytes handed out so far; never more than the limit.
    std::uint64_t decoded() const { return decoded_; }

  private:
    // Where in the body the next byte falls.
    enum class phase {
        size_first,        // the first digit of a size
        size,              // further digits, or what follows them
        size_blanks,       // blanks after the size: a ";" must follow
        ext_before_name,   // after ";": blanks, then a name
        ext_name,          // within a name
        ext_after_name,    // blanks after a name: "=" or ";" must follow
        ext_before_value,  // after "=": blanks, then a token or a quoted string
        ext_token,         // within a token value
        ext_quoted,        // within a quoted string
        ext_quoted_pair,   // after a backslash in a quoted string
        ext_after_quoted,  // after the closing quote
        ext_blanks,        // blanks after a value: a ";" must follow
        size_line_lf,      // the LF of a size line
        data,              // chunk_left_ data bytes
        data_cr,           // the CR LF after a chunk's data
        data_lf,
        trailer_line,  // the start of a trailer field, or the CR of the closing empty line
        trailer_name,
        trailer_value,
        trailer_lf,  // the LF of a trailer field
        final_lf,    // the LF of the closing empty line
    };

    bool step(unsigned char c);
    bool step_size_line(unsigned char c);
    bool step_extension(unsigned char c);
    bool follow_item(unsigned char c, phase blanks, const char* fault);
    bool end_size_line(unsigned char c);
    bool step_after_data(unsigned char c);
    bool step_trailer(unsigned char c);
    bool fail(state s, const char* why);

    std::uint64_t limit_;
    std::uint64_t decoded_ = 0;
    state now_ = state::more;
    const char* reason_ = "";
    phase phase_ = phase::size_first;
    std::uint64_t size_ = 0;        // the size being read
    std::uint64_t chunk_left_ = 0;  // data: the bytes of the chunk still to come
    size_t line_length_ = 0;        // the size line's bytes so far, its CR not counted
    size_t trailer_length_ = 0;     // the trailer section's bytes so far
};
