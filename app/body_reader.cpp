#include "app/body_reader.h"

#include <algorithm>

body_reader::body_reader(std::unique_ptr<body_taker> taker, long long length, long long limit)
    : sink(std::move(taker)), length(length) {
    if (length < 0) {
        chunks.emplace(static_cast<std::uint64_t>(limit));
    } else if (length == 0) {
        sink->end();
        now = state::ended;
    }
}

size_t body_reader::take(const char* data, size_t size) {
    if (now != state::receiving) return 0;
    if (chunks) return take_chunks(data, size);
    const auto part =
        static_cast<size_t>(std::min<long long>(static_cast<long long>(size), missing()));
    received += static_cast<long long>(part);
    if (!sink->take(data, part)) {
        now = state::refused;
    } else if (missing() == 0) {
        sink->end();
        now = state::ended;
    }
    return part;
}

// A taker that refuses stops the body: the decoder's further data goes
// nowhere, and the connection closes after the answer.
size_t body_reader::take_chunks(const char* data, size_t size) {
    const size_t consumed = chunks->take(data, size, [this](std::string_view piece) {
        if (now == state::receiving && !sink->take(piece.data(), piece.size())) {
            now = state::refused;
        }
    });
    if (now != state::receiving) return consumed;
    switch (chunks->current()) {
        case chunked_decoder::state::more:
            break;
        case chunked_decoder::state::done:
            sink->end();
            now = state::ended;
            break;
        case chunked_decoder::state::failed:
            now = state::malformed;
            break;
        case chunked_decoder::state::too_large:
            now = state::too_large;
            break;
    }
    return consumed;
}
