// A folder's ZIP archive, made from a real temporary folder and read back by
// a reader of the format written here: every offset, size, CRC-32 (through
// zlib), name, flag and time of the central directory against the local
// headers, the bytes and the data descriptors.
#include "app/zip_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/responder.h"

namespace {

namespace fs = std::filesystem;

const time_t fixed_mtime = 1700000000;  // 2023-11-14 22:13:20 UTC

// ---------------------------------------------------------------------------
// A reader of archives

struct read_entry {
    std::string name;
    std::uint16_t flags = 0;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
    std::uint32_t mode = 0;  // from the external attributes
    std::uint16_t dos_time = 0;
    std::uint16_t dos_date = 0;
    long long timestamp = -1;  // of the extended timestamp field; -1: none
    bool zip64_sizes = false;
    bool zip64_offset = false;
    std::string data;
};

struct read_archive {
    std::vector<read_entry> entries;
    bool zip64_end = false;
    std::string error;  // empty: every record agrees with every other
};

// Little-endian fields of `bytes` from `at`; `failed` once one lies past the end.
struct fields {
    const std::string& bytes;
    std::uint64_t at;
    bool failed = false;

    std::uint64_t take(int length) {
        if (at + static_cast<std::uint64_t>(length) > bytes.size()) {
            failed = true;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = length - 1; i >= 0; --i)
            value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
        at += static_cast<std::uint64_t>(length);
        return value;
    }
    std::string text(std::uint64_t length) {
        if (at + length > bytes.size()) {
            failed = true;
            return "";
        }
        at += length;
        return bytes.substr(at - length, length);
    }
};

// The extra fields of a central header: ZIP64 values stand in for the
// fields that hold 0xFFFFFFFF, in their order.
void read_central_extra(const std::string& extra, read_entry* e) {
    fields f{extra, 0};
    while (f.at < extra.size() && !f.failed) {
        const auto tag = f.take(2);
        const auto length = f.take(2);
        fields value{extra, f.at};
        if (tag == 0x0001) {
            if (e->zip64_sizes) {
                e->size = value.take(8);
                if (value.take(8) != e->size) e->size = ~0ull;
            }
            if (e->zip64_offset) e->offset = value.take(8);
        } else if (tag == 0x5455 && value.take(1) == 1) {
            e->timestamp = static_cast<long long>(value.take(4));
        }
        f.at += length;
    }
}

std::string check_local(const std::string& zip, read_entry* e, std::uint64_t* end) {
    fields f{zip, e->offset};
    if (f.take(4) != 0x04034b50) return "no local header at " + std::to_string(e->offset);
    f.take(2);
    if (f.take(2) != e->flags) return e->name + ": flags differ from the central header's";
    if (f.take(2) != 0) return e->name + ": not stored";
    if (f.take(2) != e->dos_time || f.take(2) != e->dos_date) return e->name + ": times differ";
    f.take(4);
    const auto local_size = f.take(4);
    const bool zip64 = local_size == 0xFFFFFFFF;
    if (f.take(4) != local_size || (!zip64 && local_size != e->size))
        return e->name + ": local sizes differ";
    const auto name_length = f.take(2);
    const auto extra_length = f.take(2);
    if (f.text(name_length) != e->name) return e->name + ": local name differs";
    f.at += extra_length;
    e->data = f.text(e->size);
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(e->data.data()), static_cast<uInt>(e->data.size()));
    if (crc != e->crc) return e->name + ": CRC-32 differs from its bytes'";
    if (e->flags & 0x0008) {
        const int size_bytes = zip64 ? 8 : 4;
        if (f.take(4) != 0x08074b50 || f.take(4) != e->crc || f.take(size_bytes) != e->size ||
            f.take(size_bytes) != e->size)
            return e->name + ": data descriptor differs";
    }
    *end = f.at;
    return f.failed ? e->name + ": past the end" : "";
}

