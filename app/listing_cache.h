// Listing pages built once and shared: a page is written into a file in
// memory, and every reader that is sent it gets a descriptor of that one
// file, so that readers who stop reading cost no copy of their own.
//
// A page is kept for the directory it lists (its device and inode, however
// a client spelled the path that reached it) and the canonical path it is
// titled with, in one of its forms (the HTML page with its options, or
// JSON, or a search's). It stays valid while its directory is in the same state (not
// modified since: no entry added, removed or renamed) and for a short while
// after it was built: sizes and times of files written in place show within
// a second, or within 1 ms per 2.5 KB of page for a large one (about 10 s
// for 200,000 entries), so that a large directory is built a few times a
// minute however often it is asked for. A search page is kept for the
// same short while, though what it found below the directory may change
// meanwhile: a reader who asks again a second later walks again. The pages kept hold at most
// `max_bytes` together (the oldest goes first), and an expired page goes at
// the next look. A page a reader is still being sent stays whole until that
// reader is done, even when the cache has let it go.
//
// Given a work pool, a page is built on the pool's thread: the caller is
// told to wait for the build's ticket and asks again once it is done, and
// every reader that asks for the same page meanwhile waits for the same
// build. Without one it is built at once.
//
// Times are milliseconds of a monotonic clock, passed in by the caller.
#pragma once

#include <sys/stat.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "app/listing.h"
#include "app/work_pool.h"

// What the caller asks for: the directory `dir` (a file-system path ending
// in "/") titled `url_path` (the canonical request path, beginning and
// ending with "/"), as HTML with `options` or as JSON.
struct listing_request {
    std::string dir;
    std::string url_path;
    bool json = false;
    listing_options options;
    // Not empty: the page of a search for this text below `dir`, which
    // never leaves `root`.
    std::string search;
    std::string root;
};

// A new descriptor of the page that the caller owns, with what fstat says of
// it; or why there is none.
struct listing_page {
    bool listed = false;  // false: the directory could not be listed
    int fd = -1;          // -1: no page, or it could not be held in memory
    struct stat info {};
    std::shared_ptr<work_ticket> building;  // not null: ask again once it is done
    bool busy = false;                      // the pool's queue is full
};

class listing_cache {
  public:
    static constexpr size_t max_bytes = 64 << 20;

    listing_cache() = default;
    ~listing_cache();
    listing_cache(const listing_cache&) = delete;
    listing_cache& operator=(const listing_cache&) = delete;

    listing_page page(const listing_request& what, long long now_ms, work_pool* builds);

    size_t pages() const { return kept.size(); }
    size_t bytes() const { return kept_bytes; }

  private:
    // What tells two pages apart, and the state of the directory it lists.
    struct page_key {
        std::string form;  // the canonical path and the form of the page
        dev_t dev;
        ino_t ino;
        timespec modified;
        bool operator==(const page_key& other) const;
    };
    // A page, or what a build found: a directory that could not be listed
    // (kept a second, so that its readers are answered, not built for
    // again), or a page that could not be held in memory (fd -1).
    struct kept_page {
        page_key key;
        long long valid_until_ms;
        bool listed;
        int fd;
        size_t size;
    };
    // A page being built on the pool's thread, which writes the fields
    // below and then finishes the ticket. The page's descriptor is closed
    // with the build unless the cache took it.
    struct build : work_ticket {
        ~build();
        listing_request what;
        bool listed = false;
        int fd = -1;
        size_t size = 0;
    };
    struct pending {
        page_key key;
        std::shared_ptr<build> job;
    };

    std::list<kept_page> kept;  // newest first
    size_t kept_bytes = 0;
    std::vector<pending> building;

    static void run(build* job);
    void keep(const page_key& key, build* done, long long now_ms);
    void collect_builds(long long now_ms);
    void forget_expired(long long now_ms);
    void forget(std::list<kept_page>::iterator page);
    listing_page hand_out(const kept_page& page) const;
};
