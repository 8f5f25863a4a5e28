// A body made as it is sent, a piece at a time: a 207 multistatus of a large
// folder, a ZIP of a folder. Memory stays bounded by one piece however large
// the body, and the connection returns to the poll between pieces, so that
// other clients are answered meanwhile.
#pragma once

#include <cstddef>

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
};
