// HTTP text helpers that work in place on character ranges: range search, key/value lists,
// request-head and request-target parsing, percent-decoding, file-name helpers, response
// writing, HTTP dates, content types, URI building, and the byte-range and validator fields
// of conditional and partial requests. Stateless.
//
// Character range: a parser takes `begin`, the first character, and `end`, one past the last.
// The text needs no NUL terminator and may lie inside a larger buffer; nothing at or beyond
// `end` is ever read, and nothing in the range is written. A range whose `end` lies before
// `begin` holds no text. Every out-parameter is optional (null: not wanted); string outputs
// are cleared first, pointer outputs point into the caller's range and copy nothing. The
// helpers for request field values take a std::string_view and never read beyond it either.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Ordered by byte-wise key comparison; keys are case-sensitive. The parsers store with
// "first key wins": a later pair whose key is already present is dropped.
using param_map = std::map<std::string, std::string>;

// Number of bytes before the NUL of `text`.
int str_length(const char* text);

// First position p in [begin, end) where all bytes of the NUL-terminated pattern `text` match,
// byte for byte and case-sensitively, with the whole match inside the range; null when there is
// none, when the range is shorter than the pattern, or when `end` lies before `begin`.
// An empty pattern matches at `begin`.
char* find_str(char* begin, char* end, const char* text);

// Reads a parameter text: entries "key=value\r\n" closed by one empty line "\r\n", which must be
// the last two bytes of the range. The key runs to the first "=" even across line ends; the
// value may contain "=". Nothing is trimmed or decoded.
// True when the whole text has that form. False for an empty range, an entry without "=" or
// without its "\r\n", or anything other than the closing "\r\n" after the last entry; `params`
// then keeps the pairs stored before the failure.
bool parse_params(char* begin, char* end, param_map* params);

// Reads a query string: pairs "key=value" joined by "&", no terminator. The key runs to the
// next "=" even across "&" (a&b=1 gives the key a&b). Nothing is decoded.
// True for an empty range or when every pair has its "=". False when a pair lacks its "=";
// `*pos` is then the start of that pair (`end` after a trailing "&"). On success `*pos` is
// `end`. The map keeps the pairs stored before a failure.
bool parse_query(char* begin, char* end, char** pos, param_map* params);

// Reads one request head: "method SP target SP version\r\n", fields "name: value\r\n", and the
// empty line "\r\n". Every search runs to `end`, not to the line end, so a field without ": "
// takes its name up to a ": " on a later line. The target is returned as a range into the
// caller's buffer; field names and values are kept as they stand.
// True when a whole head, closed by its empty line, lies in the range; `*pos` is then the first
// byte after the empty line (the next request, or `end`). False when the head is incomplete or
// malformed; `*pos` is where the parse stopped and the outputs filled so far keep their values.
bool parse_header(char* begin, char* end, char** pos, std::string* method, char** target_begin,
                  char** target_end, std::string* version, param_map* fields);

// Splits a request target: [scheme "://"] [user ":" password "@"] [host [":" port] "/"] path
// ["?" query] ["#" fragment]. A target in origin form ("/a/b") gives an empty host and the path
// without its leading "/"; a target without any "/" is all path. Nothing is percent-decoded.
// `port` is the leading decimal number after the host's ":" (0 when there is none; clamped to
// the int range). The query is returned as a range; both pointers are null without a "?".
// True with `*pos` = `end`. False when an "@" has no ":" before it (`*pos` is then where the
// user information would begin; the scheme keeps its value) or when `end` lies before `begin`.
bool parse_uri(char* begin, char* end, char** pos, std::string* scheme, std::string* user,
               std::string* password, std::string* host, int* port, std::string* path,
               char** query_begin, char** query_end, std::string* fragment);

// Splits the part of a request target that follows its first "/": the path up to the first "?"
// (or "#" when there is no "?"), the query between that "?" and the next "#" as a range (both
// pointers null without a "?"), and the fragment after that "#". The same rules as parse_uri's;
// nothing is decoded. Outputs are optional; with `end` before `begin` everything is empty.
void parse_path(char* begin, char* end, std::string* path, char** query_begin, char** query_end,
                std::string* fragment);

// Decodes the percent escapes of a path: each "%" followed by two hexadecimal digits (either
// letter case) becomes the byte they name; every other byte, "+" included, stays as it is. False
// for a "%" that two hexadecimal digits do not follow, and for an escape that decodes to NUL
// (no file name holds one); `decoded` is then incomplete. Takes time linear in the length.
bool percent_decode(const std::string& text, std::string* decoded);

