// One request of a received group, taken apart the way the request handler
// needs it: the head's lines, the header fields it reads, and the target.
//
// Every piece is a range into the receive buffer, which must outlive it; the
// buffer is never written. Nothing here reads at or beyond the group's end.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http/http_utils.h"

// The head of one request: "method SP target SP version" on its first line,
// then header fields, one a line, up to the empty line. A field line is
// "name:value"; names are matched in any letter case, a name holding a space
// or a tab (as in "Host :") matches none, and the spaces and tabs around a
// value are not part of it. The first of two fields with the same name counts.
struct request_head {
    std::string_view method;
    std::string_view target;
    std::string_view version;
    std::optional<std::string_view> host;
    std::optional<std::string_view> authorization;
    std::optional<std::string_view> content_length;
    std::optional<std::string_view> transfer_encoding;
    std::optional<std::string_view> connection;
    std::optional<std::string_view> range;
    std::optional<std::string_view> if_range;
    std::optional<std::string_view> if_none_match;
    std::optional<std::string_view> if_modified_since;
    std::optional<std::string_view> expect;
    std::optional<std::string_view> content_type;
    std::optional<std::string_view> accept;
    std::optional<std::string_view> origin;
    std::optional<std::string_view> sec_fetch_site;
    std::optional<std::string_view> referer;
    std::optional<std::string_view> user_agent;
    // WebDAV's fields.
    std::optional<std::string_view> depth;
    std::optional<std::string_view> destination;
    std::optional<std::string_view> overwrite;
    std::optional<std::string_view> if_tokens;  // If: lock tokens and entity tags to hold
    std::optional<std::string_view> lock_token;
    std::optional<std::string_view> timeout;
    std::string_view request_line;  // the first line, without its CR LF
    // Every field line, each with its CR LF: for fields whose every line
    // counts (the forwarded ones of proxies).
    std::string_view fields;
};

// Reads the head that begins at `begin`, in a group that ends before `end`.
// True when a whole head, closed by its empty line, lies in the range, its
// request line has two spaces and every field line holds a ":"; `*next` is
// then the first byte after the head's empty line.
bool read_request_head(char* begin, char* end, char** next, request_head* head);

// Whether the head announces a body: a Content-Length other than 0, or any
// Transfer-Encoding.
bool announces_body(const request_head& head);

// Where the received bytes of a request group stand.
enum class group_frame {
    incomplete,    // more bytes are needed
    complete,      // the bytes end with an empty line: every head in them is whole
    body_follows,  // a whole head announces a body, which is not part of the group
};

// How far the received bytes of a group have been looked at: kept between two
// looks at the same group, and reset for a new one. Each search goes on where
// the last one stopped and each whole head is read once, so looking after
// every receive is linear in the bytes received.
struct group_scan {
    int unchecked_head = 0;  // where the first head not yet read begins
    int searched = 0;        // how far the bytes have been searched for a head's end
    int body_head_end = 0;   // with body_follows: where the announcing head ends
};

// Frames the group received so far, `length` bytes from `begin`. Only the end
// of the bytes tells that a group is complete (a head followed by more bytes
// in the same receive is not); but a whole head that announces a body is
// noticed at once, wherever it stands, since its body may never end with an
// empty line.
group_frame frame_group(char* begin, int length, group_scan* scan);

// A media type as a Content-Type field writes it: "type/subtype", then
// parameters "; name=value", the value a word or a quoted string (a
// backslash quotes the next character). Blanks may stand around ";" and "=".
struct media_type {
    std::string type;      // "type/subtype" in lower case
    param_map parameters;  // names in lower case, values as meant (unquoted)
};

// False when `text` is no media type: no "/" or an empty side of it, a
// parameter without "=" or without a name, a quote that is not closed.
// The first of two parameters with the same name counts.
bool parse_media_type(std::string_view text, media_type* type);

// Whether the Connection field lists `option` (such as keep-alive or close),
// in any letter case, among its comma-separated options.
bool lists_connection_option(const request_head& head, std::string_view option);

// The request target taken apart. A target that begins with "/" (the origin
// form) is a path with an optional query and fragment: an "@" or "://" in it
// is an ordinary character. Only a target with a scheme ("http://u:p@h/a")
// has user information, in its authority: up to the first "/" after "://".
// Other targets are taken apart as a whole, as the toolkit's parse_uri does.
struct request_target {
    std::string scheme;
    bool has_user_info = false;
    std::string user;
    std::string password;
    std::string path;             // without its leading "/"
    char* query_begin = nullptr;  // both null without a "?"
    char* query_end = nullptr;
    std::string fragment;
};

// False for user information without ":".
bool split_target(char* begin, char* end, request_target* target);

// One request as the decision reads it: its head, its target, and, where
// the site percent-decodes paths, the target's path decoded.
struct request {
    request_head head;
    request_target target;
    std::string decoded_path;
    bool decoded = false;
    // What a trusted proxy tells of the browser's view: the scheme it used
    // ("https") and the Host it sent; empty where no proxy tells.
    std::string seen_scheme;
    std::string seen_host;

    // The path that names the file; a redirect names the target's path instead.
    const std::string& path() const { return decoded ? decoded_path : target.path; }
    bool is_http10() const { return head.version == "HTTP/1.0"; }
    bool is_head() const { return head.method == "HEAD"; }
};

// The credentials of a Basic Authorization field value: the scheme "Basic"
// in any letter case, spaces or tabs, then the Base64 text. Empty when the
// value is not of that form.
std::string_view basic_credentials(std::string_view authorization);
