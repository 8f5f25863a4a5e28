#include "app/open_file_cache.h"

open_file open_file_cache::find(const std::string& name, struct stat* info) {
    const auto found = kept.find(name);
    if (found == kept.end()) return open_file();
    if (stat(name.c_str(), info) != 0 || found->second.version != file_version::of(*info)) {
        kept.erase(found);
        return open_file();
    }
    found->second.last_use = ++uses;
    return found->second.file.share();
}

void open_file_cache::keep(const std::string& name, const open_file& file,
                           const struct stat& info) {
    if (capacity == 0 || file.get() == -1 || !S_ISREG(info.st_mode) || info.st_size > largest_kept)
        return;
    if (kept.size() >= capacity && !kept.contains(name)) forget_least_recently_used();
    kept[name] = entry{file.share(), file_version::of(info), ++uses};
}

// A scan of at most `capacity` entries, only when one more is to be kept.
void open_file_cache::forget_least_recently_used() {
    auto oldest = kept.begin();
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        if (it->second.last_use < oldest->second.last_use) oldest = it;
    }
    if (oldest != kept.end()) kept.erase(oldest);
}
