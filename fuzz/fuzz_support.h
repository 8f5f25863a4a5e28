// Shared by the fuzz targets: failing checks, an exactly-sized copy of the input
// (so AddressSanitizer reports any read at or beyond its end), and splitting
// one input into two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

// libFuzzer calls this once per input; the replay runner once per corpus file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// A failed invariant is a finding: report it and abort, so both libFuzzer and
// the corpus replay stop with an error and keep the input.
inline void require(bool holds, const char* invariant) {
    if (holds) return;
    std::fprintf(stderr, "fuzz invariant failed: %s\n", invariant);
    std::abort();
}

inline bool inside(const char* p, const char* begin, const char* end) {
    return p != nullptr && begin <= p && p <= end;
}

// The input bytes in a heap block of exactly their size: the parsers get
// [begin(), end()) and nothing beyond it is theirs to read.
class exact_copy {
  public:
    exact_copy(const uint8_t* data, size_t size)
        : bytes_(new char[size]),
          size_(size),
          original_(reinterpret_cast<const char*>(data), size) {
        if (size != 0) std::memcpy(bytes_.get(), data, size);
    }
    explicit exact_copy(std::string_view text)
        : exact_copy(reinterpret_cast<const uint8_t*>(text.data()), text.size()) {}

    char* begin() const { return bytes_.get(); }
    char* end() const { return bytes_.get() + size_; }
    size_t size() const { return size_; }
    std::string_view text() const { return {bytes_.get(), size_}; }
    // The parsers only read their range: it must still hold the input.
    bool unchanged() const { return text() == original_; }

  private:
    std::unique_ptr<char[]> bytes_;
    size_t size_;
    std::string original_;
};

// Splits the input at its first NUL byte: the part before it, and the rest
// after it (empty when there is no NUL).
inline std::pair<std::string, std::string_view> split_at_nul(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t nul = input.find('\0');
    if (nul == std::string_view::npos) return {std::string(input), std::string_view()};
    return {std::string(input.substr(0, nul)), input.substr(nul + 1)};
}