// Whether `a` and `b` are the same text when the letters A-Z and a-z are not told apart.
bool equal_ignoring_case(std::string_view a, std::string_view b);

// `text` with every byte other than A-Z, a-z, 0-9, "-", ".", "_", "~" and "/" written as "%HH"
// (upper-case hex): a path that a URL carries as it is, and that percent_decode gives back.
std::string percent_encode_path(std::string_view text);

// File-name helpers. Both "/" and "\" separate directories; nothing asks the file system.

// The directory part up to and including the last separator; empty when there is none.
std::string get_path(const std::string& file_name);

// The part after the last separator; the whole name when there is none.
std::string get_name(const std::string& file_name);

// The text after the last "." when that dot stands after the last separator; empty otherwise.
std::string get_ext(const std::string& file_name);

// The name with its extension dot and extension replaced by `new_ext` (which carries its own
// dot), or with `new_ext` appended when the name has no extension. "" strips the extension.
std::string change_ext(const std::string& file_name, const std::string& new_ext);

// The lowest directory level, 0 or negative, that a path relative to a root reaches when it is
// scanned from left to right. Every "..", also inside a longer name such as a..b, goes one level
// up; a step to a named directory goes one level down; empty steps ("a//b") and "." steps stay
// where they are. Negative means the path may lead above the root; a path without ".." gives 0.
// Takes time linear in the path's length.
int get_level_min(const std::string& path);

// Resolves the dot steps of a path relative to a root the way a URL's are resolved: the path is
// split at "/", empty and "." steps are dropped, and each ".." removes the step before it. The
// kept steps are joined with "/", and a "/" follows them only when the path ends with "/"
// ("docs/x/.." gives "docs", "docs/x/../" gives "docs/"). False when a ".." has no step left to
// remove: the path leads above its root. Only "/" separates here ("\" is part of a name), as for
// the kernel, so a name joined from a root and the result never holds a ".." step. Takes time
// linear in the path's length.
bool resolve_dot_steps(const std::string& path, std::string* resolved);

// Writes a short response into `buffer`: "HTTP/1.1 <status>\r\n", `extra_headers` (complete
// lines ending in "\r\n"; null: none), "Content-Type: <content_type>\r\n" (null: text/plain),
// "Content-Length: <n>\r\n\r\n", the body (null: the status text) and a NUL.
// `status` is required. The write is unbounded: `buffer` must hold http_print_length(...) + 1
// bytes. `*header_length` receives the header's bytes, empty line included (the body offset).
// Returns the bytes written without the NUL; negative when the response is too long to count
// in an int, and nothing is written then.
int http_print(char* buffer, int* header_length, const char* status, const char* extra_headers,
               const char* content_type, const char* body);

// The number of bytes http_print writes for these arguments, the NUL not counted; negative when
// that number does not fit an int.
int http_print_length(const char* status, const char* extra_headers, const char* content_type,
                      const char* body);

// The HTTP date of `t` (seconds since 1970-01-01 00:00:00 UTC), "Thu, 01 Jan 1970 00:00:00 GMT":
// the year has at least four digits and is never cut; negative years carry a minus sign. Empty
// when the C library cannot convert `t`. Reentrant.
std::string http_time_str(long t);

// Reads an HTTP date back into seconds since 1970-01-01 00:00:00 UTC: the form http_time_str
// writes ("Sun, 06 Nov 1994 08:49:37 GMT", year of exactly four digits) and the asctime form
// ("Sun Nov  6 08:49:37 1994"). Names are matched case-sensitively, and the weekday must be the
// one of the date. False, with `*t` unchanged, for anything else: another form, a field out of
// its range (day beyond its month's end, hour 24, second 60), a wrong weekday, text missing or
// following. Independent of the process's time zone and locale.
bool parse_http_time(std::string_view text, long* t);

// Media type for a file extension without its dot, compared case-sensitively: htm and html give
// "text/html", ico, js, jpg and swf their types; anything else "application/octet-stream".
std::string get_content_type(const std::string& ext);

