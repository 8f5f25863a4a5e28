// read_post_header on any bytes: when it reads a header, the content it points
// at lies inside the buffer, right after an empty line, and the numbers it
// reports agree with that position.
#include "fuzz/fuzz_support.h"
#include "http/proxy_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy request(data, size);
    char* data_begin = nullptr;
    int data_size = 0;
    int data_avail = 0;
    std::string boundary;
    const int length = static_cast<int>(size);
    bool found =
        read_post_header(request.begin(), length, &data_begin, &data_size, &boundary, &data_avail);
    require(request.unchanged(), "read_post_header writes into the buffer");
    if (found) {
        require(inside(data_begin, request.begin() + 2, request.end()),
                "the content begins outside the buffer");
        require(data_begin[-2] == '\r' && data_begin[-1] == '\n',
                "the content does not follow an empty line");
        require(data_avail == static_cast<int>(request.end() - data_begin) - 1,
                "data_avail does not count the bytes after the content's start");
        require(boundary.starts_with("--") && boundary.ends_with("--\r\n"),
                "the boundary is not a closing delimiter line");
    }
    require(read_post_header(request.begin(), length, nullptr, nullptr, nullptr, nullptr) == found,
            "leaving the outputs out changes the result");
    return 0;
}
