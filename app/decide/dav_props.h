// WebDAV's properties: PROPFIND reads them, PROPPATCH sets and removes the
// dead ones, those that clients make up and the server only keeps.
//
// What clients may rely on:
// - PROPFIND at Depth 0 and 1; a Depth of infinity, or none, is refused 403
//   with DAV:propfind-finite-depth. An empty body asks allprop; a body asks
//   allprop (with include), propname, or prop by name. Each response names
//   only what was asked: a property the resource does not have goes in a
//   propstat of 404 of its own.
// - Live properties: resourcetype, displayname (the resource's last name),
//   creationdate (ISO 8601, UTC: the birth time where the file system keeps
//   one, else the time the inode last changed), getlastmodified (an HTTP
//   date); of files only getcontentlength, and getcontenttype and getetag as
//   a GET gives them; supportedlock and lockdiscovery as the locks give them;
//   quota-available-bytes (what the root's file system has free for the
//   server's user) and quota-used-bytes (the bytes in use on that whole file
//   system, not only by the share: adding up a tree would cost a walk of
//   it). allprop gives every live property but the two quota ones, which
//   must be named, and every dead property.
// - A Depth 1 answer of a folder is made as it is sent, a bounded number of
//   entries at a time, in chunks: its memory does not grow with the folder.
// - Names the site hides are neither listed nor found. A symbolic link is
//   shown as what it points to while that lies within the root, and is
//   neither listed nor found when it leads out of it: the share never shows
//   what lies outside. Only folders and regular files are listed.
// - Dead properties live with their file, in extended attributes of the
//   user namespace named "user.dav.{namespace}name", each holding the
//   property's element as the client wrote it (namespace declarations
//   added), so they read back equal and move with a rename. A PROPPATCH is
//   all or none: when one change cannot be made, nothing is changed, that
//   property gets its status and the others 424 Failed Dependency. Live
//   properties cannot be set or removed (403, cannot-modify-protected-
//   property). A name whose attribute name would be longer than 255 bytes,
//   a value larger than 64 KiB, and a file system without user extended
//   attributes or without room for them are answered 507 Insufficient
//   Storage: the property cannot be recorded there.
// - A PROPPATCH asks the locks first (423 when one holds the resource), and
//   its answer logs "properties changed: /path".
#pragma once

#include <string>

#include "app/answer.h"
#include "app/decide/context.h"
#include "app/decide/dav_common.h"
#include "app/request.h"

answer propfind_answer(const decision_context& context, const request& r);
answer proppatch_answer(const decision_context& context, const request& r);

// Copies the dead properties of the file or folder open as `from` to the
// one open as `to` (neither opened with O_PATH), as a COPY carries them.
// Where the destination cannot keep one, the copy goes on without it.
void copy_dead_properties(int from, int to);

// For tests only; the server never sets it. With `error` not 0, `writes`
// more changes of dead properties succeed, then each fails with `error`.
struct dav_props_write_fault {
    int writes = 0;
    int error = 0;
};
inline dav_props_write_fault dav_props_fault;
