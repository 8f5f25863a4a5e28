#include "app/zip_stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>
#include <vector>

#include "app/listing.h"

namespace {

constexpr std::uint32_t local_header_signature = 0x04034b50;
constexpr std::uint32_t descriptor_signature = 0x08074b50;
constexpr std::uint32_t central_header_signature = 0x02014b50;
constexpr std::uint32_t zip64_end_signature = 0x06064b50;
constexpr std::uint32_t zip64_locator_signature = 0x07064b50;
constexpr std::uint32_t end_signature = 0x06054b50;

constexpr std::uint16_t flag_descriptor = 1 << 3;  // the CRC-32 follows the bytes
constexpr std::uint16_t flag_utf8 = 1 << 11;
constexpr std::uint16_t version_plain = 20;     // 2.0: folders and stored files
constexpr std::uint16_t version_zip64 = 45;     // 4.5: ZIP64 fields
constexpr std::uint16_t made_on_unix = 3 << 8;  // external attributes hold a mode
constexpr std::uint16_t zip64_field_tag = 0x0001;
constexpr std::uint16_t timestamp_field_tag = 0x5455;  // "UT"
constexpr std::uint32_t value_in_zip64 = 0xFFFFFFFF;   // the field's value is in the ZIP64 field
constexpr std::uint16_t count_in_zip64 = 0xFFFF;

constexpr std::uint64_t local_header_bytes = 30;
constexpr std::uint64_t central_header_bytes = 46;
constexpr std::uint64_t field_head_bytes = 4;       // an extra field's tag and length
constexpr std::uint64_t timestamp_field_bytes = 9;  // head, flags, modification time
constexpr std::uint64_t zip64_end_bytes = 56;
constexpr std::uint64_t zip64_locator_bytes = 20;
constexpr std::uint64_t end_bytes = 22;
// An archive longer than this is refused: its length must fit a long long.
constexpr std::uint64_t length_max = std::uint64_t{1} << 62;

struct zip_entry {
    std::uint64_t size = 0;
    std::uint64_t offset = 0;  // of its local header
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::int64_t mtime = 0;
    std::uint32_t mtime_ns = 0;
    std::uint32_t name_at = 0;  // its name below the top folder, in the walk's names
    std::uint32_t crc = 0;      // known once its bytes have been read
    std::uint16_t name_length = 0;
    bool is_dir = false;
    bool executable = false;
};
static_assert(sizeof(zip_entry) <= 56, "the memory bound of an entry that the header states");

// What the walk found: the entries in the archive's order and their names.
struct catalogue {
    std::vector<zip_entry> entries;
    std::string names;
};

void put(std::string* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

struct dos_time {
    std::uint16_t time = 0;
    std::uint16_t date = (1 << 5) | 1;  // 1980-01-01, the earliest
};

// Local time, as archivers write it; held to the years the format can say.
dos_time dos_time_of(std::int64_t mtime) {
    const auto seconds = static_cast<time_t>(mtime);
    tm parts{};
    dos_time t;
    if (localtime_r(&seconds, &parts) == nullptr || parts.tm_year < 80) return t;
    if (parts.tm_year > 207) {
        t.date = (127 << 9) | (12 << 5) | 31;
        t.time = (23 << 11) | (59 << 5) | 29;
        return t;
    }
    t.date = static_cast<std::uint16_t>(((parts.tm_year - 80) << 9) | ((parts.tm_mon + 1) << 5) |
                                        parts.tm_mday);
    t.time = static_cast<std::uint16_t>((parts.tm_hour << 11) | (parts.tm_min << 5) |
                                        std::min(parts.tm_sec, 59) / 2);
    return t;
}

// The extended timestamp holds a signed 32-bit count of seconds; readers
// differ on times before 1970.
bool has_timestamp(const zip_entry& e) {
    return e.mtime >= 0 && e.mtime <= INT32_MAX;
}

bool same_file(const struct stat& info, const zip_entry& e) {
    return S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_dev) == e.dev &&
           static_cast<std::uint64_t>(info.st_ino) == e.ino &&
           static_cast<std::uint64_t>(info.st_size) == e.size && info.st_mtim.tv_sec == e.mtime &&
           static_cast<std::uint32_t>(info.st_mtim.tv_nsec) == e.mtime_ns;
}

// ---------------------------------------------------------------------------
// The walk

class folder_walk {
  public:
    folder_walk(const zip_folder& folder, const zip_limits& limits, catalogue* found)
        : folder(folder), limits(limits), found(found) {}

