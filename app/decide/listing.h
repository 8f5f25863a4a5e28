// A directory without its index file, listed: the page (or, for
// "?format=json", the same entries as JSON) of the site's listing cache,
// answered as a file of its size. A page that is being built on another
// thread is waited for.
#pragma once

#include <string>

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/request.h"

// The listing of the directory `resolved` (relative to the root, empty or
// ending in "/") that the request reached, whatever path led there, for a
// user with `granted` access: the form to upload files is there only for
// one who may.
answer listing_answer(const decision_context& context, const request& r,
                      const std::string& resolved, share_access granted);
