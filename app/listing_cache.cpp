#include "app/listing_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool write_whole(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// How long a page stays valid: a second, and longer for a large page, which
// took longer to build: about 10 s for the 25 MB of 200,000 entries.
long long valid_ms(size_t page_bytes) {
    return std::max(1000LL, static_cast<long long>(page_bytes / 2500));
}

}  // namespace

listing_cache::~listing_cache() {
    for (const kept_page& page : kept)
        close(page.fd);
}

listing_cache::kept_page* listing_cache::find(const std::string& key, const struct stat& dir_info,
                                              long long now_ms) {
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        if (it->key != key) continue;
        if (it->dev == dir_info.st_dev && it->ino == dir_info.st_ino &&
            same_time(it->modified, dir_info.st_mtim) && now_ms < it->valid_until_ms) {
            return &*it;
        }
        close(it->fd);
        kept.erase(it);
        return nullptr;
    }
    return nullptr;
}

void listing_cache::keep(kept_page page) {
    if (kept.size() >= max_pages) {
        close(kept.back().fd);
        kept.pop_back();
    }
    kept.push_front(std::move(page));
}

listing_page listing_cache::page(const std::string& dir, const std::string& url_path, bool json,
                                 const listing_options& options, long long now_ms) {
    listing_page result;
    struct stat dir_info {};
    if (stat(dir.c_str(), &dir_info) != 0) return result;
    // What makes two pages of one directory differ.
    const std::string key = dir + '\0' + (json ? std::string("json") : url_path) + '\0' +
                            (options.show_hidden ? 'h' : '-') + (options.upload_form ? 'u' : '-') +
                            (options.decoded_paths ? 'd' : '-');
    kept_page* found = find(key, dir_info, now_ms);
    if (found == nullptr) {
        std::string text;
        const bool listed = json ? write_listing_json(dir, options, &text)
                                 : write_listing(dir, url_path, options, &text);
        if (!listed) return result;
        result.listed = true;
        const int fd = memfd_create("listing", MFD_CLOEXEC);
        if (fd == -1) return result;
        if (!write_whole(fd, text)) {
            close(fd);
            return result;
        }
        keep({key, dir_info.st_dev, dir_info.st_ino, dir_info.st_mtim,
              now_ms + valid_ms(text.size()), fd});
        found = &kept.front();
    }
    result.listed = true;
    result.fd = fcntl(found->fd, F_DUPFD_CLOEXEC, 0);
    if (result.fd != -1 && fstat(result.fd, &result.info) != 0) {
        close(result.fd);
        result.fd = -1;
    }
    return result;
}
