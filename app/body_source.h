// A body made as it is sent, a piece at a time: a 207 multistatus of a large
// folder, a ZIP of a folder. Memory stays bounded by one piece however large
// the body, and the connection returns to the poll between pieces, so that
// other clients are answered meanwhile.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Bytes of a body that lie in an open file: sent from the file (sendfile)
// rather than copied through the response buffer.
struct file_range {
    int fd = -1;
    off_t offset = 0;
    off_t length = 0;  // 0: the next bytes are not a file's
};

class body_source {
  public:
    virtual ~body_source() = default;
    // The body's length when it is known before its first byte; -1 when it
    // is not (it is then sent in chunks, or to the close for HTTP/1.0).
    virtual long long length() const = 0;
    // Writes the next bytes of the body into `buffer`, at most `room` (at
    // least one byte; 4096 or more unless the response buffer is smaller);
    // returns how many, 0 once the body is complete, -1 when it
    // cannot go on (the connection then closes, so that a body cut short is
    // never taken for a whole one).
    virtual long long produce(char* buffer, size_t room) = 0;
    // After each produce(): the range of a file whose bytes follow those it
    // made, taken as sent; none (length 0) by default. A source that offers
    // ranges may return 0 from produce() before the body is complete, when
    // a range comes next; its descriptor stays open until the next
    // produce(). Only a source whose length is known offers them.
    virtual file_range take_file_range() { return {}; }
};
