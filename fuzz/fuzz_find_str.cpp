// find_str: input = pattern, NUL, text. The result must be the first real
// match of the pattern inside the text's range, or null when there is none.
#include "fuzz/fuzz_support.h"
#include "http/http_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto [pattern, text] = split_at_nul(data, size);
    exact_copy range(text);
    const size_t length = pattern.size();

    char* found = find_str(range.begin(), range.end(), pattern.c_str());
    size_t expected = range.text().find(pattern);
    if (expected == std::string_view::npos) {
        require(found == nullptr, "find_str reports a match where there is none");
    } else {
        require(found == range.begin() + expected, "find_str misses the first match");
        require(inside(found + length, range.begin(), range.end()),
                "find_str's match runs past the range");
    }
    require(range.unchanged(), "find_str writes into its range");

    if (range.size() > 0) {
        require(find_str(range.end(), range.begin(), pattern.c_str()) == nullptr,
                "find_str finds something in a range whose end lies before its begin");
    }
    return 0;
}