read_archive read_zip(const std::string& zip) {
    read_archive archive;
    const std::uint64_t end_at = zip.size() < 22 ? 0 : zip.size() - 22;
    fields end{zip, end_at};
    if (end.take(4) != 0x06054b50) return {{}, false, "no end record"};
    end.take(4);
    std::uint64_t count = end.take(2);
    end.take(2);
    std::uint64_t central_size = end.take(4);
    std::uint64_t central_offset = end.take(4);
    std::uint64_t central_end = end_at;
    fields locator{zip, end_at >= 20 ? end_at - 20 : 0};
    if (end_at >= 20 && locator.take(4) == 0x07064b50) {
        locator.take(4);
        central_end = locator.take(8);
        fields zip64{zip, central_end};
        if (zip64.take(4) != 0x06064b50) return {{}, false, "no ZIP64 end record"};
        zip64.take(8 + 2 + 2 + 4 + 4 + 8);
        count = zip64.take(8);
        central_size = zip64.take(8);
        central_offset = zip64.take(8);
        archive.zip64_end = true;
    }
    if (central_offset + central_size != central_end) return {{}, false, "central size"};
    fields f{zip, central_offset};
    std::uint64_t next_local = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        read_entry e;
        if (f.take(4) != 0x02014b50) return {{}, false, "central header " + std::to_string(i)};
        f.take(4);
        e.flags = static_cast<std::uint16_t>(f.take(2));
        if (f.take(2) != 0) return {{}, false, "not stored"};
        e.dos_time = static_cast<std::uint16_t>(f.take(2));
        e.dos_date = static_cast<std::uint16_t>(f.take(2));
        e.crc = static_cast<std::uint32_t>(f.take(4));
        e.size = f.take(4);
        e.zip64_sizes = f.take(4) == 0xFFFFFFFF;
        const auto name_length = f.take(2);
        const auto extra_length = f.take(2);
        f.take(2 + 2 + 2);
        e.mode = static_cast<std::uint32_t>(f.take(4) >> 16);
        e.offset = f.take(4);
        e.zip64_offset = e.offset == 0xFFFFFFFF;
        e.name = f.text(name_length);
        read_central_extra(f.text(extra_length), &e);
        if (f.failed) return {{}, false, "central directory past the end"};
        if (e.offset != next_local) return {{}, false, e.name + ": not where the last entry ended"};
        archive.error = check_local(zip, &e, &next_local);
        if (!archive.error.empty()) return archive;
        archive.entries.push_back(std::move(e));
    }
    if (next_local != central_offset) archive.error = "entries do not end at the central directory";
    if (f.at != central_end) archive.error = "central directory of another length";
    return archive;
}

std::vector<std::string> names_of(const read_archive& archive) {
    std::vector<std::string> names;
    for (const read_entry& e : archive.entries)
        names.push_back(e.name);
    return names;
}

// ---------------------------------------------------------------------------
// Folders

