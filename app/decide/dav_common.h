// What the WebDAV methods share: a request's path as a resource of the
// share, the Destination of a COPY or MOVE, the hrefs that answers name
// resources by, and small XML bodies.
//
// A resource is confined to the root as a GET's file is (its dot steps
// resolved as text; a path above the root is refused 403), and where the
// site hides names that begin with "." such a name is not there (404) and
// cannot be made (403). Paths are read percent-decoded where the site
// decodes them, as WebDAV clients send them encoded.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>

#include "app/answer.h"
#include "app/body_source.h"
#include "app/decide/context.h"
#include "app/request.h"
#include "app/site_policy.h"

struct dav_resource {
    std::string resolved;  // relative to the root, without "/" at either end; "" is the root
    std::string file;      // site.root + resolved: the name the file system knows it by
    bool exists = false;
    struct stat info {};  // what lstat saw, when it exists
    bool is_collection() const { return exists && S_ISDIR(info.st_mode); }
    // The path as an answer names it: "/" and every step percent-encoded,
    // with "/" after a collection.
    std::string href() const;
};

// The href of whatever is at `resolved`, as dav_resource::href names it: for
// a resource that is not there yet, or not there any more.
std::string href_of(const std::string& resolved, bool collection);

// Looks at what `path` (decoded, relative to the root; a trailing "/" is
// allowed) names. Null when it lies within the root, else the status to
// refuse it with: 403 above the root, 404 for a hidden name the site hides.
const char* find_resource(const site_policy& site, const std::string& path, dav_resource* found);

// The resource the request's path names.
const char* request_resource(const site_policy& site, const request& r, dav_resource* found);

// The Destination of a COPY or MOVE: an absolute URI of this server (the
// same scheme, and the request's Host) or an absolute path, decoded where
// the site decodes paths. Null when it names a resource of the root, else
// the status to refuse it with (400 for no Destination or a malformed one,
// 502 for another server's, 403 above the root or a hidden name).
const char* destination_resource(const site_policy& site, const request& r, dav_resource* found);

// Whether a name may be given to a new resource: not where the site hides
// names that begin with ".", and a valid file name.
bool may_name(const site_policy& site, const std::string& resolved);

// The resource an href names, as the Destination field names one (the
// same forms, the same refusals): a Destination, or the resource tag of an
// If field.
const char* href_resource(const site_policy& site, const request& r, std::string_view href,
                          dav_resource* found);

// What decides a WebDAV request once its body (XML, or empty) has come.
// The request itself is gone by then (its head lay in the receive buffer,
// which the body overwrites): the decision keeps, by value, what it needs
// of it.
using body_decision =
    std::function<answer(const decision_context& context, const std::string& body)>;

// The answer to a request that may carry a body: `decide` at once when it
// announces none, else an answer that takes the body (at most 1 MiB; a
// larger one is refused 413, a length that is none 400) and then decides.
answer after_body(const decision_context& context, const request& r, body_decision decide);

// A body held whole in memory, sent as any generated body is.
std::unique_ptr<body_source> text_body(std::string text);

// An answer of `status` whose body is the XML document `xml`.
answer xml_answer(const char* status, std::string xml);

// The XML declaration and the opening of a 207 multistatus, and its close.
extern const char* const multistatus_open;
extern const char* const multistatus_close;
