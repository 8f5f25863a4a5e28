// What takes the body of a request as the connection receives it, and then
// answers the request: an upload that stores files, the XML of a WebDAV
// request held for its decision. The connection hands a taker the body's
// bytes in order (decoded, when the body came in chunks), tells it when the
// body has ended, and then asks it for the answer; the connection itself
// knows nothing of what the body is for.
#pragma once

#include <cstddef>

#include "app/decide/context.h"

struct answer;

class body_taker {
  public:
    virtual ~body_taker() = default;
    // Takes the next bytes of the body; false when the taker wants no more
    // (it refused the request: its answer says why).
    virtual bool take(const char* data, size_t size) = 0;
    // The body has ended, every byte of it taken.
    virtual void end() = 0;
    // The answer to the request once the body has ended or the taker refused
    // it. A refusal is answered as the last of its group, and the connection
    // then closes, since the rest of the body may still come.
    virtual answer result(const decision_context& context) = 0;
};
