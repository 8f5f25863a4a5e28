// MKCOL, DELETE, COPY and MOVE: the WebDAV methods that make, remove, copy
// and move resources of the share.
//
// Every change is made relative to directory descriptors opened without
// leaving the root (app/beneath_root.h), and no symbolic link is followed:
// a DELETE removes a link as a link, a MOVE renames it, and a COPY leaves
// it out (a relative link copied to another depth would point elsewhere,
// perhaps out of the root), naming it in a 207 as not copied. A MOVE is one
// rename. A COPY writes each file where no one sees it and gives it its
// name only once it is complete, as an upload does, so no half file is ever
// visible. Where the site hides names that begin with ".", such a name is
// neither a source nor a destination, and a folder's hidden members are not
// copied (a DELETE of the folder removes them with it).
//
// Each asks the site's locks before it writes, and answers what they say.
// Each change sets the answer's notice for the log: "made: /dir/",
// "deleted: /x", "copied: /a -> /b", "moved: /a -> /b".
#pragma once

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/request.h"

// Makes the folder the path names: 201; 405 when the name is taken, 409
// when its parent is not there, 415 for a request with a body.
answer mkcol_answer(const decision_context& context, const request& r);

// Removes the resource the path names, a folder with everything beneath it:
// 204 when all went; else a 207 that names each resource that stayed,
// leaving out its ancestors (which stay with it). The root stays (403).
answer delete_answer(const decision_context& context, const request& r);

// Copies the resource the path names to the Destination: 201 when the
// destination is new, 204 when it replaced one (which needs
// share_access::replace or more, `granted` being the user's access); a
// folder with its members (Depth infinity) or alone (Depth 0).
answer copy_answer(const decision_context& context, const request& r, share_access granted);

// Moves the resource the path names to the Destination, with everything
// beneath it, in one rename: 201 when the destination is new, 204 when it
// replaced one.
answer move_answer(const decision_context& context, const request& r);
