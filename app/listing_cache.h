// Listing pages built once and shared: a page is written into a file in
// memory, and every reader that is sent it gets a descriptor of that one
// file, so that readers who stop reading cost no copy of their own.
//
// A page stays valid while its directory is in the same state (the same
// directory, not modified since: no entry added, removed or renamed) and for
// a short while after it was built: sizes and times of files written in
// place show within a second, or within 1 ms per 2.5 KB of page for a large
// one (about 10 s for 200,000 entries), so that a large directory is built a
// few times a minute however often it is asked for. At most
// `max_pages` pages are kept; the oldest goes first. A page a reader is
// still being sent stays whole until that reader is done, even when a newer
// one replaces it here.
//
// Times are milliseconds of a monotonic clock, passed in by the caller.
#pragma once

#include <sys/stat.h>

#include <list>
#include <string>

#include "app/listing.h"

// An open descriptor of a page, closed when its owner goes; and what fstat
// says of it.
struct listing_page {
    bool listed = false;  // false: the directory could not be listed
    int fd = -1;          // -1: no page, or it could not be held in memory
    struct stat info {};
};

class listing_cache {
  public:
    static constexpr size_t max_pages = 32;

    listing_cache() = default;
    ~listing_cache();
    listing_cache(const listing_cache&) = delete;
    listing_cache& operator=(const listing_cache&) = delete;

    // The page listing `dir` (a file-system path ending in "/") as the client
    // reached it at `url_path` (write_listing's arguments), or as JSON: a new
    // descriptor that the caller owns, with what fstat says of it.
    listing_page page(const std::string& dir, const std::string& url_path, bool json,
                      const listing_options& options, long long now_ms);

    size_t pages() const { return kept.size(); }

  private:
    struct kept_page {
        std::string key;
        dev_t dev;
        ino_t ino;
        timespec modified;
        long long valid_until_ms;
        int fd;
    };
    std::list<kept_page> kept;  // newest first

    kept_page* find(const std::string& key, const struct stat& dir_info, long long now_ms);
    void keep(kept_page page);
};
