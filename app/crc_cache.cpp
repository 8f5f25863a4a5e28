#include "app/crc_cache.h"

#include <functional>

crc_cache::key crc_cache::key_of(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev),
            static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size),
            info.st_mtim.tv_sec,
            info.st_mtim.tv_nsec,
            info.st_ctim.tv_sec,
            info.st_ctim.tv_nsec};
}

size_t crc_cache::key_hash::operator()(const key& k) const {
    const std::hash<std::uint64_t> h;
    size_t seed = h(k.ino);
    for (std::uint64_t part : {k.dev, k.size, static_cast<std::uint64_t>(k.mtime_ns),
                               static_cast<std::uint64_t>(k.ctime_ns)})
        seed ^= h(part) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
}

bool crc_cache::find(const struct stat& info, std::uint32_t* crc) const {
    const auto found = crcs.find(key_of(info));
    if (found == crcs.end()) return false;
    *crc = found->second;
    return true;
}

void crc_cache::keep(const struct stat& info, std::uint32_t crc) {
    if (crcs.size() >= max_entries) crcs.clear();
    crcs[key_of(info)] = crc;
}