    zip_walk run() {
        char real[PATH_MAX];
        if (realpath(folder.root.empty() ? "." : folder.root.c_str(), real) == nullptr)
            return zip_walk::not_found;
        real_root = real;
        if (real_root.back() != '/') real_root += '/';
        struct stat info {};
        if (!beneath_root(folder.dir) || stat(folder.dir.c_str(), &info) != 0 ||
            !S_ISDIR(info.st_mode) || !add("", info)) {
            return zip_walk::not_found;
        }
        to_visit.push_back(waiting_dir{0, no_parent});
        while (!to_visit.empty()) {
            const waiting_dir next = to_visit.back();
            to_visit.pop_back();
            const zip_walk outcome = visit(next);
            if (outcome != zip_walk::made) return outcome;
        }
        return zip_walk::made;
    }

  private:
    static constexpr size_t no_parent = SIZE_MAX;

    struct waiting_dir {
        size_t entry;   // its entry, already in the catalogue
        size_t parent;  // in `visited`
    };
    struct visited_dir {
        std::uint64_t dev;
        std::uint64_t ino;
        size_t parent;
    };

    const zip_folder& folder;
    const zip_limits& limits;
    catalogue* found;
    std::string real_root;  // ends in "/"
    std::vector<waiting_dir> to_visit;
    std::vector<visited_dir> visited;

    std::string_view name_of(const zip_entry& e) const {
        return std::string_view(found->names).substr(e.name_at, e.name_length);
    }

    bool beneath_root(const std::string& path) const {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real) == nullptr) return false;
        const std::string resolved = std::string(real) + "/";
        return resolved.compare(0, real_root.size(), real_root) == 0;
    }

    // Whether a folder is the one at `node` or one that holds it.
    bool leads_back(size_t node, const struct stat& info) const {
        for (size_t at = node; at != no_parent; at = visited[at].parent) {
            if (visited[at].dev == static_cast<std::uint64_t>(info.st_dev) &&
                visited[at].ino == static_cast<std::uint64_t>(info.st_ino))
                return true;
        }
        return false;
    }

    // Adds an entry named `rel` below the folder (a folder's ends in "/");
    // false when the limits are reached. Names are shorter than PATH_MAX
    // and NAME_MAX together, far below the 65,535 bytes a header holds.
    bool add(const std::string& rel, const struct stat& info) {
        if (found->entries.size() >= limits.entries_max ||
            found->names.size() + rel.size() > limits.name_bytes_max) {
            return false;
        }
        zip_entry e;
        e.is_dir = S_ISDIR(info.st_mode);
        e.size = e.is_dir ? 0 : static_cast<std::uint64_t>(info.st_size);
        e.dev = static_cast<std::uint64_t>(info.st_dev);
        e.ino = static_cast<std::uint64_t>(info.st_ino);
        e.mtime = info.st_mtim.tv_sec;
        e.mtime_ns = static_cast<std::uint32_t>(info.st_mtim.tv_nsec);
        e.executable = (info.st_mode & S_IXUSR) != 0;
        e.name_at = static_cast<std::uint32_t>(found->names.size());
        e.name_length = static_cast<std::uint16_t>(rel.size());
        found->names += rel;
        found->entries.push_back(e);
        return true;
    }

    // The entries of a folder: its files, then its folders, each in byte
    // order of names; its folders wait their turn. A folder that cannot be
    // read fails the walk, as it fails its listing.
    zip_walk visit(const waiting_dir& dir) {
        const std::string rel(name_of(found->entries[dir.entry]));
        const std::string path = folder.dir + rel;
        std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(path.c_str()), closedir);
        if (!handle) return zip_walk::not_found;
        const zip_entry& self = found->entries[dir.entry];
        const size_t node = visited.size();
        visited.push_back(visited_dir{self.dev, self.ino, dir.parent});
        const size_t first = found->entries.size();
        const int dir_fd = dirfd(handle.get());
        for (;;) {
            errno = 0;  // readdir tells the end from a failure only through errno
            const dirent* entry = readdir(handle.get());
            if (entry == nullptr) {
                if (errno != 0) return zip_walk::not_found;
                break;
            }
            struct stat info {};
            if (!archived(dir_fd, path, *entry, &info)) continue;
            const bool is_dir = S_ISDIR(info.st_mode);
            if (is_dir && leads_back(node, info)) continue;
            if (!add(rel + entry->d_name + (is_dir ? "/" : ""), info)) return zip_walk::too_large;
        }
        std::vector<zip_entry>& entries = found->entries;
        std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
                  [this](const zip_entry& a, const zip_entry& b) {
                      if (a.is_dir != b.is_dir) return b.is_dir;
                      return name_of(a) < name_of(b);  // char_traits compares unsigned bytes
                  });
        // Taken from the back: the first name is visited first.
        for (size_t at = entries.size(); at > first && entries[at - 1].is_dir; --at)
            to_visit.push_back(waiting_dir{at - 1, node});
        return zip_walk::made;
    }

    // Whether an entry of a folder goes into the archive, with what it is
    // (a link followed).
    bool archived(int dir_fd, const std::string& path, const dirent& entry, struct stat* info) {
        const char* name = entry.d_name;
        if (name[0] == '.') {
            const bool dot_or_dot_dot = name[1] == '\0' || (name[1] == '.' && name[2] == '\0');
            if (dot_or_dot_dot || !folder.show_hidden) return false;
        }
        if (entry.d_type == DT_LNK || entry.d_type == DT_UNKNOWN) {
            struct stat own {};
            if (fstatat(dir_fd, name, &own, AT_SYMLINK_NOFOLLOW) != 0) return false;
            if (S_ISLNK(own.st_mode) && !beneath_root(path + name)) return false;
        }
        if (fstatat(dir_fd, name, info, 0) != 0) return false;
        const int needed = S_ISDIR(info->st_mode) ? R_OK | X_OK : R_OK;
        if (!S_ISDIR(info->st_mode) && !S_ISREG(info->st_mode)) return false;
        return faccessat(dir_fd, name, needed, AT_EACCESS) == 0;
    }
};

