// The answer to a Range field that asks for several parts of a file: 206
// with a multipart/byteranges body, each part with its own Content-Type
// and Content-Range, made from the file as it is sent. Its length is known
// before the first byte.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "app/body_source.h"
#include "http/http_utils.h"

// The body of `ranges` (sorted, not overlapping) of the open file `fd` (the
// source owns it) of `size` bytes, its parts of `content_type`, between
// delimiters of `boundary`. A file that has become shorter than a part
// stops the body (the connection then closes).
std::unique_ptr<body_source> byteranges_body(int fd, off_t size, std::vector<byte_range> ranges,
                                             std::string content_type, std::string boundary);

// A boundary of random letters and digits, which no file's bytes will hold
// by chance.
std::string random_boundary();
