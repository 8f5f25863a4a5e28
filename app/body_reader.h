// The body of one request as the connection receives it: a body of the
// length the head announced, its bytes handed to a body_taker as they come.
// Bytes beyond the body are not the body's: the caller keeps them as the
// start of the next request.
#pragma once

#include <memory>

#include "app/request_body.h"

class body_reader {
  public:
    enum class state {
        receiving,  // more of the body is to come
        ended,      // the whole body has come and the taker has it
        refused,    // the taker wants no more: its answer says why
    };

    // A body of `length` bytes for `taker`.
    body_reader(std::unique_ptr<body_taker> taker, long long length);

    // Takes what the connection received; returns how many of the bytes were
    // the body's (the rest follow it).
    size_t take(const char* data, size_t size);
    state current() const { return now; }
    // The most bytes the body still needs: a receive never asks for more,
    // so that no byte of the next request is read into it.
    long long missing() const { return length - received; }
    body_taker& taker() { return *sink; }

  private:
    std::unique_ptr<body_taker> sink;
    long long length;
    long long received = 0;
    state now = state::receiving;
};
