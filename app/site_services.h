// The services that the connections of one server share and change, apart
// from the site policy, which is plain data: the login limit, the users of a
// password file, the listing pages, the CRC-32s of archived files, the small
// files kept open, and the date texts that answers carry.
// A server holds one set; a test, or a process of its own, makes another.
// Only the thread that polls uses them.
#pragma once

#include <memory>
#include <string>

#include "app/crc_cache.h"
#include "app/dav_locks.h"
#include "app/listing_cache.h"
#include "app/login_limit.h"
#include "app/open_file_cache.h"
#include "app/password_file.h"
#include "app/shared_memory.h"
#include "app/work_pool.h"
#include "log/time_utils.h"

// The field "Date: <HTTP date>\r\n" of an answer given at `now`.
std::string date_field_text(time_t now);
// The HTTP date of a file's modification time, as Last-Modified writes it.
std::string last_modified_text(time_t modified);
// The current calendar time, time(nullptr): the clock of the Date field.
time_t wall_clock_now();

struct site_services {
    login_limiter logins;                  // limit 0: none
    std::shared_ptr<password_file> users;  // null: the policy's login and password log in
    // Where passwords are hashed; null: on the thread that decides.
    std::unique_ptr<work_pool> hash_checks;
    // With several workers: one password is hashed at a time among them
    // all, so wrong passwords cost at most one core; null: the pool's thread alone.
    std::shared_ptr<shared_mutex> hash_turn;
    // Where listing pages are built; null: on the thread that decides.
    std::unique_ptr<work_pool> page_builds;
    listing_cache listings;
    crc_cache archived_crcs;     // of files sent in a folder's ZIP
    open_file_cache open_files;  // capacity 0: every file is opened for each request
    dav_locks locks;
    time_text_cache date_field{date_field_text};
    time_text_cache last_modified{last_modified_text};
    // Where the Date field reads the time. Only tests set another clock, to
    // see the field follow it without waiting for seconds to pass.
    time_t (*wall_clock)() = wall_clock_now;

    // The descriptor that each finished job of every pool writes, so that a
    // waiting poll loop goes on at once.
    void set_wakeup(int fd) {
        if (hash_checks) hash_checks->set_wakeup(fd);
        if (page_builds) page_builds->set_wakeup(fd);
    }
};
