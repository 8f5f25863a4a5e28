// GET and HEAD of the root's files: the path mapped onto the root, a
// directory redirected to its name with "/" (or listed), and a file's answer
// with its validators (entity tag, Last-Modified: 304 for a current copy)
// and byte ranges (206, 416), each only where the site has its key.
#pragma once

#include <sys/stat.h>

#include <string>

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/request.h"

// The answer to an authenticated GET or HEAD of a user with `granted`
// access (a listing offers what it allows).
answer file_answer(const decision_context& context, const request& r, share_access granted);

// The entity tag of a file's version, as its answer names it.
std::string version_tag(const struct stat& info);
