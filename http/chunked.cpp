#include "http/chunked.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint64_t max_chunk_size = (std::uint64_t{1} << 63) - 1;

constexpr char bare_lf[] = "a line ends in a bare LF";
constexpr char cr_without_lf[] = "a CR is not followed by LF";
constexpr char size_followed[] = "a chunk size is followed by other text";
constexpr char bad_extension[] = "a chunk extension is malformed";
constexpr char bad_trailer[] = "a trailer field is malformed";
constexpr char long_size_line[] = "a chunk size line is longer than 1024 bytes";
constexpr char long_trailer[] = "the trailer section is longer than 4096 bytes";
static_assert(chunked_decoder::max_size_line == 1024 &&
                  chunked_decoder::max_trailer_section == 4096,
              "the reasons name the bounds");

bool is_blank(unsigned char c) {
    return c == ' ' || c == '\t';
}

bool is_token(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// A byte that may stand in a field value or after a backslash in a quoted string: visible
// characters, blanks, and bytes beyond ASCII.
bool is_text(unsigned char c) {
    return c == '\t' || (c >= ' ' && c != 0x7f);
}

// Within a quoted string: text other than the quote and the backslash.
bool is_quoted_text(unsigned char c) {
    return is_text(c) && c != '"' && c != '\\';
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

size_t chunked_decoder::take(const char* data, size_t size, const data_sink& sink) {
    size_t used = 0;
    while (used < size && now_ == state::more) {
        if (phase_ == phase::data) {
            const size_t run =
                static_cast<size_t>(std::min<std::uint64_t>(chunk_left_, size - used));
            sink(std::string_view(data + used, run));
            used += run;
            decoded_ += run;
            chunk_left_ -= run;
            if (chunk_left_ == 0) phase_ = phase::data_cr;
            continue;
        }
        if (!step(static_cast<unsigned char>(data[used]))) break;
        ++used;
    }
    return used;
}

// Each step takes one byte outside chunk data; false when the byte shows a fault.
bool chunked_decoder::step(unsigned char c) {
    switch (phase_) {
        case phase::size_line_lf:
            return end_size_line(c);
        case phase::data_cr:
        case phase::data_lf:
            return step_after_data(c);
        case phase::trailer_line:
        case phase::trailer_name:
        case phase::trailer_value:
        case phase::trailer_lf:
        case phase::final_lf:
            return step_trailer(c);
        default:
            return step_size_line(c);
    }
}

bool chunked_decoder::step_size_line(unsigned char c) {
    if (c == '\n') return fail(state::failed, bare_lf);
    if (c != '\r' && ++line_length_ > max_size_line) {
        return fail(state::failed, long_size_line);
    }
    const int digit = hex_value(c);
    switch (phase_) {
        case phase::size_first:
            if (digit < 0) {
                const bool empty = c == '\r' || c == ';';
                return fail(state::failed,
                            empty ? "a chunk size is empty" : "a chunk size is not hexadecimal");
            }
            size_ = static_cast<std::uint64_t>(digit);
            phase_ = phase::size;
            return true;
        case phase::size:
            if (digit < 0) return follow_item(c, phase::size_blanks, size_followed);
            // 2^63 - 1 ends in the digit f: any digit fits behind a size up to its first digits.
            if (size_ > max_chunk_size / 16) {
                return fail(state::failed, "a chunk size does not fit in 63 bits");
            }
            size_ = size_ * 16 + static_cast<std::uint64_t>(digit);
            return true;
        case phase::size_blanks:
            if (is_blank(c)) return true;
            if (c != ';') return fail(state::failed, size_followed);
            phase_ = phase::ext_before_name;
            return true;
        default:
            return step_extension(c);
    }
}

bool chunked_decoder::step_extension(unsigned char c) {
    switch (phase_) {
        case phase::ext_before_name:
            if (is_blank(c)) return true;
            if (!is_token(c)) return fail(state::failed, bad_extension);
            phase_ = phase::ext_name;
            return true;
        case phase::ext_name:
            if (is_token(c)) return true;
            if (c == '=') {
                phase_ = phase::ext_before_value;
                return true;
            }
            return follow_item(c, phase::ext_after_name, bad_extension);
        case phase::ext_after_name:
        case phase::ext_blanks:
            if (is_blank(c)) return true;
            if (c == '=' && phase_ == phase::ext_after_name) {
                phase_ = phase::ext_before_value;
                return true;
            }
            if (c != ';') return fail(state::failed, bad_extension);
            phase_ = phase::ext_before_name;
            return true;
        case phase::ext_before_value:
            if (is_blank(c)) return true;
            if (c == '"') {
                phase_ = phase::ext_quoted;
            } else if (is_token(c)) {
                phase_ = phase::ext_token;
            } else {
                return fail(state::failed, bad_extension);
            }
            return true;
        case phase::ext_token:
            if (is_token(c)) return true;
            return follow_item(c, phase::ext_blanks, bad_extension);
        case phase::ext_quoted:
            if (c == '"') {
                phase_ = phase::ext_after_quoted;
            } else if (c == '\\') {
                phase_ = phase::ext_quoted_pair;
            } else if (!is_quoted_text(c)) {
                return fail(state::failed, bad_extension);
            }
            return true;
        case phase::ext_quoted_pair:
            if (!is_text(c)) return fail(state::failed, bad_extension);
            phase_ = phase::ext_quoted;
            return true;
        default:  // ext_after_quoted
            return follow_item(c, phase::ext_blanks, bad_extension);
    }
}

// What may follow a size, an extension's name or its value: blanks (which a ";" must then
// follow), a ";" that begins an extension, or the CR of the line end.
bool chunked_decoder::follow_item(unsigned char c, phase blanks, const char* fault) {
    if (is_blank(c)) {
        phase_ = blanks;
    } else if (c == ';') {
        phase_ = phase::ext_before_name;
    } else if (c == '\r') {
        phase_ = phase::size_line_lf;
    } else {
        return fail(state::failed, fault);
    }
    return true;
}

bool chunked_decoder::end_size_line(unsigned char c) {
    if (c != '\n') return fail(state::failed, cr_without_lf);
    if (size_ == 0) {
        phase_ = phase::trailer_line;
        return true;
    }
    // The LF is consumed either way: the line itself was sound.
    if (size_ > limit_ - decoded_) {
        fail(state::too_large, "the body is larger than the limit");
        return true;
    }
    chunk_left_ = size_;
    phase_ = phase::data;
    return true;
}

bool chunked_decoder::step_after_data(unsigned char c) {
    const bool cr = phase_ == phase::data_cr;
    if (c != (cr ? '\r' : '\n')) return fail(state::failed, "chunk data is not followed by CR LF");
    if (cr) {
        phase_ = phase::data_lf;
        return true;
    }
    phase_ = phase::size_first;
    size_ = 0;
    line_length_ = 0;
    return true;
}

bool chunked_decoder::step_trailer(unsigned char c) {
    if (++trailer_length_ > max_trailer_section) {
        return fail(state::failed, long_trailer);
    }
    const bool line_end = phase_ == phase::trailer_lf || phase_ == phase::final_lf;
    if (line_end != (c == '\n')) return fail(state::failed, line_end ? cr_without_lf : bare_lf);
    switch (phase_) {
        case phase::trailer_line:
            if (c == '\r') {
                phase_ = phase::final_lf;
            } else if (is_token(c)) {
                phase_ = phase::trailer_name;
            } else {
                return fail(state::failed, bad_trailer);
            }
            return true;
        case phase::trailer_name:
            if (c == ':') {
                phase_ = phase::trailer_value;
            } else if (!is_token(c)) {
                return fail(state::failed, bad_trailer);
            }
            return true;
        case phase::trailer_value:
            if (c == '\r') {
                phase_ = phase::trailer_lf;
            } else if (!is_text(c)) {
                return fail(state::failed, bad_trailer);
            }
            return true;
        case phase::trailer_lf:
            phase_ = phase::trailer_line;
            return true;
        default:  // final_lf
            now_ = state::done;
            return true;
    }
}

bool chunked_decoder::fail(state s, const char* why) {
    now_ = s;
    reason_ = why;
    return false;
}
