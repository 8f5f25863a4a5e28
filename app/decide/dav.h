// The WebDAV methods, classes 1 and 2: OPTIONS, PROPFIND and PROPPATCH,
// MKCOL, DELETE, COPY and MOVE, LOCK and UNLOCK, for clients that mount the
// share as a folder. Each is decided within the root, as a GET or an upload
// is; the user's access says what may change.
#pragma once

#include <string>

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/request.h"

// The answer to an authenticated WebDAV request of `user` (empty: nobody
// logged in) with `granted` access (the dispatcher has checked what the
// method needs).
answer dav_answer(const decision_context& context, const request& r, const std::string& user,
                  share_access granted);
