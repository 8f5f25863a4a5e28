// A directory without its index file, listed: the page (or, for
// "?format=json", the same entries as JSON) of the site's listing cache,
// answered as a file of its size. A page that is being built on another
// thread is waited for. Where folders are listed, a folder is also given
// as one ZIP archive, for "?download=zip".
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

// Whether a folder is asked for as one archive: "?download=zip".
bool wants_zip(const request& r);

// The folder `resolved` (as for a listing) as one ZIP archive of what its
// listing offers, made as it is sent: 200 with its length, as an attachment
// named after the folder; 404 for a folder that cannot be read or lies
// outside the root; 507 for one too large for an archive.
answer zip_answer(const decision_context& context, const std::string& resolved);
