// PUT and POST: a PUT stores its body as the file its path names, a POST
// stores the files of its multipart form in the directory its path names.
// The directory is opened here without leaving the root (no step beginning
// with ".", no link out of it); app/upload.h stores what the body brings.
#pragma once

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/request.h"

// The answer to an authenticated PUT or POST from this site: a `body`
// answer whose body goes to an upload, or a refusal given before the body
// is read (which then closes the connection once it is sent).
// `granted`: the user's access; a file that exists is replaced only with
// share_access::replace or more.
answer upload_answer(const decision_context& context, const request& r, share_access granted);

// An upload refused before its body is read: the body may still follow, so
// the connection closes once the answer is sent. `why` goes to the log and
// the answer's text.
answer refused_upload(const char* status, std::string why = std::string());
