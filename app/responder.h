// The decision for one request: from a request head and the connection's
// login state to what is answered, and the writing of that answer.
//
// What the site serves and how is a `site_policy`, built once at start-up and
// only read afterwards; the decision reads nothing else of the process. The
// node that owns the connection keeps its `login_state` and calls respond()
// for each request head of a group, in order, then write_answer() for each
// answer that is not `close`. Nothing here touches a socket or the log: an
// answer says which line the node is to log with it.
#pragma once

#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/listing_cache.h"
#include "app/log_format.h"
#include "app/login_limit.h"
#include "app/password_file.h"
#include "app/upload.h"
#include "http/http_utils.h"

struct site_policy {
    // How each connection is driven.
    int sizeof_in = 10240;         // bytes of its receive buffer: the largest request group
    int sizeof_out = 1048576;      // bytes of its response buffer
    unsigned int job_timeout = 0;  // ms each job may last; 0: no limit

    std::string root;  // joined to request paths as text: ends with "/" (or is empty)
    std::string index_name = "index.htm";  // served for a path that ends in "/"
    std::string realm;                     // named in the 401's WWW-Authenticate field
    std::shared_ptr<password_file> users;  // the users and their hashes; null: login and password
    std::string login;                     // both empty: authentication is off
    std::string password;
    std::string expected_credentials;  // the Base64 text of login ":" password
    int max_attempts = 3;     // the highest attempt count at which credentials are still examined
    param_map content_types;  // the configured media types; empty: the built-in ones
    bool decode_path = false;
    // Only whole ".." steps climb: "a..b" is a name like any other. Otherwise
    // any "..", also inside a name, counts as a step up, and such a path is
    // refused.
    bool whole_dot_steps = false;
    bool http10 = false;
    bool head = false;
    bool large_files = false;     // a large body, or one beyond the buffer, is sent from its file
    bool ranges = false;          // byte ranges of files: 206 and 416 answers
    bool conditional = false;     // entity tags, and 304 for a copy the client has that is current
    bool listing = false;         // a directory without its index file is listed
    bool listing_hidden = false;  // names that begin with "." are listed too
    bool upload = false;          // authenticated clients may PUT files and POST forms of files
    bool upload_replace = false;  // an upload may replace an existing file
    log_format log_form = log_format::spec;  // how connections write the log
    bool tls = false;         // the site is reached over TLS only: its scheme is https
    bool date_field = false;  // every answer carries a Date field
    std::string charset;      // text, JavaScript and JSON types name it; empty: none
    // The login limit answers 429 Too Many Requests with Retry-After, not 403.
    bool retry_after = false;
    off_t upload_max = off_t{1} << 30;  // the largest body of one upload, in bytes
    login_limiter* logins = nullptr;    // failed logins per address, shared; null: no limit
    listing_cache* listings = nullptr;  // listing pages shared by their readers; null: none kept
};

// The authentication of one connection.
struct login_state {
    std::uint64_t peer = 0;   // the client as the login limit counts it (get_peer_key)
    bool authorized = false;  // once true, stays true for the connection
    int a_counter = 0;        // the attempts made on this connection
    std::string user;         // who logged in; empty: nobody, or authentication is off
};

// An open descriptor, closed when its owner goes; moved, never copied.
class open_file {
  public:
    open_file() = default;
    explicit open_file(int fd) : fd(fd) {}
    ~open_file() { reset(); }
    open_file(open_file&& other) noexcept : fd(other.release()) {}
    open_file& operator=(open_file&& other) noexcept {
        if (this != &other) {
            reset();
            fd = other.release();
        }
        return *this;
    }
    int get() const { return fd; }
    int release() {
        int kept = fd;
        fd = -1;
        return kept;
    }
    void reset();

  private:
    int fd = -1;
};

struct answer {
    enum class kind {
        close,         // close the connection; nothing of the group is sent
        status,        // a short text answer: `status` with its text as the body
        file,          // `status` (200 or 206) with a part of `file` as the body
        not_modified,  // the 304 answer: `status` and `extra_headers`, no body
        upload,        // the body that follows the head goes to `body`, then its status
    };
    kind what = kind::close;
    const char* status = nullptr;  // "404 Not Found" and so on
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
    std::string refusal;               // why an upload is refused, for the log; empty: it is not
    bool failed_login = false;         // credentials came and did not pass
    // The request as the access log names it, ranges of the receive buffer.
    std::string_view request_line;
    std::string_view referer;
    std::string_view user_agent;
    // The request's body, which this answer does not take: 0 when there is
    // none, else its length (-1: not known). The connection reads it and
    // throws it away once the answer is sent; unless the connection closes
    // then, the next request follows it.
    long long body_unread = 0;
    std::unique_ptr<upload> body;  // the upload that takes the body
    bool continue_first = false;   // the client waits for "100 Continue" before its body
    bool browser_form = false;     // the upload is a browser's form: it is sent back to the folder
    std::string body_text;         // what a short answer says beside its status; empty: nothing
};

// Answers the request head that begins at `begin` in a group that ends at
// `end`; `*next` is then where the next head begins. Updates `login`; `now_ms`
// (milliseconds of a monotonic clock) is the time the login limit counts in.
answer respond(const site_policy& site, login_state* login, long long now_ms, char* begin,
               char* end, char** next);

// The answer to an upload once its body has been taken (or refused): 201
// with the Location of what was stored, or for a browser's form 303 to the
// directory's listing; a refusal says why, and closes the connection once
// the answer is sent, as the rest of its body may follow.
answer upload_result(const upload& done, bool browser_form);

// Where one answer landed in the response buffer.
struct written {
    int length = -1;  // header and body; -1 when not even a short answer fits
    int header_length = 0;
    bool file_served = false;  // a 200 or 206 answer
    // Only the header was written: the caller sends the answer's body from
    // its file (`body_length` bytes from `body_offset`) behind it.
    bool body_from_file = false;
};

// Writes an answer at `pos`, never past `room` bytes. With `large_files`, a
// file body longer than a few pages, or one that does not fit, is left for
// the caller to send from the file; otherwise a file body that does not fit
// beside its header, or that cannot be read whole, is answered 500 instead.
// A HEAD's length leaves the body out.
written write_answer(const site_policy& site, const answer& a, char* pos, int room);
