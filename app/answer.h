// What a decision answers to one request, and the writing of that answer
// into the response buffer. An answer is a value: the decision fills it in,
// the connection logs it, writes it with write_answer() and sends it; nothing
// here touches a socket or the log.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "app/body_source.h"
#include "app/decide/context.h"
#include "app/open_file.h"
#include "app/request_body.h"
#include "app/status.h"
#include "app/work_pool.h"

struct answer {
    enum class kind {
        close,         // close the connection; nothing of the group is sent
        status,        // a short text answer: `status` with its text as the body
        file,          // `status` (200 or 206) with a part of `file` as the body
        not_modified,  // the header alone, `status` and `extra_headers`: a 304, a 204
        body,          // the body that follows the head goes to `body`, which then answers
        waiting,       // not decided yet: ask again once `wait_for` is done
        generated,     // `status` with a body that `source` makes as it is sent
    };
    kind what = kind::close;
    const char* status = nullptr;  // one of the texts of app/status.h
    std::string extra_headers;     // whole header lines: Location, WWW-Authenticate, Connection
    open_file file;                // the file to send, opened and checked
    struct stat file_info {};      // what was seen of it before it was opened
    std::string file_name;         // its name, for its media type
    std::string content_type;      // of a file answer; empty: what its name's extension says
    std::string file_fields;       // ETag, Accept-Ranges and Content-Range lines of a file answer
    off_t body_offset = 0;         // the part of the file that is the body
    off_t body_length = 0;
    bool head_only = false;            // a HEAD: the header without the body
    bool close_after_send = false;     // the connection closes once the group is sent
    bool last_of_group = false;        // the rest of the group is not answered
    const char* event = nullptr;       // a line for the log before the answer, or null
    bool event_for_every_log = false;  // the short access log says it too
    // A line for every form of the log before the answer, or empty: what a
    // request changed or why it was refused ("upload stored: a.txt (3 bytes)").
    std::string notice;
    bool failed_login = false;  // credentials came and did not pass
    // The request as the access log names it, ranges of the receive buffer.
    std::string_view request_line;
    std::string_view referer;
    std::string_view user_agent;
    // The request's body, which this answer does not take: 0 when there is
    // none, else its length (-1: not known). The connection reads it and
    // throws it away once the answer is sent; unless the connection closes
    // then, the next request follows it.
    long long body_unread = 0;
    std::unique_ptr<body_taker> body;  // what takes the body, and then answers
    long long body_bytes = 0;          // the length of the body it takes
    bool continue_first = false;       // the client waits for "100 Continue" before its body
    std::string body_text;             // what a short answer says beside its status; empty: nothing
    // A short answer's body as an HTML page for a browser, in place of its
    // text; where it does not fit the response buffer, the text is sent.
    std::string page;
    std::shared_ptr<work_ticket> wait_for;  // the work a `waiting` answer waits for
    std::unique_ptr<body_source> source;    // the body of a `generated` answer
    bool chunked = false;  // a generated body of unknown length goes in chunks (HTTP/1.1)
};

// An answer that waits for `ticket`: the request is decided again once it is done.
answer waiting_answer(std::shared_ptr<work_ticket> ticket);

// The media type a file of this name is served as, with the site's charset
// for types of text.
std::string file_content_type(const site_policy& site, const std::string& file_name);

// A short answer of `status`, with header lines of its own.
answer status_answer(const char* status, std::string extra_headers = std::string());

// How a generated body whose length is not known before it is made goes: in
// chunks to an HTTP/1.1 client, and to an HTTP/1.0 client, which knows no
// chunks, up to the close.
void frame_generated(answer* a, bool http10);

// "204 No Content": the header alone, as a change that has nothing to say
// answers. A 204 carries no body, nor a length for one.
answer no_content_answer();

// Where one answer landed in the response buffer.
struct written {
    int length = -1;  // header and body; -1 when not even a short answer fits
    int header_length = 0;
    bool file_served = false;  // a 200 or 206 answer
    // Only the header was written: the caller sends the answer's body from
    // its file (`body_length` bytes from `body_offset`) behind it.
    bool body_from_file = false;
    // Only the header was written: the caller sends what `source` makes.
    bool body_generated = false;
};

// Writes an answer at `pos`, never past `room` bytes. With `large_files`, a
// file body longer than a few pages, or one that does not fit, is left for
// the caller to send from the file; otherwise a file body that does not fit
// beside its header, or that cannot be read whole, is answered 500 instead.
// A HEAD's length leaves the body out.
written write_answer(const decision_context& context, const answer& a, char* pos, int room);
