// Base64 for Basic credentials (both ways), and the two helpers of multipart/form-data uploads: making a
// boundary for content to be sent, and reading the start of a received upload request.
// Stateless; nothing here writes into the caller's buffers or keeps pointers to them.
#pragma once

#include <string>
#include <string_view>

// The standard Base64 text (RFC 4648 section 4, "=" padding, no line breaks) of the `length`
// bytes at `data`, which may hold any value, NUL included. 4 * ceil(length / 3) characters.
std::string base64_encode(const unsigned char* data, unsigned int length);

// The bytes of a standard Base64 text (the alphabet of base64_encode, "=" padding): false for
// anything else (another character, a length that is not a multiple of 4, "=" before the end,
// bits left over in the last group), with `bytes` then incomplete.
bool base64_decode(std::string_view text, std::string* bytes);

// A text of capital letters A to Z that occurs nowhere in the `content_len` bytes at `content`
// (compared byte for byte, without case folding); at most content_len + 1 characters long.
// "A" for an empty (or negative) length. Costs at most content_len times the result's length.
std::string get_boundary(const char* content, int content_len);

// Reads the start of a multipart/form-data POST request held in the `request_len` bytes at
// `request`, lines ending in CR LF: the request header with the lines
// "Content-Type: multipart/form-data; boundary=<b>" and "Content-Length: <n>", its empty line
// (the body begins after it), the first part's header and its empty line (the content begins
// after it). Lines after the second empty line are not looked at.
// True when both empty lines, the boundary line and the Content-Length line are in the buffer.
// Then, for each output that is not null:
//   *data_begin = request + content offset;
//   *data_size  = n - (content offset - body offset) - length of b - 6: the content's length
//                 when nothing follows "\r\n--<b>--" (each further byte adds one);
//   *boundary   = "--" + b + "--\r\n", the closing delimiter line;
//   *data_avail = request_len - content offset - 1.
// False otherwise, for instance while the request is still arriving (call again with the longer
// buffer); the outputs then mean nothing, except that `*boundary` holds the bare b when its line
// was found. Every call copies the whole buffer first, so its cost grows with `request_len`.
bool read_post_header(char* request, int request_len, char** data_begin, int* data_size,
                      std::string* boundary, int* data_avail);
