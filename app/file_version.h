// One version of a file, as stat() sees it: device, inode, size, and the
// modification and status-change times to the nanosecond. Any write, rename
// over, chmod or chown changes the status-change time, which no caller can
// set back, so two equal versions are the same file with the same bytes
// and rights as far as the kernel tells.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>

struct file_version {
    std::uint64_t dev = 0, ino = 0, size = 0;
    std::int64_t mtime = 0, mtime_ns = 0, ctime = 0, ctime_ns = 0;
    bool operator==(const file_version&) const = default;

    static file_version of(const struct stat& info) {
        return {static_cast<std::uint64_t>(info.st_dev),
                static_cast<std::uint64_t>(info.st_ino),
                static_cast<std::uint64_t>(info.st_size),
                info.st_mtim.tv_sec,
                info.st_mtim.tv_nsec,
                info.st_ctim.tv_sec,
                info.st_ctim.tv_nsec};
    }
};

struct file_version_hash {
    size_t operator()(const file_version& v) const {
        const std::hash<std::uint64_t> h;
        size_t seed = h(v.ino);
        for (std::uint64_t part : {v.dev, v.size, static_cast<std::uint64_t>(v.mtime_ns),
                                   static_cast<std::uint64_t>(v.ctime_ns)})
            seed ^= h(part) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
        return seed;
    }
};
