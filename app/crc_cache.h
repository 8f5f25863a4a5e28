// The CRC-32s of files archived before, so that a folder downloaded again
// as a ZIP sends its files from the page cache without reading them.
//
// A CRC is kept for a file's version as fstat() saw it (app/file_version.h),
// so a file that has changed in any way is never given its old CRC. At most
// `max_entries` are kept; one more empties the cache. Only the thread that
// polls uses it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "app/file_version.h"

class crc_cache {
  public:
    explicit crc_cache(size_t max_entries = 100000) : max_entries(max_entries) {}

    // The CRC-32 kept for the file `info` describes, if any.
    bool find(const struct stat& info, std::uint32_t* crc) const;
    void keep(const struct stat& info, std::uint32_t crc);
    size_t size() const { return crcs.size(); }

  private:
    size_t max_entries;
    std::unordered_map<file_version, std::uint32_t, file_version_hash> crcs;
};