// ---------------------------------------------------------------------------
// The archive

class zip_source : public body_source {
  public:
    zip_source(const zip_folder& folder, const zip_limits& limits, catalogue found)
        : dir(folder.dir),
          top(folder.name + "/"),
          limits(limits),
          known_crcs(limits.file_ranges ? folder.known_crcs : nullptr),
          entries(std::move(found.entries)),
          names(std::move(found.names)) {}
    ~zip_source() override {
        if (fd != -1) close(fd);
    }

    // Gives every entry its offset; false when the archive would be too long.
    bool lay_out() {
        std::uint64_t at = 0;
        for (zip_entry& e : entries) {
            e.offset = at;
            at += local_header_length(e) + e.size + descriptor_length(e);
            if (at > length_max) return false;
        }
        central_offset = at;
        for (const zip_entry& e : entries)
            at += central_header_length(e);
        central_size = at - central_offset;
        if (end_in_zip64()) at += zip64_end_bytes + zip64_locator_bytes;
        total = at + end_bytes;
        return total <= length_max;
    }

    long long length() const override { return static_cast<long long>(total); }

    file_range take_file_range() override { return std::exchange(ranged, file_range{}); }

    long long produce(char* buffer, size_t room) override {
        size_t made = 0;
        int opened = 0;
        while (made < room) {
            if (pending_at < pending.size()) {
                const size_t n = std::min(room - made, pending.size() - pending_at);
                memcpy(buffer + made, pending.data() + pending_at, n);
                pending_at += n;
                made += n;
                continue;
            }
            if (fd != -1) {
                if (limits.file_ranges && read_of_file < entries[next].size) {
                    // The file's next bytes go from the file itself.
                    if (!range_from_file()) return -1;
                    break;
                }
                const long long n = read_file(buffer + made, room - made);
                if (n < 0) return -1;
                made += static_cast<size_t>(n);
                continue;
            }
            if (step == steps::done) break;
            if (step == steps::local && next < entries.size() && !entries[next].is_dir &&
                opened == limits.files_per_piece) {
                break;
            }
            if (!next_record(&opened)) return -1;
        }
        return static_cast<long long>(made);
    }

