// parse_params and parse_query on the same bytes. What they store comes from
// the input, the first of two equal keys wins, and `pos` of parse_query stays
// inside the range and marks the pair that lacks its "=".
#include "fuzz/fuzz_support.h"
#include "http/http_utils.h"

namespace {

// Every key and value is a piece of the input, and the pairs, which never
// overlap, cannot hold more bytes than the input.
void require_pieces_of(const param_map& params, std::string_view input) {
    size_t total = 0;
    for (const auto& [key, value] : params) {
        require(input.find(key) != std::string_view::npos, "a key is not in the input");
        require(input.find(value) != std::string_view::npos, "a value is not in the input");
        total += key.size() + 1 + value.size();
    }
    require(total <= input.size(), "the pairs hold more bytes than the input");
}

// Appending a pair whose key is already stored must not change its value.
void require_first_key_wins(const param_map& params, std::string_view input, bool query) {
    if (params.empty()) return;
    const std::string& key = params.begin()->first;
    std::string longer(input);
    if (query) {
        longer += "&" + key + "=later";
    } else {
        longer.insert(longer.size() - 2, key + "=later\r\n");  // before the closing empty line
    }
    exact_copy range(longer);
    param_map again;
    bool parsed = query ? parse_query(range.begin(), range.end(), nullptr, &again)
                        : parse_params(range.begin(), range.end(), &again);
    require(parsed, "a parsed text with one more pair fails");
    auto kept = again.find(key);
    require(kept != again.end() && kept->second == params.begin()->second,
            "a later key replaces the first one");
}

void check_params(const exact_copy& range) {
    param_map params;
    bool parsed = parse_params(range.begin(), range.end(), &params);
    require(parsed == parse_params(range.begin(), range.end(), nullptr),
            "parse_params without a map decides otherwise");
    require_pieces_of(params, range.text());
    if (!parsed) return;
    require(range.text().ends_with("\r\n"), "a parsed parameter text does not end with \\r\\n");
    require_first_key_wins(params, range.text(), false);
}

void check_query(const exact_copy& range) {
    param_map params;
    char* pos = nullptr;
    bool parsed = parse_query(range.begin(), range.end(), &pos, &params);
    require(inside(pos, range.begin(), range.end()), "parse_query's pos leaves the range");
    require_pieces_of(params, range.text());
    if (parsed) {
        require(pos == range.end(), "parse_query succeeds before the end");
        require_first_key_wins(params, range.text(), true);
    } else {
        require(pos == range.begin() || pos[-1] == '&', "the failing pair does not start a pair");
        require(std::string_view(pos, static_cast<size_t>(range.end() - pos)).find('=') ==
                    std::string_view::npos,
                "parse_query fails although the pair has its \"=\"");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy range(data, size);
    check_params(range);
    check_query(range);
    require(range.unchanged(), "a parser writes into its range");
    return 0;
}
