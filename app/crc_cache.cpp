#include "app/crc_cache.h"

bool crc_cache::find(const struct stat& info, std::uint32_t* crc) const {
    const auto found = crcs.find(file_version::of(info));
    if (found == crcs.end()) return false;
    *crc = found->second;
    return true;
}

void crc_cache::keep(const struct stat& info, std::uint32_t crc) {
    if (crcs.size() >= max_entries) crcs.clear();
    crcs[file_version::of(info)] = crc;
}
