// The readers of the Range, If-Modified-Since, If-None-Match and If-Range fields on any text.
// Input: 8 bytes of a file's length (little-endian, its sign bit cleared as an off_t's is),
// then the field value. A range must lie inside the file, a date in the form http_time_str
// writes must be written again byte for byte, and a tag list can only match a tag it holds.
#include "fuzz/fuzz_support.h"
#include "http/http_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t prefix = size < 8 ? size : 8;
    uint64_t length = 0;
    for (size_t i = 0; i < prefix; ++i)
        length |= uint64_t{data[i]} << (8 * i);
    length &= INT64_MAX;
    exact_copy field(data + prefix, size - prefix);
    const std::string_view value = field.text();

    const byte_range range = parse_byte_range(value, length);
    if (range.kind == range_kind::satisfiable)
        require(range.first <= range.last && range.last < length, "a range outside the file");
    require((range.kind == range_kind::ignore) == content_range(range, length).empty(),
            "a Content-Range without a range, or none for a range");

    long t = 0;
    if (parse_http_time(value, &t) && value.size() > 3 && value[3] == ',')
        require(http_time_str(t) == value, "a date does not read back as it was written");

    const std::string_view tag = "\"a\"";
    if (if_none_match_matches(value, tag))
        require(trim_blanks(value) == "*" || value.find(tag) != std::string_view::npos,
                "If-None-Match matches a tag it does not hold");
    if (if_range_matches(value, tag, http_time_str(t)))
        require(trim_blanks(value) == tag || trim_blanks(value) == http_time_str(t),
                "If-Range matches neither the tag nor the date");
    return 0;
}
