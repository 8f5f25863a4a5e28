// A folder sent as one ZIP archive, made as it is sent: each entry stored as
// it is (not compressed), with its local header, its bytes and a data
// descriptor that carries its CRC-32, then the central directory.
//
// What callers may rely on:
// - The folder is walked before the first byte (names, sizes and times,
//   never the files' bytes), so the archive's length is known from the
//   start. Memory holds 56 bytes and the name of each entry, and 40 more
//   for each folder, whatever the files' sizes; no temporary file is
//   written. A folder of more than `entries_max` entries, or of more than
//   `name_bytes_max` bytes of names, is refused (too_large): by default one
//   archive holds at most 100,000 entries and 8 MiB of names, so its walk
//   holds at most about 18 MiB.
// - Each folder's entry comes before what it holds: its files, then its
//   folders, each in byte order of names; every name begins with `name`
//   and "/". Names that begin with "." are left out unless `show_hidden`.
//   A symbolic link is archived as what it points to when that lies
//   beneath the root; one that leads out of the root, is broken, or leads
//   back to a folder that holds it is left out, and so is anything that is
//   neither a folder nor a regular file that can be read. A folder that
//   cannot be read fails the walk (not_found), as it fails its listing.
// - Sizes and offsets of `field_max` (0xFFFFFFFF) or more, and `count_max`
//   (65,535) entries or more, are written in ZIP64 fields and end records;
//   an archive below them has none.
// - Names that are well-formed UTF-8 carry the UTF-8 flag (bit 11); any
//   other name keeps its bytes without it. Times are in DOS format (local
//   time, held to 1980 to 2107) and, from 1970 to 2038, in an extended
//   timestamp field (UTC seconds). Files are archived with mode 644, or 755
//   where the owner may run them; folders with 755.
// - A file that is not what the walk saw when its turn comes (another file,
//   another size or time), that ends early, or that changes while it is read
//   or sent (its status-change time moves) ends the body (produce() returns -1, and the connection
//   closes): the archive is never whole with wrong bytes in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "app/body_source.h"
#include "app/crc_cache.h"

struct zip_limits {
    std::uint64_t field_max = 0xFFFFFFFF;  // a size or offset from here on goes in ZIP64 fields
    std::uint32_t count_max = 0xFFFF;      // this many entries or more: ZIP64 end records
    size_t entries_max = 100000;
    size_t name_bytes_max = 8 << 20;
    // The most files one piece opens, so that a piece of many small files
    // holds up the other clients no longer than one of a large file.
    int files_per_piece = 64;
    // The files' bytes are offered as ranges of at most `file_range_max`
    // bytes (take_file_range()), for a connection to send from the files;
    // otherwise produce() copies them.
    bool file_ranges = false;
    std::uint64_t file_range_max = 1 << 20;
};

struct zip_folder {
    std::string root;  // the served root: nothing outside it goes into the archive
    std::string dir;   // the folder, a path beneath the root ending in "/"
    std::string name;  // the archive's top folder, which every name begins with
    bool show_hidden = false;
    // CRC-32s of files archived before: with file ranges, a file whose CRC
    // is known is offered whole without being read, and each CRC made is
    // kept. Null: every file is read.
    crc_cache* known_crcs = nullptr;
};

enum class zip_walk {
    made,       // `stream` is the archive's body
    not_found,  // the folder is not there, cannot be read, or lies outside the root
    too_large,  // beyond the limits' entries or names
};

// Walks `folder` and makes the body that archives it.
zip_walk walk_for_zip(const zip_folder& folder, const zip_limits& limits,
                      std::unique_ptr<body_source>* stream);
