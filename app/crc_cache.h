// The CRC-32s of files archived before, so that a folder downloaded again
// as a ZIP sends its files from the page cache without reading them.
//
// A CRC is kept for a file as fstat() saw it: device, inode, size, and the
// modification and status-change times to the nanosecond. A write to the
// file changes its status-change time, which no caller can set back, so a
// file that has changed in any way is never given its old CRC. At most
// `max_entries` are kept; one more empties the cache. Only the thread that
// polls uses it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

class crc_cache {
  public:
    explicit crc_cache(size_t max_entries = 100000) : max_entries(max_entries) {}

    // The CRC-32 kept for the file `info` describes, if any.
    bool find(const struct stat& info, std::uint32_t* crc) const;
    void keep(const struct stat& info, std::uint32_t crc);
    size_t size() const { return crcs.size(); }

  private:
    struct key {
        std::uint64_t dev, ino, size;
        std::int64_t mtime, mtime_ns, ctime, ctime_ns;
        bool operator==(const key&) const = default;
    };
    struct key_hash {
        size_t operator()(const key& k) const;
    };
    static key key_of(const struct stat& info);

    size_t max_entries;
    std::unordered_map<key, std::uint32_t, key_hash> crcs;
};
