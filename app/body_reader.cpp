#include "app/body_reader.h"

#include <algorithm>

body_reader::body_reader(std::unique_ptr<body_taker> taker, long long length)
    : sink(std::move(taker)), length(length) {
    if (length == 0) {
        sink->end();
        now = state::ended;
    }
}

size_t body_reader::take(const char* data, size_t size) {
    if (now != state::receiving) return 0;
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
