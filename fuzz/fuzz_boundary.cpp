// get_boundary on any content: capital letters only, at most one longer than
// the content, and nowhere in the content.
#include "fuzz/fuzz_support.h"
#include "http/proxy_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy content(data, size);
    std::string boundary = get_boundary(content.begin(), static_cast<int>(size));
    require(!boundary.empty(), "the boundary is empty");
    require(boundary.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos,
            "the boundary holds other characters than A to Z");
    require(boundary.size() <= size + 1, "the boundary is longer than the content + 1");
    require(content.text().find(boundary) == std::string_view::npos,
            "the boundary occurs in the content");
    require(content.unchanged(), "get_boundary writes into the content");
    return 0;
}
