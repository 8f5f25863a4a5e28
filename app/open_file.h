// An open descriptor, closed when its last holder goes. Moved, never copied;
// share() gives another holder of the same descriptor (a kept file and the
// answers that send it), whose reads and sendfile calls name their offsets.
#pragma once

#include <memory>

class open_file {
  public:
    open_file() = default;
    explicit open_file(int fd);
    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;
    open_file(open_file&&) noexcept = default;
    open_file& operator=(open_file&&) noexcept = default;
    int get() const { return held ? held->fd : -1; }
    // A descriptor the caller owns from now: this one, or a copy of it while
    // it is shared (-1 when the copy cannot be made).
    int release();
    void reset() { held.reset(); }
    open_file share() const;

  private:
    struct descriptor {
        explicit descriptor(int fd) : fd(fd) {}
        descriptor(const descriptor&) = delete;
        descriptor& operator=(const descriptor&) = delete;
        ~descriptor();
        int fd;
    };
    std::shared_ptr<descriptor> held;
};
