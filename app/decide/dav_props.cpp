#include "app/decide/dav_props.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/decide/dav_lock.h"
#include "app/decide/files.h"
#include "app/decide/rules.h"
#include "http/xml.h"

namespace {

constexpr std::string_view dav_ns = "DAV:";
const xml_writer dav({{"DAV:", "D"}});

struct prop_name {
    std::string ns;
    std::string name;
    bool operator==(const prop_name&) const = default;
};

std::vector<prop_name> names_within(const xml_element& element) {
    std::vector<prop_name> names;
    for (const xml_element& child : element.children)
        names.push_back({std::string(child.ns), child.name});
    return names;
}

// ---------------------------------------------------------------------------
// What a PROPFIND asks for

enum class asking { allprop, propname, prop };

struct propfind_ask {
    asking what = asking::allprop;
    std::vector<prop_name> named;  // prop: the properties; allprop: those its include adds
};

// False, with `why`, for a body that is no propfind of one of its three forms.
bool read_propfind(const std::string& body, propfind_ask* ask, std::string* why) {
    if (body.empty()) return true;  // allprop
    xml_document document;
    if (const xml_error error = xml_parse(body, &document); error != xml_error::none) {
        *why = xml_error_str(error);
        return false;
    }
    const xml_element& root = document.root;
    *why = "the body is no DAV:propfind of allprop, propname or prop";
    if (!root.is(dav_ns, "propfind")) return false;
    if (const xml_element* prop = root.child(dav_ns, "prop")) {
        ask->what = asking::prop;
        ask->named = names_within(*prop);
        return true;
    }
    if (root.child(dav_ns, "propname") != nullptr) {
        ask->what = asking::propname;
        return true;
    }
    if (root.child(dav_ns, "allprop") == nullptr) return false;
    if (const xml_element* include = root.child(dav_ns, "include")) {
        ask->named = names_within(*include);
    }
    return true;
}

enum class depth { zero, one, infinity, malformed };

depth depth_of(const request& r) {
    if (!r.head.depth) return depth::infinity;
    const std::string_view value = trim_blanks(*r.head.depth);
    if (value == "0") return depth::zero;
    if (value == "1") return depth::one;
    return equal_ignoring_case(value, "infinity") ? depth::infinity : depth::malformed;
}

// ---------------------------------------------------------------------------
// Resources as the answers show them

// A resource whose `info` is what it is: a link followed to its target.
struct shown {
    dav_resource resource;
    time_t created = 0;
};

// Looks at `name` (relative to the directory `dir_fd`, or AT_FDCWD) with
// statx, which also tells the birth time where the file system keeps one.
bool look_at(int dir_fd, const char* name, int flags, shown* s) {
    struct statx x {};
    if (statx(dir_fd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &x) != 0) return false;
    struct stat& info = s->resource.info;
    info = {};
    info.st_mode = x.stx_mode;
    info.st_ino = static_cast<ino_t>(x.stx_ino);
    info.st_size = static_cast<off_t>(x.stx_size);
    info.st_mtim = {static_cast<time_t>(x.stx_mtime.tv_sec), x.stx_mtime.tv_nsec};
    info.st_ctim = {static_cast<time_t>(x.stx_ctime.tv_sec), x.stx_ctime.tv_nsec};
    s->created = static_cast<time_t>((x.stx_mask & STATX_BTIME) != 0 ? x.stx_btime.tv_sec
                                                                     : x.stx_ctime.tv_sec);
    return true;
}

// Only what a GET could serve: folders and regular files, not pipes or devices.
bool listable(const struct stat& info) {
    return S_ISDIR(info.st_mode) || S_ISREG(info.st_mode);
}

// The root with every link in it followed: what lies within it lies within
// the share.
std::optional<std::string> real_root(const site_policy& site) {
    char* real = realpath(site.root.empty() ? "." : site.root.c_str(), nullptr);
    if (real == nullptr) return std::nullopt;
    std::string root(real);
    free(real);
    return root;
}

bool leads_within(const std::string& root, const std::string& file) {
    char* real = realpath(file.c_str(), nullptr);
    if (real == nullptr) return false;
    const std::string_view seen(real);
    const bool within = seen.starts_with(root) && (seen.size() == root.size() ||
                                                   root.back() == '/' || seen[root.size()] == '/');
    free(real);
    return within;
}

// Null when `path` names a resource the share shows, else the status to
// answer: a link (also one along the way) that leads out of the root is
// not there.
const char* find_shown(const site_policy& site, const std::string& root, const std::string& path,
                       shown* found) {
    dav_resource& resource = found->resource;
    if (const char* refusal = find_resource(site, path, &resource)) return refusal;
    if (resource.file.empty()) resource.file = ".";
    if (!resource.exists || !leads_within(root, resource.file) ||
        !look_at(AT_FDCWD, resource.file.c_str(), 0, found) || !listable(resource.info)) {
        return status_404;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Dead properties, in extended attributes "user.dav.{namespace}name"

const std::string dead_prefix = "user.dav.";
constexpr size_t max_attribute_name = XATTR_NAME_MAX;
constexpr size_t max_dead_value = XATTR_SIZE_MAX;

std::string attribute_name(const prop_name& p) {
    return dead_prefix + "{" + p.ns + "}" + p.name;
}

// A local name holds no "}", a namespace may: the name follows the last one.
bool read_attribute_name(std::string_view attribute, prop_name* p) {
    if (!attribute.starts_with(dead_prefix)) return false;
    attribute.remove_prefix(dead_prefix.size());
    const size_t close = attribute.rfind('}');
    if (attribute.empty() || attribute[0] != '{' || close == std::string_view::npos) return false;
    p->ns = attribute.substr(1, close - 1);
    p->name = attribute.substr(close + 1);
    return !p->name.empty();
}

// The element a dead property's attribute holds. What another program wrote
// there is passed on only when it is that property's element, well-formed.
bool dead_value(const std::string& file, const prop_name& p, std::string& buffer,
                std::string* markup) {
    const std::string attribute = attribute_name(p);
    if (attribute.size() > max_attribute_name) return false;
    buffer.resize(max_dead_value);
    const ssize_t size = getxattr(file.c_str(), attribute.c_str(), buffer.data(), buffer.size());
    if (size < 0) return false;
    const std::string_view value(buffer.data(), static_cast<size_t>(size));
    xml_document document;
    if (xml_parse(value, &document) != xml_error::none || !document.root.is(p.ns, p.name)) {
        return false;
    }
    markup->assign(value);
    return true;
}

struct dead_property {
    prop_name name;
    std::string markup;
};

std::vector<dead_property> dead_properties(const std::string& file, std::string& names,
                                           std::string& buffer) {
    std::vector<dead_property> found;
    names.resize(XATTR_LIST_MAX);
    const ssize_t size = listxattr(file.c_str(), names.data(), names.size());
    for (size_t at = 0; size > 0 && at < static_cast<size_t>(size);) {
        const std::string_view attribute(names.data() + at);
        at += attribute.size() + 1;
        dead_property p;
        if (read_attribute_name(attribute, &p.name) && dead_value(file, p.name, buffer, &p.markup))
            found.push_back(std::move(p));
    }
    return found;
}

// ---------------------------------------------------------------------------
// Live properties

struct live_context {
    const site_policy& site;
    site_services& services;
    long long now_ms;
    std::optional<struct statvfs> fs;  // of the root; none when it cannot be read
};

struct live_property {
    const char* name;
    bool in_allprop;
    bool (*has)(const live_context& c, const shown& s);
    // Appends the property's content.
    void (*content)(std::string& out, const live_context& c, const shown& s);
};

std::string iso_8601(time_t t) {
    struct tm parts {};
    char text[64];
    if (gmtime_r(&t, &parts) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
        return "";
    }
    return text;
}

bool always(const live_context&, const shown&) {
    return true;
}
bool of_files(const live_context&, const shown& s) {
    return !s.resource.is_collection();
}
bool with_quota(const live_context& c, const shown&) {
    return c.fs.has_value();
}

const live_property live_properties[] = {
    {"resourcetype", true, always,
     [](std::string& out, const live_context&, const shown& s) {
         if (s.resource.is_collection()) dav.empty(out, dav_ns, "collection");
     }},
    {"displayname", true, always,
     [](std::string& out, const live_context&, const shown& s) {
         const std::string& resolved = s.resource.resolved;
         xml_append_text(out, std::string_view(resolved).substr(resolved.rfind('/') + 1));
     }},
    {"creationdate", true, always,
     [](std::string& out, const live_context&, const shown& s) { out += iso_8601(s.created); }},
    {"getlastmodified", true, always,
     [](std::string& out, const live_context& c, const shown& s) {
         out += c.services.last_modified.at(s.resource.info.st_mtime);
     }},
    {"getcontentlength", true, of_files,
     [](std::string& out, const live_context&, const shown& s) {
         out += std::to_string(s.resource.info.st_size);
     }},
    {"getcontenttype", true, of_files,
     [](std::string& out, const live_context& c, const shown& s) {
         xml_append_text(out, file_content_type(c.site, s.resource.file));
     }},
    {"getetag", true, of_files,
     [](std::string& out, const live_context&, const shown& s) {
         xml_append_text(out, version_tag(s.resource.info));
     }},
    {"supportedlock", true, always,
     [](std::string& out, const live_context&, const shown&) { append_supported_locks(out); }},
    {"lockdiscovery", true, always,
     [](std::string& out, const live_context& c, const shown& s) {
         append_active_locks(out, decision_context{c.site, c.services, c.now_ms},
                             s.resource.resolved);
     }},
    {"quota-available-bytes", false, with_quota,
     [](std::string& out, const live_context& c, const shown&) {
         out += std::to_string(static_cast<unsigned long long>(c.fs->f_bavail) * c.fs->f_frsize);
     }},
    {"quota-used-bytes", false, with_quota,
     [](std::string& out, const live_context& c, const shown&) {
         out += std::to_string(static_cast<unsigned long long>(c.fs->f_blocks - c.fs->f_bfree) *
                               c.fs->f_frsize);
     }},
};

const live_property* live_named(const prop_name& p) {
    if (p.ns != dav_ns) return nullptr;
    for (const live_property& row : live_properties) {
        if (p.name == row.name) return &row;
    }
    return nullptr;
}

// <D:propstat> of `props` (elements, written) with `status`, and an error
// element's content when there is one.
void append_propstat(std::string& out, const std::string& props, const char* status,
                     std::string_view error = {}) {
    out += "<D:propstat><D:prop>";
    out += props;
    out += "</D:prop>";
    dav.text_element(out, dav_ns, "status", std::string("HTTP/1.1 ") + status);
    if (!error.empty()) {
        out += "<D:error>";
        out += error;
        out += "</D:error>";
    }
    out += "</D:propstat>";
}

// Writes the <D:response> of each resource a PROPFIND shows.
class property_writer {
  public:
    property_writer(const decision_context& context, propfind_ask ask)
        : live{context.site, context.services, context.now_ms, std::nullopt}, ask(std::move(ask)) {
        struct statvfs fs {};
        const std::string& root = context.site.root;
        if (statvfs(root.empty() ? "." : root.c_str(), &fs) == 0) live.fs = fs;
    }

    void response(std::string& out, const shown& s) {
        std::string found, missing;
        switch (ask.what) {
            case asking::prop:
                for (const prop_name& p : ask.named)
                    named(s, p, found, missing);
                break;
            case asking::allprop:
                all(s, found, missing);
                break;
            case asking::propname:
                for (const live_property& row : live_properties) {
                    if (row.has(live, s)) dav.empty(found, dav_ns, row.name);
                }
                for (const dead_property& p : dead_properties(s.resource.file, names, value))
                    dav.empty(found, p.name.ns, p.name.name);
                break;
        }
        out += "<D:response>";
        dav.text_element(out, dav_ns, "href", s.resource.href());
        if (!found.empty() || missing.empty()) append_propstat(out, found, status_200);
        if (!missing.empty()) append_propstat(out, missing, status_404);
        out += "</D:response>\n";
    }

  private:
    // An empty property is written as an empty element: a folder's answer
    // stays compact.
    void append_live(std::string& out, const live_property& row, const shown& s) {
        const size_t at = out.size();
        dav.start(out, dav_ns, row.name);
        const size_t content_at = out.size();
        row.content(out, live, s);
        if (out.size() > content_at) return dav.end(out, dav_ns, row.name);
        out.resize(at);
        dav.empty(out, dav_ns, row.name);
    }

    void named(const shown& s, const prop_name& p, std::string& found, std::string& missing) {
        if (const live_property* row = live_named(p)) {
            if (row->has(live, s)) return append_live(found, *row, s);
        } else if (std::string markup; dead_value(s.resource.file, p, value, &markup)) {
            found += markup;
            return;
        }
        dav.empty(missing, p.ns, p.name);
    }

    // Every live property but those that must be named, every dead one,
    // and what include names beside them.
    void all(const shown& s, std::string& found, std::string& missing) {
        for (const live_property& row : live_properties) {
            if (row.in_allprop && row.has(live, s)) append_live(found, row, s);
        }
        const std::vector<dead_property> dead = dead_properties(s.resource.file, names, value);
        for (const dead_property& p : dead)
            found += p.markup;
        for (const prop_name& p : ask.named) {
            const live_property* row = live_named(p);
            const bool given =
                row != nullptr ? row->in_allprop
                               : std::any_of(dead.begin(), dead.end(),
                                             [&](const dead_property& d) { return d.name == p; });
            if (!given) named(s, p, found, missing);
        }
    }

    live_context live;
    propfind_ask ask;
    std::string names;  // reused for every resource: the attribute names
    std::string value;  // and the value of one attribute
};

// The 207 of a folder at Depth 1, made as it is sent: the folder's own
// response, then its entries as readdir gives them, only as many at a
// time as the piece asked for holds, so that memory stays within a piece
// and one entry however large the folder.
class folder_source : public body_source {
  public:
    folder_source(const site_policy& site, std::string root, property_writer writer,
                  const shown& folder, DIR* dir)
        : site(site),
          root(std::move(root)),
          writer(std::move(writer)),
          folder(folder.resource.resolved),
          dir(dir) {
        pending = multistatus_open;
        this->writer.response(pending, folder);
    }
    ~folder_source() override { closedir(dir); }
    folder_source(const folder_source&) = delete;
    folder_source& operator=(const folder_source&) = delete;

    long long length() const override { return -1; }

    long long produce(char* buffer, size_t room) override {
        pending.erase(0, sent);
        sent = 0;
        // What the last piece left: at most the end of one entry.
        // Entries skipped (hidden, gone) make no bytes: a piece looks at a
        // bounded number once it has any to send.
        for (int looked = 0; !complete && (unsent() == 0 || (unsent() < room && looked < 4096));
             ++looked) {
            if (!next_entry()) return -1;
        }
        const size_t part = std::min(room, unsent());
        memcpy(buffer, pending.data() + sent, part);
        sent += part;
        return static_cast<long long>(part);
    }

  private:
    size_t unsent() const { return pending.size() - sent; }

    // False when the folder cannot be read on.
    bool next_entry() {
        errno = 0;
        const dirent* e = readdir(dir);
        if (e == nullptr) {
            if (errno != 0) return false;
            pending += multistatus_close;
            complete = true;
            return true;
        }
        const std::string_view name = e->d_name;
        if (name == "." || name == ".." || (site.hide_dot_names && has_hidden_step(name))) {
            return true;
        }
        shown entry;
        dav_resource& resource = entry.resource;
        resource.resolved = folder.empty() ? std::string(name) : folder + "/" + std::string(name);
        resource.file = site.root + resource.resolved;
        resource.exists = true;
        if (!look_at(dirfd(dir), e->d_name, AT_SYMLINK_NOFOLLOW, &entry)) return true;  // gone
        if (S_ISLNK(resource.info.st_mode) &&
            !(leads_within(root, resource.file) && look_at(dirfd(dir), e->d_name, 0, &entry))) {
            return true;
        }
        if (listable(resource.info)) writer.response(pending, entry);
        return true;
    }

    const site_policy& site;
    const std::string root;
    property_writer writer;
    const std::string folder;  // resolved
    DIR* dir;
    std::string pending;
    size_t sent = 0;
    bool complete = false;
};

answer bad_request(const std::string& why) {
    answer a = status_answer(status_400);
    a.body_text = why;
    return a;
}

answer propfind_decision(const decision_context& context, const std::string& path, depth d,
                         const std::string& body) {
    const site_policy& site = context.site;
    propfind_ask ask;
    std::string why;
    if (!read_propfind(body, &ask, &why)) return bad_request(why);
    const std::optional<std::string> root = real_root(site);
    if (!root) return status_answer(status_500);
    shown found;
    if (const char* refusal = find_shown(site, *root, path, &found)) return status_answer(refusal);
    property_writer writer(context, std::move(ask));
    if (d == depth::zero || !found.resource.is_collection()) {
        std::string xml = multistatus_open;
        writer.response(xml, found);
        xml += multistatus_close;
        return xml_answer(status_207, std::move(xml));
    }
    const int fd = open(found.resource.file.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd == -1 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        if (fd != -1) close(fd);
        return status_answer(status_403);
    }
    answer a = xml_answer(status_207, std::string());
    a.source = std::make_unique<folder_source>(site, *root, std::move(writer), found, dir);
    return a;
}

// ---------------------------------------------------------------------------
// PROPPATCH

struct patch_change {
    prop_name name;
    bool set = false;
    std::string markup;            // what a set stores
    const char* status = nullptr;  // what became of it
    const char* error = nullptr;   // a precondition it failed, or null
};

bool read_propertyupdate(const std::string& body, std::vector<patch_change>* changes,
                         std::string* why) {
    xml_document document;
    if (const xml_error error = xml_parse(body, &document); error != xml_error::none) {
        *why = body.empty() ? "a PROPPATCH needs a body" : xml_error_str(error);
        return false;
    }
    *why = "the body is no DAV:propertyupdate of set and remove";
    if (!document.root.is(dav_ns, "propertyupdate")) return false;
    for (const xml_element& instruction : document.root.children) {
        const bool set = instruction.is(dav_ns, "set");
        if (!set && !instruction.is(dav_ns, "remove")) continue;
        const xml_element* prop = instruction.child(dav_ns, "prop");
        if (prop == nullptr) return false;
        for (const xml_element& property : prop->children) {
            patch_change change{
                {std::string(property.ns), property.name}, set, {}, nullptr, nullptr};
            if (set) change.markup = xml_markup(document, property);
            changes->push_back(std::move(change));
        }
    }
    return !changes->empty();
}

// Marks what cannot be changed before anything is: live properties, and
// names and values beyond what an extended attribute holds.
bool all_changeable(std::vector<patch_change>& changes) {
    bool all = true;
    for (patch_change& c : changes) {
        if (live_named(c.name) != nullptr) {
            c.status = status_403;
            c.error = "<D:cannot-modify-protected-property/>";
        } else if (attribute_name(c.name).size() > max_attribute_name ||
                   c.markup.size() > max_dead_value) {
            c.status = status_507;
        }
        all = all && c.status == nullptr;
    }
    return all;
}

const char* write_failure(int error) {
    switch (error) {
        case ENOTSUP:  // a file system without user extended attributes
        case ENOSPC:
        case EDQUOT:
        case E2BIG:
        case ERANGE:
            return status_507;
        case EACCES:
        case EPERM:
        case EROFS:
            return status_403;
        default:
            return status_500;
    }
}

// The attribute's value, none when it is not there.
std::optional<std::string> attribute_value(const std::string& file, const std::string& attribute) {
    std::string value(max_dead_value, '\0');
    const ssize_t size = getxattr(file.c_str(), attribute.c_str(), value.data(), value.size());
    if (size < 0) return std::nullopt;
    value.resize(static_cast<size_t>(size));
    return value;
}

// Sets the attribute to `value`, or removes it for none; removing one that
// is not there changes nothing and succeeds.
bool write_attribute(const std::string& file, const std::string& attribute,
                     const std::optional<std::string>& value) {
    if (value)
        return setxattr(file.c_str(), attribute.c_str(), value->data(), value->size(), 0) == 0;
    return removexattr(file.c_str(), attribute.c_str()) == 0 || errno == ENODATA;
}

bool fault_allows_write() {
    if (dav_props_fault.error == 0) return true;
    if (dav_props_fault.writes > 0) {
        --dav_props_fault.writes;
        return true;
    }
    errno = dav_props_fault.error;
    return false;
}

// Makes every change in order; when one fails, those made are undone in
// reverse, each attribute given back the value it had.
bool apply_changes(const std::string& file, std::vector<patch_change>& changes) {
    struct undo {
        std::string attribute;
        std::optional<std::string> before;
    };
    std::vector<undo> made;
    for (patch_change& c : changes) {
        undo u{attribute_name(c.name), std::nullopt};
        u.before = attribute_value(file, u.attribute);
        const std::optional<std::string> after =
            c.set ? std::optional<std::string>(c.markup) : std::nullopt;
        if (!fault_allows_write() || !write_attribute(file, u.attribute, after)) {
            c.status = write_failure(errno);
            for (auto it = made.rbegin(); it != made.rend(); ++it)
                write_attribute(file, it->attribute, it->before);
            return false;
        }
        c.status = status_200;
        made.push_back(std::move(u));
    }
    return true;
}

// The 207 of a PROPPATCH: a propstat for each outcome, in the order they
// first occur; when one change failed, every other one failed with it.
std::string patch_multistatus(const dav_resource& resource, std::vector<patch_change>& changes,
                              bool all_made) {
    for (patch_change& c : changes) {
        if (!all_made && (c.status == nullptr || c.status == status_200)) c.status = status_424;
    }
    std::string xml = multistatus_open;
    xml += "<D:response>";
    dav.text_element(xml, dav_ns, "href", resource.href());
    for (size_t i = 0; i < changes.size(); ++i) {
        const patch_change& first = changes[i];
        bool seen = false;
        for (size_t j = 0; j < i && !seen; ++j)
            seen = changes[j].status == first.status && changes[j].error == first.error;
        if (seen) continue;
        std::string props;
        for (size_t j = i; j < changes.size(); ++j) {
            if (changes[j].status == first.status && changes[j].error == first.error)
                dav.empty(props, changes[j].name.ns, changes[j].name.name);
        }
        append_propstat(xml, props, first.status, first.error ? first.error : "");
    }
    xml += "</D:response>\n";
    xml += multistatus_close;
    return xml;
}

answer proppatch_decision(const decision_context& context, const std::string& path,
                          const std::string& body) {
    std::vector<patch_change> changes;
    std::string why;
    if (!read_propertyupdate(body, &changes, &why)) return bad_request(why);
    const std::optional<std::string> root = real_root(context.site);
    if (!root) return status_answer(status_500);
    shown found;
    if (const char* refusal = find_shown(context.site, *root, path, &found))
        return status_answer(refusal);
    const dav_resource& resource = found.resource;
    const bool made = all_changeable(changes) && apply_changes(resource.file, changes);
    answer a = xml_answer(status_207, patch_multistatus(resource, changes, made));
    if (made) a.notice = "properties changed: /" + resource.resolved;
    return a;
}

}  // namespace

void copy_dead_properties(int from, int to) {
    std::string names(XATTR_LIST_MAX, '\0');
    std::string value(max_dead_value, '\0');
    const ssize_t size = flistxattr(from, names.data(), names.size());
    for (size_t at = 0; size > 0 && at < static_cast<size_t>(size);) {
        const char* attribute = names.data() + at;
        at += strlen(attribute) + 1;
        if (!std::string_view(attribute).starts_with(dead_prefix)) continue;
        const ssize_t length = fgetxattr(from, attribute, value.data(), value.size());
        if (length >= 0) fsetxattr(to, attribute, value.data(), static_cast<size_t>(length), 0);
    }
}

answer propfind_answer(const decision_context& context, const request& r) {
    const depth d = depth_of(r);
    if (d == depth::malformed) return bad_request("Depth is 0, 1 or infinity");
    if (d == depth::infinity) {
        return xml_answer(status_403,
                          "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:error "
                          "xmlns:D=\"DAV:\"><D:propfind-finite-depth/></D:error>\n");
    }
    return after_body(context, r,
                      [path = r.path(), d](const decision_context& c, const std::string& body) {
                          return propfind_decision(c, path, d, body);
                      });
}

answer proppatch_answer(const decision_context& context, const request& r) {
    // The locks are asked before the body is read, while the request's If
    // field is at hand.
    dav_resource resource;
    if (request_resource(context.site, r, &resource) == nullptr) {
        if (const char* refusal = write_refusal(context, r, resource.resolved, false))
            return status_answer(refusal);
    }
    return after_body(context, r,
                      [path = r.path()](const decision_context& c, const std::string& body) {
                          return proppatch_decision(c, path, body);
                      });
}
