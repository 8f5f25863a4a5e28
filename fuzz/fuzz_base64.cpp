// base64_encode on any bytes: the text has the standard length and alphabet
// and decodes back to the input.
#include "fuzz/fuzz_support.h"
#include "http/proxy_utils.h"

namespace {

const std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The bytes of a padded Base64 text whose length is a multiple of four.
std::string decode(std::string_view text) {
    std::string bytes;
    for (size_t at = 0; at < text.size(); at += 4) {
        unsigned bits = 0;
        int digits = 0;
        for (char c : text.substr(at, 4)) {
            size_t value = alphabet.find(c);
            if (value == std::string_view::npos) break;  // the padding
            bits |= static_cast<unsigned>(value) << (18 - 6 * digits++);
        }
        for (int i = 0; i < digits - 1; ++i)
            bytes += static_cast<char>((bits >> (16 - 8 * i)) & 0xff);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy input(data, size);
    std::string text =
        base64_encode(reinterpret_cast<unsigned char*>(input.begin()), static_cast<unsigned>(size));
    require(text.size() == 4 * ((size + 2) / 3), "the text is not 4 * ceil(n / 3) long");
    size_t padding = text.find('=');
    if (padding == std::string::npos) padding = text.size();
    require(std::string_view(text).substr(0, padding).find_first_not_of(alphabet) == text.npos,
            "a character outside the alphabet");
    require(text.size() - padding == (3 - size % 3) % 3, "the padding does not fit the length");
    require(text.find_first_not_of('=', padding) == std::string::npos, "text after the padding");
    require(decode(text) == input.text(), "the text does not decode to the input");
    return 0;
}