  private:
    enum class steps { local, central, done };

    const std::string dir;
    const std::string top;  // the folder's name and "/"
    const zip_limits limits;
    crc_cache* const known_crcs;
    std::vector<zip_entry> entries;
    const std::string names;
    std::uint64_t central_offset = 0;
    std::uint64_t central_size = 0;
    std::uint64_t total = 0;

    steps step = steps::local;
    size_t next = 0;  // the entry whose record comes next
    std::string pending;
    size_t pending_at = 0;
    int fd = -1;  // the file whose bytes are being read
    std::uint64_t read_of_file = 0;
    uLong crc = 0;
    struct stat opened {};       // the file as it was when opened
    bool crc_known = false;      // its CRC-32 came from `known_crcs`
    file_range ranged;           // the range offered after the last produce()
    std::vector<char> crc_view;  // where a range's bytes are read for their CRC-32

    std::string name_of(const zip_entry& e) const {
        return top + names.substr(e.name_at, e.name_length);
    }
    bool sizes_in_zip64(const zip_entry& e) const { return e.size >= limits.field_max; }
    bool offset_in_zip64(const zip_entry& e) const { return e.offset >= limits.field_max; }
    bool end_in_zip64() const {
        return entries.size() >= limits.count_max || central_offset >= limits.field_max ||
               central_size >= limits.field_max;
    }
    std::uint16_t flags_of(const zip_entry& e) const {
        const std::uint16_t utf8 = is_well_formed_utf8(name_of(e)) ? flag_utf8 : 0;
        return e.is_dir ? utf8 : static_cast<std::uint16_t>(utf8 | flag_descriptor);
    }
    std::uint16_t version_of(const zip_entry& e) const {
        return sizes_in_zip64(e) || offset_in_zip64(e) ? version_zip64 : version_plain;
    }

    std::uint64_t local_header_length(const zip_entry& e) const {
        return local_header_bytes + top.size() + e.name_length +
               (sizes_in_zip64(e) ? field_head_bytes + 16 : 0) +
               (has_timestamp(e) ? timestamp_field_bytes : 0);
    }
    std::uint64_t descriptor_length(const zip_entry& e) const {
        if (e.is_dir) return 0;
        return sizes_in_zip64(e) ? 24 : 16;
    }
    std::uint64_t zip64_central_values(const zip_entry& e) const {
        return (sizes_in_zip64(e) ? 16 : 0) + (offset_in_zip64(e) ? 8 : 0);
    }
    std::uint64_t central_header_length(const zip_entry& e) const {
        const std::uint64_t zip64 = zip64_central_values(e);
        return central_header_bytes + top.size() + e.name_length +
               (zip64 > 0 ? field_head_bytes + zip64 : 0) +
               (has_timestamp(e) ? timestamp_field_bytes : 0);
    }

    // Queues the next record, opening the file whose bytes follow it.
    bool next_record(int* opened) {
        pending.clear();
        pending_at = 0;
        if (step == steps::central) {
            if (next == entries.size()) {
                pending = end_records();
                step = steps::done;
            } else {
                pending = central_header(entries[next++]);
            }
            return true;
        }
        if (next == entries.size()) {
            step = steps::central;
            next = 0;
            return true;
        }
        const zip_entry& e = entries[next];
        pending = local_header(e);
        if (e.is_dir) {
            ++next;
            return true;
        }
        ++*opened;
        return open_file(e);
    }

