#include "app/decide/dav.h"

#include "app/decide/dav_lock.h"
#include "app/decide/dav_props.h"
#include "app/decide/dav_tree.h"
#include "app/decide/methods.h"

namespace {

// What a client learns first, often of the root: the classes of WebDAV the
// share speaks (2: with locks, which macOS needs to mount it writable), and
// the methods this user may send, so that a client mounts read-only where
// the user may only read; older Windows clients look for MS-Author-Via.
answer options_answer(const site_policy& site, share_access granted) {
    answer a = status_answer(status_200,
                             allow_field(site, granted) + "DAV: 1, 2\r\nMS-Author-Via: DAV\r\n");
    a.body_text.clear();
    return a;
}

}  // namespace

answer dav_answer(const decision_context& context, const request& r, const std::string& user,
                  share_access granted) {
    if (r.head.method == "OPTIONS") return options_answer(context.site, granted);
    if (r.head.method == "PROPFIND") return propfind_answer(context, r);
    if (r.head.method == "PROPPATCH") return proppatch_answer(context, r);
    if (r.head.method == "LOCK") return lock_answer(context, r, user);
    if (r.head.method == "UNLOCK") return unlock_answer(context, r, user);
    if (r.head.method == "MKCOL") return mkcol_answer(context, r);
    if (r.head.method == "DELETE") return delete_answer(context, r);
    if (r.head.method == "COPY") return copy_answer(context, r, granted);
    if (r.head.method == "MOVE") return move_answer(context, r);
    return status_answer(status_405, allow_field(context.site));
}
