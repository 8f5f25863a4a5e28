// The body of one request as the connection receives it: of the length the
// head announced, or in chunks (decoded here, at most `limit` bytes of
// them), its bytes handed to a body_taker as they come. Bytes beyond the
// body are not the body's: the caller keeps them as the start of the next
// request.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/request_body.h"
#include "http/chunked.h"

class body_reader {
  public:
    enum class state {
        receiving,  // more of the body is to come
        ended,      // the whole body has come and the taker has it
        refused,    // the taker wants no more: its answer says why
        malformed,  // the chunks are not a chunked body: answer 400
        too_large,  // the chunks hold more than the limit: answer 413
    };

    // A body of `length` bytes for `taker`, or, with `length` -1, a chunked
    // body of at most `limit` decoded bytes.
    body_reader(std::unique_ptr<body_taker> taker, long long length, long long limit);

    // Takes what the connection received; returns how many of the bytes were
    // the body's (the rest follow it).
    size_t take(const char* data, size_t size);
    state current() const { return now; }
    // The most bytes the body still needs: a receive never asks for more,
    // so that no byte of the next request is read into it. -1 for chunks,
    // whose end only their bytes tell.
    long long missing() const { return chunks ? -1 : length - received; }
    // Why the chunks were refused, for the log.
    std::string reason() const { return chunks ? chunks->reason() : ""; }
    body_taker& taker() { return *sink; }

  private:
    std::unique_ptr<body_taker> sink;
    std::optional<chunked_decoder> chunks;
    long long length;
    long long received = 0;
    state now = state::receiving;

    size_t take_chunks(const char* data, size_t size);
};
