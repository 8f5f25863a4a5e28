// A directory without its index file, listed: the page (or, for
// "?format=json", the same entries as JSON) of the site's listing cache,
// answered as a file of its size.
#pragma once

#include <string>

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/request.h"

// The listing of `directory` (a path ending in "/", joined to the root) that
// the request reached.
answer listing_answer(const decision_context& context, const request& r,
                      const std::string& directory);
