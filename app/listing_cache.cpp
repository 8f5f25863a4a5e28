#include "app/listing_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "engine/platform.h"

namespace {

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// How long a page stays valid: a second, and longer for a large page, which
// took longer to build: about 10 s for the 25 MB of 200,000 entries.
long long valid_ms(size_t page_bytes) {
    return std::max(1000LL, static_cast<long long>(page_bytes / 2500));
}

// What makes two pages of one directory differ.
std::string form_of(const listing_request& what) {
    const listing_options& o = what.options;
    return what.url_path + '\0' + (what.json ? 'j' : 'h') + (o.show_hidden ? 'h' : '-') +
           (o.upload_form ? 'u' : '-') + (o.decoded_paths ? 'd' : '-') +
           static_cast<char>('0' + static_cast<int>(o.sort_by)) + (o.descending ? 'v' : '^') +
           (o.replace ? 'r' : '-') + (o.make_folders ? 'm' : '-') + (o.change ? 'c' : '-') + '\0' +
           what.search;
}

}  // namespace

bool listing_cache::page_key::operator==(const page_key& other) const {
    return form == other.form && dev == other.dev && ino == other.ino &&
           same_time(modified, other.modified);
}

listing_cache::~listing_cache() {
    for (const kept_page& page : kept) {
        if (page.fd != -1) close(page.fd);
    }
}

listing_cache::build::~build() {
    if (fd != -1) close(fd);
}

// Runs on the pool's thread: reads the directory and writes the page into a
// file in memory, touching nothing but the job.
void listing_cache::run(build* job) {
    std::string text;
    const listing_request& what = job->what;
    if (what.json) {
        job->listed = write_listing_json(what.dir, what.options, &text);
    } else if (!what.search.empty()) {
        job->listed = write_search(what.root, what.dir, what.url_path, what.search, what.options,
                                   search_limits(), &text);
    } else {
        job->listed = write_listing(what.dir, what.url_path, what.options, &text);
    }
    if (!job->listed) return;
    job->fd = memfd_create("listing", MFD_CLOEXEC);
    if (job->fd != -1 && write_whole(job->fd, text.data(), text.size()) != text.size()) {
        close(job->fd);
        job->fd = -1;
    }
    job->size = text.size();
}

void listing_cache::forget(std::list<kept_page>::iterator page) {
    if (page->fd != -1) close(page->fd);
    kept_bytes -= page->size;
    kept.erase(page);
}

void listing_cache::forget_expired(long long now_ms) {
    for (auto it = kept.begin(); it != kept.end();) {
        auto next = std::next(it);
        if (now_ms >= it->valid_until_ms) forget(it);
        it = next;
    }
}

// The cache takes the build's page; the oldest pages go to make room.
void listing_cache::keep(const page_key& key, build* done, long long now_ms) {
    for (auto old = kept.begin(); old != kept.end(); ++old) {
        if (old->key.form == key.form && old->key.dev == key.dev && old->key.ino == key.ino) {
            forget(old);
            break;
        }
    }
    while (!kept.empty() && kept_bytes + done->size > max_bytes)
        forget(std::prev(kept.end()));
    const long long valid = done->listed ? valid_ms(done->size) : 1000;
    kept.push_front({key, now_ms + valid, done->listed, done->fd, done->size});
    kept_bytes += done->size;
    done->fd = -1;
}

// Builds that are done become pages (the directory may have changed since:
// the key then no longer matches, and the page expires unused).
void listing_cache::collect_builds(long long now_ms) {
    for (auto it = building.begin(); it != building.end();) {
        if (!it->job->done()) {
            ++it;
            continue;
        }
        keep(it->key, it->job.get(), now_ms);
        it = building.erase(it);
    }
}

listing_page listing_cache::hand_out(const kept_page& page) const {
    listing_page result;
    result.listed = page.listed;
    if (page.fd == -1) return result;
    result.fd = fcntl(page.fd, F_DUPFD_CLOEXEC, 0);
    if (result.fd != -1 && fstat(result.fd, &result.info) != 0) {
        close(result.fd);
        result.fd = -1;
    }
    return result;
}

listing_page listing_cache::page(const listing_request& what, long long now_ms, work_pool* builds) {
    collect_builds(now_ms);
    forget_expired(now_ms);
    listing_page result;
    struct stat dir_info {};
    if (stat(what.dir.c_str(), &dir_info) != 0 || !S_ISDIR(dir_info.st_mode)) return result;
    const page_key key{form_of(what), dir_info.st_dev, dir_info.st_ino, dir_info.st_mtim};
    for (const kept_page& page : kept) {
        if (page.key == key) return hand_out(page);
    }
    for (const pending& waiting : building) {
        if (waiting.key == key) {
            result.building = waiting.job;
            return result;
        }
    }
    auto job = std::make_shared<build>();
    job->what = what;
    if (builds == nullptr) {
        run(job.get());
        job->finish();
    } else if (!builds->submit(job, [job] { run(job.get()); })) {
        result.busy = true;
        return result;
    }
    building.push_back({key, job});
    if (!job->done()) {
        result.building = std::move(job);
        return result;
    }
    collect_builds(now_ms);
    return hand_out(kept.front());
}