// Reads a table of media types in the mime.types format: a line holds a media type
// ("type/subtype", parameters may follow it after ";" without spaces) and then the extensions
// that map to it, all separated by spaces or tabs; a line may list no extension. A word that
// begins with "#" begins a comment that runs to the line end; blank lines are skipped; LF and
// CR LF line ends both work. Extensions are stored in `types` in lower case, as
// lookup_content_type matches them; when one is listed twice, its first type counts.
// True when every line has that form and the table lists at least one extension. False for a
// line whose first word is no media type, for a NUL byte anywhere, and for a table without
// extensions; `types` then keeps what was stored before the failure.
bool parse_content_types(char* begin, char* end, param_map* types);

// The media type for a file extension: the entry of `types` (read by parse_content_types) for
// the extension in lower case, else get_content_type's. With an empty table that is
// get_content_type(ext), byte for byte.
std::string lookup_content_type(const param_map& types, const std::string& ext);

// Joins URI components: [scheme "://"] [user ":" password "@"] host "/" [path] ["?" query]
// ["#" fragment]. Empty components are left out, except that the "/" after the host is always
// written and a user always gets its ":"; a password without a user is dropped. A port travels
// inside `host`; `path` comes without its leading "/", as parse_uri returns it. Nothing is
// percent-encoded.
std::string create_uri(const std::string& scheme, const std::string& user,
                       const std::string& password, const std::string& host,
                       const std::string& path, const std::string& query,
                       const std::string& fragment);

// Byte ranges and validators. Field values come as they stand in the request; spaces and tabs
// around them are ignored. Offsets are 64-bit: a digit string of any length is read without
// overflow (a number too large for 64 bits counts as larger than any file).

// `text` without the spaces and tabs at its beginning and its end.
std::string_view trim_blanks(std::string_view text);

enum class range_kind {
    ignore,         // no usable range: answer the whole file
    satisfiable,    // answer the bytes [first, last]
    unsatisfiable,  // answer that no byte of the file is in the range
};

struct byte_range {
    range_kind kind = range_kind::ignore;
    std::uint64_t first = 0;  // when satisfiable: first <= last < the file's length
    std::uint64_t last = 0;
};

// The range of a Range field value for a file of `length` bytes. One range in the unit "bytes"
// (any letter case): "bytes=first-last", "bytes=first-" or "bytes=-suffix", spaces and tabs
// allowed around the range and empty list elements (",") skipped. `last` beyond the file is
// cut to its last byte; a suffix covers the file's last `suffix` bytes, or all of it when
// longer. Unsatisfiable: `first` at or beyond the length, a suffix of 0, any range of an empty
// file. Ignore: another unit, any syntax error (last before first, signs, inner spaces), and
// several ranges, which the caller answers with the whole file.
byte_range parse_byte_range(std::string_view value, std::uint64_t length);

// The ranges of a Range field value that lists several, for a file of `length` bytes: each as
// parse_byte_range reads one, the unsatisfiable ones left out, the rest sorted and merged where
// they overlap or touch, so that no byte is sent twice. Satisfiable with the merged ranges in
// `ranges`; unsatisfiable when none is; ignore, as for one range, for another unit or any
// syntax error, and when more than `most` ranges are listed (a client asking for many small
// pieces costs far more than the whole file).
range_kind parse_byte_ranges(std::string_view value, std::uint64_t length, std::size_t most,
                             std::vector<byte_range>* ranges);

// The Content-Range value for `range` of a file of `length` bytes: "bytes first-last/length"
// when satisfiable, "bytes */length" when unsatisfiable, empty for ignore.
std::string content_range(const byte_range& range, std::uint64_t length);

// The strong entity tag of one version of a file, quotes included: "\"size-mtime\"" with both
// numbers in lower-case hexadecimal. Any change of the two numbers changes the tag, and nothing
// else does: copies of a file with the same size and time on two machines carry the same tag.
// The modification time in nanoseconds may wrap around (a time before 1970 passes its two's
// complement).
std::string entity_tag(std::uint64_t size, std::uint64_t mtime_ns);

// Whether an If-None-Match field value matches the entity tag `tag` (as entity_tag writes it):
// "*", or a comma-separated list of entity tags, one of which equals `tag` by the weak
// comparison (a leading "W/" ignored on both sides). A list that is not well-formed as a whole
// (an unquoted or unclosed tag, "*" among tags, text between tags) matches nothing.
bool if_none_match_matches(std::string_view value, std::string_view tag);

// Whether an If-Range field value still names this version of the file: either the entity tag
// `tag` by the strong comparison (neither tag weak, both equal), or the date `last_modified`,
// the file's Last-Modified text, byte for byte. Empty texts never match.
bool if_range_matches(std::string_view value, std::string_view tag, std::string_view last_modified);
