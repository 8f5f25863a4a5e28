// The file the log goes to: what a file must be to receive the log, and the
// lock that keeps a second copy of websrv from emptying it while the first
// one runs.
//
// A log is never opened through a symbolic link (one planted in the log's
// folder would send the log, and the narrowing of its mode, to any file), and
// never waits (a pipe's reader could hold up the server). A log that the
// configuration or the command line names must be a regular file of this
// process's user, readable by its owner only: one that others may read is
// narrowed to its owner; one of another user is refused. The file beside the
// executable keeps the mode it has, but is no pipe or socket either.
#pragma once

#include <string>

class log_file_lock {
  public:
    enum class result {
        locked,          // the lock is held
        held_elsewhere,  // another copy of websrv holds it
        not_locked,      // the file cannot be opened or locked: the log will say why
        refused,         // the file may not receive the log: refusal() says why
    };

    log_file_lock() = default;
    ~log_file_lock();
    log_file_lock(const log_file_lock&) = delete;
    log_file_lock& operator=(const log_file_lock&) = delete;

    // Opens `name` (created 0600 when it is not there), checks it and takes
    // the lock, which lives with the open descriptor. `named`: the
    // configuration or the command line named the file. `narrowed` is set
    // when the file's mode was narrowed to its owner.
    result take(const std::string& name, bool named, bool* narrowed);
    // Why the last take() refused the file.
    const std::string& refusal() const { return why; }
    // The lock moves to the file now under `name`, after the log was opened
    // again by name (a rotation): the old file's lock goes.
    void move_to(const std::string& name, bool named);

    // Closes this process's descriptor without giving the lock up: a forked
    // process leaves the lock to its parent, which holds the same open file.
    void leave_to_parent();

  private:
    int fd = -1;
    std::string why;
};