    // Opens the file the walk saw, and no other.
    bool open_file(const zip_entry& e) {
        const std::string path = dir + names.substr(e.name_at, e.name_length);
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd == -1 || fstat(fd, &opened) != 0 || !same_file(opened, e)) return false;
        read_of_file = 0;
        crc = crc32(0, nullptr, 0);
        std::uint32_t known = 0;
        crc_known = known_crcs != nullptr && known_crcs->find(opened, &known);
        if (crc_known) crc = known;
        return true;
    }

    // The file's next bytes; once all have been read, and the file is still
    // what the walk saw, its data descriptor is queued. -1 when it is not.
    long long read_file(char* into, size_t room) {
        zip_entry& e = entries[next];
        const std::uint64_t left = e.size - read_of_file;
        if (left == 0) {
            struct stat info {};
            if (fstat(fd, &info) != 0 || !same_file(info, e) ||
                info.st_ctim.tv_sec != opened.st_ctim.tv_sec ||
                info.st_ctim.tv_nsec != opened.st_ctim.tv_nsec) {
                return -1;
            }
            if (known_crcs != nullptr && !crc_known)
                known_crcs->keep(info, static_cast<std::uint32_t>(crc));
            close(fd);
            fd = -1;
            e.crc = static_cast<std::uint32_t>(crc);
            pending = descriptor(e);
            pending_at = 0;
            ++next;
            return 0;
        }
        const size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, room));
        const ssize_t n = pread(fd, into, want, static_cast<off_t>(read_of_file));
        if (n <= 0) return -1;  // it failed, or ended before the size the walk saw
        crc = crc32(crc, reinterpret_cast<const Bytef*>(into), static_cast<uInt>(n));
        read_of_file += static_cast<std::uint64_t>(n);
        return n;
    }

    // Offers the file's next bytes as a range: all the rest when its CRC-32
    // is known, otherwise at most `file_range_max` bytes, added to its CRC-32
    // as they are now; false when it ends before the size the walk saw. A
    // change between this read and the send is caught by the file's check
    // after its last range, as a change between two reads is.
    bool range_from_file() {
        const zip_entry& e = entries[next];
        if (crc_known) {
            ranged = {fd, static_cast<off_t>(read_of_file),
                      static_cast<off_t>(e.size - read_of_file)};
            read_of_file = e.size;
            return true;
        }
        const std::uint64_t length = std::min(e.size - read_of_file, limits.file_range_max);
        crc_view.resize(std::min<std::uint64_t>(length, 64 * 1024));
        for (std::uint64_t done = 0; done < length;) {
            const size_t want =
                static_cast<size_t>(std::min<std::uint64_t>(length - done, crc_view.size()));
            const ssize_t n =
                pread(fd, crc_view.data(), want, static_cast<off_t>(read_of_file + done));
            if (n <= 0) return false;
            crc = crc32(crc, reinterpret_cast<const Bytef*>(crc_view.data()), static_cast<uInt>(n));
            done += static_cast<std::uint64_t>(n);
        }
        ranged = {fd, static_cast<off_t>(read_of_file), static_cast<off_t>(length)};
        read_of_file += length;
        return true;
    }

    void put_timestamp(const zip_entry& e, std::string* out) const {
        if (!has_timestamp(e)) return;
        put(out, timestamp_field_tag, 2);
        put(out, 5, 2);
        put(out, 1, 1);  // the modification time only
        put(out, static_cast<std::uint64_t>(e.mtime), 4);
    }

    // The header before an entry's bytes. Their CRC-32 follows them in the
    // data descriptor; their size is known already and given here too, for
    // readers that go through an archive without its central directory.
    std::string local_header(const zip_entry& e) const {
        const bool zip64 = sizes_in_zip64(e);
        const dos_time t = dos_time_of(e.mtime);
        const std::string name = name_of(e);
        std::string h;
        put(&h, local_header_signature, 4);
        put(&h, version_of(e), 2);
        put(&h, flags_of(e), 2);
        put(&h, 0, 2);  // stored
        put(&h, t.time, 2);
        put(&h, t.date, 2);
        put(&h, 0, 4);  // the CRC-32, in the data descriptor
        put(&h, zip64 ? value_in_zip64 : e.size, 4);
        put(&h, zip64 ? value_in_zip64 : e.size, 4);
        put(&h, name.size(), 2);
        put(&h, local_header_length(e) - local_header_bytes - name.size(), 2);
        h += name;
        if (zip64) {
            put(&h, zip64_field_tag, 2);
            put(&h, 16, 2);
            put(&h, e.size, 8);
            put(&h, e.size, 8);
        }
        put_timestamp(e, &h);
        return h;
    }

    std::string descriptor(const zip_entry& e) const {
        const int size_bytes = sizes_in_zip64(e) ? 8 : 4;
        std::string d;
        put(&d, descriptor_signature, 4);
        put(&d, e.crc, 4);
        put(&d, e.size, size_bytes);
        put(&d, e.size, size_bytes);
        return d;
    }

    std::string central_header(const zip_entry& e) const {
        const bool zip64_sizes = sizes_in_zip64(e);
        const bool zip64_offset = offset_in_zip64(e);
        const dos_time t = dos_time_of(e.mtime);
        const std::string name = name_of(e);
        const std::uint64_t mode =
            e.is_dir ? (S_IFDIR | 0755) : (S_IFREG | (e.executable ? 0755 : 0644));
        const std::uint64_t msdos_directory = e.is_dir ? 0x10 : 0;
        std::string h;
        put(&h, central_header_signature, 4);
        put(&h, made_on_unix | version_zip64, 2);
        put(&h, version_of(e), 2);
        put(&h, flags_of(e), 2);
        put(&h, 0, 2);  // stored
        put(&h, t.time, 2);
        put(&h, t.date, 2);
        put(&h, e.crc, 4);
        put(&h, zip64_sizes ? value_in_zip64 : e.size, 4);
        put(&h, zip64_sizes ? value_in_zip64 : e.size, 4);
        put(&h, name.size(), 2);
        put(&h, central_header_length(e) - central_header_bytes - name.size(), 2);
        put(&h, 0, 2);  // no comment
        put(&h, 0, 2);  // the first disk
        put(&h, 0, 2);  // internal attributes: nothing is said of the bytes
        put(&h, (mode << 16) | msdos_directory, 4);
        put(&h, zip64_offset ? value_in_zip64 : e.offset, 4);
        h += name;
        if (zip64_sizes || zip64_offset) {
            put(&h, zip64_field_tag, 2);
            put(&h, zip64_central_values(e), 2);
            if (zip64_sizes) {
                put(&h, e.size, 8);
                put(&h, e.size, 8);
            }
            if (zip64_offset) put(&h, e.offset, 8);
        }
        put_timestamp(e, &h);
        return h;
    }

    std::string end_records() const {
        std::string r;
        const std::uint64_t count = entries.size();
        if (end_in_zip64()) {
            const std::uint64_t zip64_end_offset = central_offset + central_size;
            put(&r, zip64_end_signature, 4);
            put(&r, zip64_end_bytes - 12, 8);  // what follows this field
            put(&r, made_on_unix | version_zip64, 2);
            put(&r, version_zip64, 2);
            put(&r, 0, 4);  // this disk
            put(&r, 0, 4);  // the disk of the central directory
            put(&r, count, 8);
            put(&r, count, 8);
            put(&r, central_size, 8);
            put(&r, central_offset, 8);
            put(&r, zip64_locator_signature, 4);
            put(&r, 0, 4);  // the disk of the ZIP64 end record
            put(&r, zip64_end_offset, 8);
            put(&r, 1, 4);  // disks in all
        }
        const bool count_zip64 = count >= limits.count_max;
        put(&r, end_signature, 4);
        put(&r, 0, 2);
        put(&r, 0, 2);
        put(&r, count_zip64 ? count_in_zip64 : count, 2);
        put(&r, count_zip64 ? count_in_zip64 : count, 2);
        put(&r, central_size >= limits.field_max ? value_in_zip64 : central_size, 4);
        put(&r, central_offset >= limits.field_max ? value_in_zip64 : central_offset, 4);
        put(&r, 0, 2);  // no comment
        return r;
    }
};

}  // namespace

zip_walk walk_for_zip(const zip_folder& folder, const zip_limits& limits,
                      std::unique_ptr<body_source>* stream) {
    catalogue found;
    const zip_walk outcome = folder_walk(folder, limits, &found).run();
    if (outcome != zip_walk::made) return outcome;
    auto source = std::make_unique<zip_source>(folder, limits, std::move(found));
    if (!source->lay_out()) return zip_walk::too_large;
    *stream = std::move(source);
    return zip_walk::made;
}
