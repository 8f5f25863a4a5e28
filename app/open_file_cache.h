// Small files served recently, kept open, so that a file asked for again is
// looked at by name (one stat) instead of being opened, looked at and closed
// once more.
//
// A kept file is handed out only while its name still leads to the same
// version of it (app/file_version.h): a file replaced, renamed over, written
// or given other rights is opened anew. Reads through a kept descriptor see
// the file's bytes as they are now, so nothing served is stale. Only regular
// files up to `largest_kept` bytes are kept, so files deleted while kept
// hold little disk space; at most `capacity` are kept, the least recently
// used going first, and 0 keeps none. Only the thread that polls uses it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "app/file_version.h"
#include "app/open_file.h"

class open_file_cache {
  public:
    static constexpr off_t largest_kept = 64 * 1024;

    explicit open_file_cache(size_t capacity = 0) : capacity(capacity) {}

    // Looks at `name` (stat): the kept file it leads to, described in
    // `info`, while it is that file unchanged. Otherwise an empty open_file,
    // and a file kept by that name is forgotten.
    open_file find(const std::string& name, struct stat* info);
    // Keeps `file`, opened by `name` and described by `info`, if it may be kept.
    void keep(const std::string& name, const open_file& file, const struct stat& info);
    size_t size() const { return kept.size(); }

  private:
    struct entry {
        open_file file;
        file_version version;
        std::uint64_t last_use = 0;
    };
    void forget_least_recently_used();

    size_t capacity;
    std::uint64_t uses = 0;
    std::unordered_map<std::string, entry> kept;
};
