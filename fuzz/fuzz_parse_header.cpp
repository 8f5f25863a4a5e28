// parse_header on any bytes: every pointer it hands back stays inside the
// range, a success ends just after an empty line, and the outputs it fills
// are pieces of the head it read.
#include "fuzz/fuzz_support.h"
#include "http/http_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy range(data, size);
    char* pos = nullptr;
    std::string method;
    std::string version;
    char* target_begin = nullptr;
    char* target_end = nullptr;
    param_map fields;
    bool parsed = parse_header(range.begin(), range.end(), &pos, &method, &target_begin,
                               &target_end, &version, &fields);

    require(inside(pos, range.begin(), range.end()), "pos leaves the range");
    require((target_begin == nullptr) == (target_end == nullptr),
            "only one end of the target is set");
    if (target_begin != nullptr) {
        require(inside(target_begin, range.begin(), target_end) &&
                    inside(target_end, target_begin, range.end()),
                "the target leaves the range");
        std::string_view line(range.begin(), static_cast<size_t>(target_end - range.begin()));
        require(line == method + " " + std::string(target_begin, target_end),
                "the request line does not start with the method and the target");
    }
    require(method.find(' ') == std::string::npos, "the method holds a space");
    if (parsed) {
        require(target_begin != nullptr, "a parsed head has no target");
        require(pos - range.begin() >= 4 && std::string_view(pos - 4, 4) == "\r\n\r\n",
                "a parsed head does not end just after an empty line");
        require(version.find("\r\n") == std::string::npos, "the version holds a line end");
    }
    require(range.unchanged(), "parse_header writes into its range");

    char* pos_alone = nullptr;
    require(parse_header(range.begin(), range.end(), &pos_alone, nullptr, nullptr, nullptr, nullptr,
                         nullptr) == parsed &&
                pos_alone == pos,
            "leaving the outputs out changes the result");
    return 0;
}
