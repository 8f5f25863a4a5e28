// parse_uri on any bytes: it fails only when an "@" has no ":" before it (after
// the scheme), and every pointer it hands back stays inside the range.
#include "fuzz/fuzz_support.h"
#include "http/http_utils.h"

namespace {

// Where the user information would begin: after the first "://", if any.
size_t after_scheme(std::string_view target) {
    size_t scheme_end = target.find("://");
    return scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
}

// Whether an "@" lies in the target with no ":" between it and `from`.
bool at_without_colon(std::string_view target, size_t from) {
    size_t at = target.find('@', from);
    return at != std::string_view::npos &&
           target.substr(from, at - from).find(':') == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy range(data, size);
    char* pos = nullptr;
    std::string scheme, user, password, host, path, fragment;
    int port = -1;
    char* query_begin = nullptr;
    char* query_end = nullptr;
    bool parsed = parse_uri(range.begin(), range.end(), &pos, &scheme, &user, &password, &host,
                            &port, &path, &query_begin, &query_end, &fragment);

    const size_t user_begin = after_scheme(range.text());
    const bool refused = at_without_colon(range.text(), user_begin);
    require(parsed != refused, "parse_uri fails other than for an \"@\" without \":\"");
    require(pos == (parsed ? range.end() : range.begin() + user_begin),
            "pos is not where the parse stopped");
    require((query_begin == nullptr) == (query_end == nullptr), "only one end of the query is set");
    if (query_begin != nullptr) {
        require(inside(query_begin, range.begin() + 1, query_end) &&
                    inside(query_end, query_begin, range.end()),
                "the query leaves the range");
        require(query_begin[-1] == '?', "the query does not follow a \"?\"");
    }
    if (parsed) {
        size_t pieces = scheme.size() + user.size() + password.size() + host.size() + path.size() +
                        fragment.size() + static_cast<size_t>(query_end - query_begin);
        require(pieces <= range.size(), "the components hold more than the target");
    }
    require(range.unchanged(), "parse_uri writes into its range");

    if (range.size() > 0) {
        require(!parse_uri(range.end(), range.begin(), nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr),
                "parse_uri accepts a range whose end lies before its begin");
    }
    return 0;
}