void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void set_mtime(const fs::path& path) {
    const timespec times[2] = {{fixed_mtime, 0}, {fixed_mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string pseudo_random_bytes(size_t length) {
    std::string bytes(length, '\0');
    std::uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245 + 12345;
        c = static_cast<char>(state >> 16);
    }
    return bytes;
}

const std::string big_bytes = pseudo_random_bytes(100000);

class ZipStream : public ::testing::Test {
  protected:
    void SetUp() override {
        // DOS times are local times: the ones expected here are UTC's.
        setenv("TZ", "UTC", 1);
        tzset();
        base = fs::temp_directory_path() / ("websrv-zip-" + std::to_string(getpid()));
        root = base / "served";
        share = root / "share";
        fs::create_directories(share / "sub" / "deeper");
        fs::create_directories(share / "void");
        fs::create_directories(share / ".git");
        fs::create_directories(root / "other");
        fs::create_directories(base / "outside");
        write(share / "a.txt", "hello\n");
        write(share / "empty.txt", "");
        write(share / "run.sh", "#!/bin/sh\n");
        fs::permissions(share / "run.sh", fs::perms(0755));
        write(share / "\xC3\xA9t\xC3\xA9.txt", "utf-8");
        write(share / "\xFF.bin", "not a UTF-8 name");
        write(share / "sub" / "b.bin", big_bytes);
        write(share / "sub" / "deeper" / "c.txt", "c");
        write(share / ".hidden", "secret");
        write(share / ".git" / "config", "secret");
        write(root / "other" / "o.txt", "beside");
        write(base / "outside" / "secret.txt", "outside");
        fs::create_symlink("sub/b.bin", share / "inside-link");
        fs::create_directory_symlink("../other", share / "other-link");
        fs::create_symlink(base / "outside" / "secret.txt", share / "out-link");
        fs::create_directory_symlink(base / "outside", share / "out-dir");
        fs::create_symlink("nowhere", share / "broken");
        fs::create_directory_symlink(".", share / "loop");
        fs::create_directory_symlink("..", share / "sub" / "up");
        mkfifo((share / "pipe").c_str(), 0644);
        for (const auto& found : fs::recursive_directory_iterator(root))
            set_mtime(found.path());
        set_mtime(root);
    }
    void TearDown() override { fs::remove_all(base); }

    zip_folder folder_of(const fs::path& dir) const {
        zip_folder folder;
        folder.root = root.string() + "/";
        folder.dir = dir.string() + "/";
        folder.name = dir.filename().string();
        return folder;
    }

    // The whole archive in pieces of `room`, checked against its announced
    // length; "walk failed" or "produce failed" when it could not be made.
    static std::string archive(const zip_folder& folder, const zip_limits& limits = {},
                               size_t room = 4096) {
        std::unique_ptr<body_source> source;
        if (walk_for_zip(folder, limits, &source) != zip_walk::made) return "walk failed";
        const std::string zip = body_of(*source, room);
        if (zip != "produce failed") {
            EXPECT_EQ(static_cast<long long>(zip.size()), source->length());
        }
        return zip;
    }

    // Everything `source` makes, in pieces of `room`, with the ranges of
    // files it offers read as a connection would send them.
    static std::string body_of(body_source& source, size_t room = 4096) {
        std::string body;
        std::vector<char> piece(room);
        for (;;) {
            const long long n = source.produce(piece.data(), room);
            if (n < 0) return "produce failed";
            body.append(piece.data(), static_cast<size_t>(n));
            const file_range range = source.take_file_range();
            if (range.length == 0) {
                if (n == 0) return body;
                continue;
            }
            std::string bytes(static_cast<size_t>(range.length), '\0');
            if (pread(range.fd, bytes.data(), bytes.size(), range.offset) != range.length)
                return "the file ended before its range";
            body += bytes;
        }
    }

    fs::path base, root, share;
};

// Each folder's entry before what it holds: its files, then its folders,
// in byte order; hidden names only where they are shown, links as what
// they point to inside the root, and nothing else.
TEST_F(ZipStream, ReadsBackWithWhatTheListingOffers) {
    const std::vector<std::string> shown = {
        "share/",
        "share/a.txt",
        "share/empty.txt",
        "share/inside-link",
        "share/run.sh",
        "share/\xC3\xA9t\xC3\xA9.txt",
        "share/\xFF.bin",
        "share/other-link/",
        "share/sub/",
        "share/void/",
        "share/other-link/o.txt",
        "share/sub/b.bin",
        "share/sub/deeper/",
        "share/sub/deeper/c.txt",
    };
    const read_archive plain = read_zip(archive(folder_of(share)));
    ASSERT_EQ(plain.error, "");
    EXPECT_EQ(names_of(plain), shown);
    EXPECT_FALSE(plain.zip64_end);
    for (const read_entry& e : plain.entries) {
        const bool is_dir = e.name.back() == '/';
        const bool utf8 = e.name != "share/\xFF.bin";
        EXPECT_EQ(e.flags, (utf8 ? 0x0800 : 0) | (is_dir ? 0 : 0x0008)) << e.name;
        EXPECT_FALSE(e.zip64_sizes || e.zip64_offset) << e.name;
        EXPECT_EQ(e.timestamp, fixed_mtime) << e.name;
        EXPECT_EQ(e.dos_date, (43 << 9) | (11 << 5) | 14) << e.name;   // 2023-11-14
        EXPECT_EQ(e.dos_time, (22 << 11) | (13 << 5) | 10) << e.name;  // 22:13:20
        const std::uint32_t mode = is_dir ? 040755 : e.name == "share/run.sh" ? 0100755 : 0100644;
        EXPECT_EQ(e.mode, mode) << e.name;
    }
    EXPECT_EQ(plain.entries[1].data, "hello\n");
    EXPECT_EQ(plain.entries[3].data, big_bytes);  // the link inside the root, followed
    EXPECT_EQ(plain.entries[11].data, big_bytes);
    EXPECT_EQ(plain.entries[10].data, "beside");

    zip_folder with_hidden = folder_of(share);
    with_hidden.show_hidden = true;
    const read_archive all = read_zip(archive(with_hidden));
    ASSERT_EQ(all.error, "");
    std::vector<std::string> expected = shown;
    expected.insert(expected.begin() + 1, "share/.hidden");
    expected.insert(expected.begin() + 8, "share/.git/");
    expected.insert(expected.begin() + 12, "share/.git/config");
    EXPECT_EQ(names_of(all), expected);
}

// A connection may send the files' bytes from the files: the archive is the
// same, byte for byte, however the ranges cut them, and a file that shrinks
// once its last range is offered still ends the body.
TEST_F(ZipStream, FilesSentFromThemselvesMakeTheSameArchive) {
    const std::string copied = archive(folder_of(share));
    zip_limits limits;
    limits.file_ranges = true;
    for (std::uint64_t range_max :
         {std::uint64_t{1} << 20, std::uint64_t{4096}, std::uint64_t{7}}) {
        limits.file_range_max = range_max;
        EXPECT_EQ(archive(folder_of(share), limits), copied) << range_max;
    }
    limits.file_range_max = 1 << 20;
    std::unique_ptr<body_source> source;
    ASSERT_EQ(walk_for_zip(folder_of(share / "sub"), limits, &source), zip_walk::made);
    std::vector<char> piece(4096);
    ASSERT_GE(source->produce(piece.data(), piece.size()), 0);
    EXPECT_EQ(source->take_file_range().length, static_cast<off_t>(big_bytes.size()));
    fs::resize_file(share / "sub" / "b.bin", 10);
    EXPECT_EQ(source->produce(piece.data(), piece.size()), -1);
}

// A folder archived again takes the CRC-32s of its unchanged files from
// memory; a file written since, even with its size and time set back, is
// read again.
TEST_F(ZipStream, KnownCrcsServeOnlyUnchangedFiles) {
    crc_cache known;
    zip_folder folder = folder_of(share / "sub");
    folder.known_crcs = &known;
    zip_limits limits;
    limits.file_ranges = true;
    const std::string first = archive(folder, limits);
    EXPECT_EQ(read_zip(first).error, "");
    const size_t files = known.size();  // one for each file, however many links lead to it
    EXPECT_GT(files, 0u);
    EXPECT_EQ(archive(folder, limits), first);

    const fs::path file = share / "sub" / "b.bin";
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    known.keep(info, 0x12345678);  // a wrong CRC, found only if the file is not read
    EXPECT_EQ(read_zip(archive(folder, limits)).error, "sub/b.bin: CRC-32 differs from its bytes'");
    write(file, pseudo_random_bytes(big_bytes.size() + 1).substr(1));
    set_mtime(file);
    const read_archive rewritten = read_zip(archive(folder, limits));
    EXPECT_EQ(rewritten.error, "");
    EXPECT_EQ(known.size(), files + 1) << "the rewritten file's CRC is kept beside the old one";
}

// Far smaller thresholds force every ZIP64 record through the same folder:
// the archive then reads back to the same entries.
TEST_F(ZipStream, Zip64FieldsWhereSizesOffsetsOrTheCountNeedThem) {
    const read_archive plain = read_zip(archive(folder_of(share)));
    struct row {
        std::uint64_t field_max;
        std::uint32_t count_max;
        bool zip64_end;
    };
    const row rows[] = {
        {1000, 0xFFFF, true},     // b.bin's size, and most offsets and the central directory
        {0xFFFFFFFF, 14, true},   // 14 entries
        {0xFFFFFFFF, 15, false},  // one more than there are
        {100000, 15, true},       // b.bin's size exactly at the threshold
    };
    for (const row& r : rows) {
        zip_limits limits;
        limits.field_max = r.field_max;
        limits.count_max = r.count_max;
        const read_archive forced = read_zip(archive(folder_of(share), limits, 256 * 1024));
        ASSERT_EQ(forced.error, "") << r.field_max << " " << r.count_max;
        EXPECT_EQ(forced.zip64_end, r.zip64_end) << r.field_max << " " << r.count_max;
        ASSERT_EQ(forced.entries.size(), plain.entries.size());
        for (size_t i = 0; i < plain.entries.size(); ++i) {
            const read_entry& e = forced.entries[i];
            EXPECT_EQ(e.name, plain.entries[i].name);
            EXPECT_EQ(e.data, plain.entries[i].data) << e.name;
            EXPECT_EQ(e.zip64_sizes, e.size >= r.field_max) << e.name;
            EXPECT_EQ(e.zip64_offset, e.offset >= r.field_max) << e.name;
        }
    }
}

// A file that is not what the walk saw when its turn comes, or that changes
// while it is read, ends the body: never a whole archive with wrong bytes.
TEST_F(ZipStream, AFileChangedWhileSentEndsTheBody) {
    const fs::path file = share / "sub" / "b.bin";
    struct row {
        const char* what;
        bool after_first_piece;  // else before the first byte
        std::function<void()> change;
    };
    const row rows[] = {
        {"grown", false, [&] { std::ofstream(file, std::ios::app) << "more"; }},
        {"truncated", false, [&] { fs::resize_file(file, 10); }},
        {"touched", false, [&] { utimensat(AT_FDCWD, file.c_str(), nullptr, 0); }},
        {"removed", false, [&] { fs::remove(file); }},
        {"replaced", false,
         [&] {
             write(share / "sub" / "new", big_bytes);
             set_mtime(share / "sub" / "new");
             fs::rename(share / "sub" / "new", file);
         }},
        {"truncated while read", true, [&] { fs::resize_file(file, 5000); }},
        {"written while read", true,
         [&] {
             const int fd = open(file.c_str(), O_WRONLY);
             EXPECT_EQ(pwrite(fd, "x", 1, 90000), 1);
             close(fd);
         }},
        {"written while read, its time set back", true,
         [&] {
             const int fd = open(file.c_str(), O_WRONLY);
             EXPECT_EQ(pwrite(fd, "x", 1, 90000), 1);
             close(fd);
             set_mtime(file);
         }},
    };
    for (const row& r : rows) {
        TearDown();
        SetUp();
        std::unique_ptr<body_source> source;
        ASSERT_EQ(walk_for_zip(folder_of(share / "sub"), {}, &source), zip_walk::made);
        std::vector<char> piece(4096);
        if (r.after_first_piece) {
            ASSERT_GT(source->produce(piece.data(), piece.size()), 0) << r.what;
        }
        r.change();
        long long n = 0;
        for (int pieces = 0; pieces < 100 && (n = source->produce(piece.data(), piece.size())) > 0;)
            ++pieces;
        EXPECT_EQ(n, -1) << r.what;
    }
}

TEST_F(ZipStream, FoldersThatCannotBeArchived) {
    struct row {
        const char* what;
        fs::path dir;
        size_t entries_max;
        size_t name_bytes_max;
        zip_walk outcome;
    };
    const zip_limits defaults;
    const row rows[] = {
        {"missing", share / "nothing", defaults.entries_max, defaults.name_bytes_max,
         zip_walk::not_found},
        {"a file", share / "a.txt", defaults.entries_max, defaults.name_bytes_max,
         zip_walk::not_found},
        {"outside the root", share / "out-dir", defaults.entries_max, defaults.name_bytes_max,
         zip_walk::not_found},
        {"as many entries as allowed", share, 14, defaults.name_bytes_max, zip_walk::made},
        {"one entry too many", share, 13, defaults.name_bytes_max, zip_walk::too_large},
        {"names too long", share, defaults.entries_max, 40, zip_walk::too_large},
    };
    for (const row& r : rows) {
        zip_limits limits;
        limits.entries_max = r.entries_max;
        limits.name_bytes_max = r.name_bytes_max;
        std::unique_ptr<body_source> source;
        EXPECT_EQ(walk_for_zip(folder_of(r.dir), limits, &source), r.outcome) << r.what;
        EXPECT_EQ(source != nullptr, r.outcome == zip_walk::made) << r.what;
    }
}

// Many small files go in several pieces, each opening a bounded number of
// files, so that other clients are answered between them.
TEST_F(ZipStream, APieceOpensABoundedNumberOfFiles) {
    for (int i = 0; i < 10; ++i)
        write(share / "void" / ("f" + std::to_string(i)), "x");
    zip_limits limits;
    limits.files_per_piece = 3;
    std::unique_ptr<body_source> source;
    ASSERT_EQ(walk_for_zip(folder_of(share / "void"), limits, &source), zip_walk::made);
    std::vector<char> piece(256 * 1024);
    int pieces = 0;
    while (source->produce(piece.data(), piece.size()) > 0)
        ++pieces;
    EXPECT_EQ(pieces, 4);  // 3 + 3 + 3 + 1 files, the central directory with the last
}

// Asked for by a request: only where folders are listed, named after the
// folder, with its length; a HEAD gets the same header.
TEST_F(ZipStream, AnsweredForAFolderWhereFoldersAreListed) {
    fs::create_directories(root / "\xC3\xA9t\xC3\xA9");
    site_policy site;
    site.root = root.string() + "/";
    site_services services;
    const auto ask = [&](const std::string& target, const std::string& method = "GET") {
        std::string head = method + " " + target + " HTTP/1.1\r\nHost: h\r\n\r\n";
        login_state login;
        login.authorized = true;
        char* next = nullptr;
        const decision_context context{site, services, 0};
        answer a = respond(context, &login, head.data(), head.data() + head.size(), &next);
        std::vector<char> buffer(1 << 20);
        const written w = write_answer(context, a, buffer.data(), static_cast<int>(buffer.size()));
        const std::string text(buffer.data(), static_cast<size_t>(std::max(w.length, 0)));
        return w.body_generated ? text + body_of(*a.source) : text;
    };
    EXPECT_EQ(ask("/share/?download=zip").substr(0, 22), "HTTP/1.1 404 Not Found");
    site.listing = site.head = true;
    const std::string zip = archive(folder_of(share));
    const std::string got = ask("/share/?download=zip");
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"share.zip\"\r\n"
        "Content-Type: application/zip\r\nContent-Length: " +
        std::to_string(zip.size()) + "\r\n\r\n";
    EXPECT_EQ(got, head + zip);
    EXPECT_EQ(ask("/share/?download=zip", "HEAD"), head);
    EXPECT_NE(ask("/?download=zip").find("filename=\"served.zip\""), std::string::npos);
    site.decode_path = true;
    EXPECT_NE(ask("/%C3%A9t%C3%A9/?download=zip")
                  .find("filename=\"__t__.zip\"; filename*=UTF-8''%C3%A9t%C3%A9.zip\r\n"),
              std::string::npos);
    EXPECT_EQ(ask("/share/?download=tar").find("Content-Type: application/zip"), std::string::npos);
}

}  // namespace
