#include "app/decide/dav_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "app/beneath_root.h"
#include "app/decide/dav_common.h"
#include "app/decide/dav_lock.h"
#include "app/decide/dav_props.h"
#include "app/decide/methods.h"
#include "app/upload.h"

namespace {

answer refused(const char* status, std::string why) {
    answer a = status_answer(status);
    a.body_text = std::move(why);
    return a;
}

// The status of a change that a system call refused with `error`.
const char* error_status(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return status_409;  // a folder on the way is not there (any more)
        case EEXIST:
        case ENOTEMPTY:
            return status_412;  // the name was taken in the meantime
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return status_507;
        case EXDEV:
            return status_502;  // another file system, which no rename reaches
        case EACCES:
        case EPERM:
        case EROFS:
        case EBUSY:
        case ELOOP:
        case EINVAL:
        case ENAMETOOLONG:
            return status_403;
        default:
            return status_500;
    }
}

// Looking for a resource to be made: a name the site hides is not there
// (404), and cannot be made either (403).
const char* new_name_refusal(const char* refusal) {
    return refusal == status_404 ? status_403 : refusal;
}

// A fragment is the client's own, never sent: a target that holds one is
// malformed, and a change is not guessed from it.
answer fragment_refusal() {
    return refused(status_400, "the target holds a fragment");
}

bool has_fragment(const request& r) {
    return r.head.target.find('#') != std::string_view::npos;
}

// Whether `inner` is `outer` or lies beneath it (paths relative to the root).
bool within(const std::string& inner, const std::string& outer) {
    return outer.empty() || inner == outer ||
           (inner.starts_with(outer) && inner[outer.size()] == '/');
}

// A Depth field's value; a request without one means infinity.
bool depth_is(const request& r, std::string_view value) {
    return equal_ignoring_case(r.head.depth.value_or("infinity"), value);
}

// The Overwrite field: T unless it says F. False for any other value.
bool read_overwrite(const request& r, bool* overwrite) {
    const std::string_view value = r.head.overwrite.value_or("T");
    *overwrite = equal_ignoring_case(value, "T");
    return *overwrite || equal_ignoring_case(value, "F");
}

// What the site's locks say of a write that makes, replaces or removes
// `resolved` (with `whole_tree` all beneath it too): its folder changes as
// well, and a lock of depth 0 on a folder keeps its members.
const char* lock_refusal(const decision_context& context, const request& r,
                         const std::string& resolved, bool whole_tree = true) {
    if (const char* status = write_refusal(context, r, resolved, whole_tree)) return status;
    return write_refusal(context, r, folder_of(resolved), false);
}

// Where a resource of the root is named: the folder that holds it, opened
// without leaving the root, and its last step.
struct named_in {
    open_file folder;
    std::string name;
};

// Opens the folder that holds `resolved` (not the root itself); false, with
// errno, when it cannot.
bool open_holder(const site_policy& site, const std::string& resolved, named_in* at) {
    const size_t slash = resolved.rfind('/');
    at->name = slash == std::string::npos ? resolved : resolved.substr(slash + 1);
    const std::string holder = slash == std::string::npos ? "" : resolved.substr(0, slash);
    at->folder = open_file(open_beneath_root(site.root, holder));
    return at->folder.get() != -1;
}

// Why the folder that is to hold a new resource cannot be opened: it is not
// there (409), or it lies outside the root, through a link (403).
answer holder_refusal(int error) {
    if (error == ENOENT || error == ENOTDIR) return refused(status_409, "no folder holds it");
    return refused(status_403, "its folder lies outside the root");
}

// Opens the folder `name` in `dir`, never through a link, and reads its
// names (without "." and ".."), sorted. They are all read before anything
// in the folder changes, which a directory stream would otherwise see or
// miss. False, with errno, when it cannot.
bool open_folder(int dir, const std::string& name, open_file* folder,
                 std::vector<std::string>* names) {
    *folder = open_file(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder->get() == -1) return false;
    open_file read_by_stream(fcntl(folder->get(), F_DUPFD_CLOEXEC, 0));
    DIR* stream = fdopendir(read_by_stream.get());
    if (stream == nullptr) return false;
    read_by_stream.release();  // closedir closes it
    errno = 0;
    while (const dirent* entry = readdir(stream)) {
        const std::string_view member = entry->d_name;
        if (member != "." && member != "..") names->emplace_back(member);
    }
    const int error = errno;
    closedir(stream);
    errno = error;
    std::sort(names->begin(), names->end());
    return error == 0;
}

// How deep below the root a walk goes: a deeper folder is named as a
// failure rather than walked, so that a tree nested without end (a MOVE
// nests one tree in another) cannot exhaust the stack or the descriptors.
const size_t max_walk_depth = 256;

bool too_deep(const std::string& resolved) {
    return static_cast<size_t>(std::count(resolved.begin(), resolved.end(), '/')) >= max_walk_depth;
}

// What could not be done to the resources of a tree, each by its href and
// the status it failed with, for a 207 Multi-Status.
class tree_failures {
  public:
    // Notes a failure; false, for a caller that fails with it.
    bool note(const std::string& resolved, bool collection, const char* status) {
        failed.emplace_back(href_of(resolved, collection), status);
        return false;
    }
    bool note_error(const std::string& resolved, bool collection, int error) {
        return note(resolved, collection, error_status(error));
    }

    // The answer to a request on `href` that failed. When only the resource
    // itself failed, nothing was done, and its status answers alone; else
    // the 207 names each failure, and the log learns what was done in part:
    // `done` and the count of failures.
    answer answer_for(const std::string& href, const std::string& done) const {
        if (failed.size() == 1 && failed.front().first == href) {
            return status_answer(failed.front().second);
        }
        std::string xml = multistatus_open;
        for (const auto& [failed_href, status] : failed) {
            xml += "<D:response><D:href>" + failed_href + "</D:href><D:status>HTTP/1.1 " + status +
                   "</D:status></D:response>\n";
        }
        xml += multistatus_close;
        answer a = xml_answer(status_207, std::move(xml));
        a.notice = done + " (" + std::to_string(failed.size()) + " failed)";
        return a;
    }

  private:
    std::vector<std::pair<std::string, const char*>> failed;
};

bool remove_entry(int dir, const std::string& name, const std::string& resolved,
                  tree_failures* failed);

// Removes every member of the folder `name` in `dir`.
bool remove_members(int dir, const std::string& name, const std::string& resolved,
                    tree_failures* failed) {
    open_file folder;
    std::vector<std::string> names;
    if (too_deep(resolved)) return failed->note(resolved, true, status_403);
    if (!open_folder(dir, name, &folder, &names)) return failed->note_error(resolved, true, errno);
    bool all_gone = true;
    for (const std::string& member : names)
        all_gone = remove_entry(folder.get(), member, resolved + "/" + member, failed) && all_gone;
    return all_gone;
}

// Removes `name` from `dir`, a folder after everything beneath it, never
// following a link; `resolved` is its path in the root. What cannot be
// removed is noted in `failed`, but not its ancestors, which stay with it.
// True when it is gone.
bool remove_entry(int dir, const std::string& name, const std::string& resolved,
                  tree_failures* failed) {
    struct stat info {};
    if (fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || failed->note_error(resolved, false, errno);
    }
    const bool folder = S_ISDIR(info.st_mode);
    if (folder && !remove_members(dir, name, resolved, failed)) return false;
    if (unlinkat(dir, name.c_str(), folder ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT) return true;
    return failed->note_error(resolved, folder, errno);
}

// Every byte of `from` into `to`: in the kernel where it can (a file system
// may even share the blocks), the rest through a buffer, as where the
// kernel cannot copy between the two, or stops short. 0, or the errno that
// stopped it.
int copy_bytes(int from, int to) {
    for (;;) {
        const ssize_t n = copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
        if (n > 0) continue;
        if (n == 0 || errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            break;
        }
        if (errno != EINTR) return errno;
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n == 0) return 0;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(to, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return w < 0 ? errno : EIO;
            done += w;
        }
    }
}

// Gives the complete copy open as `fd` its name `name` in `dir`. It was
// made under `*temp_name`, or without a name where that is empty. Never
// over what is there, unless `replace`: then a file there is replaced in
// one step, so the name never names a half file, nor none. 0 or errno.
int place_copy(int fd, int dir, std::string* temp_name, const std::string& name, bool replace) {
    if (temp_name->empty()) {
        if (!replace) return link_unnamed(fd, dir, name) ? 0 : errno;
        // Only a file with a name takes another's name in one step.
        const std::string hidden = hidden_name();
        if (!link_unnamed(fd, dir, hidden)) return errno;
        *temp_name = hidden;
    }
    if (renameat2(dir, temp_name->c_str(), dir, name.c_str(), replace ? 0 : RENAME_NOREPLACE) !=
        0) {
        return errno;
    }
    temp_name->clear();
    return 0;
}

// Copies the regular file `from_name` of `from_dir` to `to_name` in
// `to_dir`, with its permissions: written where no one sees it, and named
// only once complete. 0, or the errno that stopped it; nothing of a copy
// that stopped is left.
int copy_file(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name,
              bool replace) {
    // Not blocking: a name that became a pipe in the meantime is refused below.
    const open_file from(
        openat(from_dir, from_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (from.get() == -1 || fstat(from.get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return EPERM;
    std::string temp_name;
    const open_file to(create_unseen_file(to_dir, info.st_mode & 0777, &temp_name));
    if (to.get() == -1) return errno;
    int error = copy_bytes(from.get(), to.get());
    if (error == 0) copy_dead_properties(from.get(), to.get());
    if (error == 0) error = place_copy(to.get(), to_dir, &temp_name, to_name, replace);
    if (!temp_name.empty()) unlinkat(to_dir, temp_name.c_str(), 0);
    return error;
}

void copy_folder_properties(int from_dir, const std::string& from_name, int to_dir,
                            const std::string& to_name) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const open_file from(openat(from_dir, from_name.c_str(), flags));
    const open_file to(openat(to_dir, to_name.c_str(), flags));
    if (from.get() != -1 && to.get() != -1) copy_dead_properties(from.get(), to.get());
}

// A COPY's walk over a tree: each file copied as copy_file does, each folder
// made and, with `deep`, filled the same way. A link, a pipe or a device is
// not copied, nor a name that may not be made at the destination; a hidden
// name is left behind unseen, the others are named as failures.
class tree_copy {
  public:
    tree_copy(const site_policy& site, bool deep) : site(site), deep(deep) {}

    // Copies `from_name` of `from_dir` to `to_name` in `to_dir`, whose path
    // in the root is `to_resolved`; with `replace`, a file there is replaced
    // in one step. True when all of it was copied.
    bool copy(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name,
              const std::string& to_resolved, bool replace) {
        struct stat info {};
        if (fstatat(from_dir, from_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT || failed.note_error(to_resolved, false, errno);
        }
        if (S_ISDIR(info.st_mode)) {
            if (mkdirat(to_dir, to_name.c_str(), 0755) != 0) {
                return failed.note_error(to_resolved, true, errno);
            }
            copy_folder_properties(from_dir, from_name, to_dir, to_name);
            return !deep || copy_members(from_dir, from_name, to_dir, to_name, to_resolved);
        }
        if (!S_ISREG(info.st_mode)) return failed.note(to_resolved, false, status_403);
        const int error = copy_file(from_dir, from_name, to_dir, to_name, replace);
        return error == 0 || failed.note_error(to_resolved, false, error);
    }

    const tree_failures& failures() const { return failed; }

  private:
    const site_policy& site;
    bool deep;
    tree_failures failed;

    bool copy_members(int from_dir, const std::string& from_name, int to_dir,
                      const std::string& to_name, const std::string& to_resolved) {
        open_file from;
        std::vector<std::string> names;
        if (too_deep(to_resolved)) return failed.note(to_resolved, true, status_403);
        if (!open_folder(from_dir, from_name, &from, &names)) {
            return failed.note_error(to_resolved, true, errno);
        }
        const open_file to(
            openat(to_dir, to_name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (to.get() == -1) return failed.note_error(to_resolved, true, errno);
        bool all_copied = true;
        for (const std::string& member : names) {
            const std::string member_resolved = to_resolved + "/" + member;
            if (may_name(site, member_resolved)) {
                all_copied = copy(from.get(), member, to.get(), member, member_resolved, false) &&
                             all_copied;
            } else if (!member.starts_with('.')) {
                all_copied = failed.note(member_resolved, false, status_403) && all_copied;
            }
            // A name that begins with "." and may not be made is one the
            // site hides, or a file of an upload in the making: left behind.
        }
        return all_copied;
    }
};

// A COPY or a MOVE, once checked: what goes where, and the folders that
// hold both, opened without leaving the root.
struct transfer {
    dav_resource from;
    dav_resource to;
    bool overwrite = true;
    bool deep = true;  // a folder goes with its members
    named_in from_at;
    named_in to_at;

    // A file replaces a file in one step; anything else at the destination
    // is deleted first, as RFC 4918 has it.
    bool replaced_in_one_step() const {
        return to.exists && !from.is_collection() && !to.is_collection();
    }
    std::string to_href() const { return href_of(to.resolved, from.is_collection()); }
    std::string notice(const char* done) const {
        return std::string(done) + ": " + from.href() + " -> " + to_href();
    }
};

// Checks a COPY (`move` false) or a MOVE, and opens the folders it works in.
// False, with the answer that refuses it, when it may not go on.
bool prepare_transfer(const decision_context& context, const request& r, bool move,
                      share_access granted, transfer* t, answer* refusal) {
    const site_policy& site = context.site;
    const auto refuse = [refusal](const char* status, std::string why) {
        *refusal = refused(status, std::move(why));
        return false;
    };
    if (has_fragment(r)) {
        *refusal = fragment_refusal();
        return false;
    }
    if (const char* status = request_resource(site, r, &t->from)) return refuse(status, "");
    if (!t->from.exists) return refuse(status_404, "");
    if (const char* status = destination_resource(site, r, &t->to)) {
        return refuse(new_name_refusal(status), "the Destination names no resource of this share");
    }
    if (!may_name(site, t->to.resolved)) {
        return refuse(status_403, "the Destination may not be made");
    }
    if (t->from.is_collection()) {
        t->deep = !depth_is(r, "0");
        if (!depth_is(r, "infinity") && (move || t->deep)) {
            return refuse(status_400, move ? "a folder moves with all it holds (Depth: infinity)"
                                           : "a folder is copied at Depth 0 or infinity");
        }
    }
    if (!read_overwrite(r, &t->overwrite)) return refuse(status_400, "Overwrite is T or F");
    // The root holds everything: it is never moved, nor copied.
    if (within(t->to.resolved, t->from.resolved) || within(t->from.resolved, t->to.resolved)) {
        return refuse(status_403, "the source and the destination lie one within the other");
    }
    if (!move && S_ISLNK(t->from.info.st_mode)) return refuse(status_403, "links are not copied");
    if (t->to.exists && !t->overwrite) return refuse(status_412, "the destination exists");
    if (!move && t->to.exists && granted < share_access::replace) {
        return refuse(status_403, "you may not replace what is in this share");
    }
    if (const char* status = lock_refusal(context, r, t->to.resolved)) return refuse(status, "");
    if (move) {
        if (const char* status = lock_refusal(context, r, t->from.resolved)) {
            return refuse(status, "");
        }
    }
    if (!open_holder(site, t->to.resolved, &t->to_at)) {
        *refusal = holder_refusal(errno);
        return false;
    }
    if (!open_holder(site, t->from.resolved, &t->from_at)) {
        return refuse(errno == ENOENT ? status_404 : status_403, "");
    }
    return true;
}

// Deletes what is at the destination of a transfer that replaces it, unless
// a file replaces it in one step. False, with the answer that says what
// stayed, when not all of it went.
bool clear_destination(const transfer& t, answer* refusal) {
    if (!t.to.exists || t.replaced_in_one_step()) return true;
    tree_failures failed;
    if (remove_entry(t.to_at.folder.get(), t.to_at.name, t.to.resolved, &failed)) return true;
    *refusal = failed.answer_for(t.to.href(), "deleted in part: " + t.to.href());
    return false;
}

// The answer to a transfer that succeeded: 204 for a destination that was
// replaced, else 201 with its Location.
answer transferred(const transfer& t, const char* done) {
    answer a = t.to.exists ? no_content_answer()
                           : status_answer(status_201, "Location: " + t.to_href() + "\r\n");
    a.notice = t.notice(done);
    return a;
}

}  // namespace

answer mkcol_answer(const decision_context& context, const request& r) {
    const site_policy& site = context.site;
    if (has_fragment(r)) return fragment_refusal();
    dav_resource made;
    if (const char* status = request_resource(site, r, &made)) {
        return refused(new_name_refusal(status), "");
    }
    if (announces_body(r.head)) return refused(status_415, "MKCOL takes no body");
    if (made.exists) return status_answer(status_405, allow_field(site));
    if (!may_name(site, made.resolved)) return refused(status_403, "this name may not be made");
    if (const char* status = lock_refusal(context, r, made.resolved, false)) {
        return status_answer(status);
    }
    named_in at;
    if (!open_holder(site, made.resolved, &at)) return holder_refusal(errno);
    if (mkdirat(at.folder.get(), at.name.c_str(), 0755) != 0) {
        return status_answer(errno == EEXIST ? status_405 : error_status(errno));
    }
    const std::string href = href_of(made.resolved, true);
    answer a = status_answer(status_201, "Location: " + href + "\r\n");
    a.notice = "made: " + href;
    return a;
}

answer delete_answer(const decision_context& context, const request& r) {
    const site_policy& site = context.site;
    if (has_fragment(r)) return fragment_refusal();
    dav_resource gone;
    if (const char* status = request_resource(site, r, &gone)) return status_answer(status);
    if (!gone.exists) return status_answer(status_404);
    if (gone.resolved.empty()) return refused(status_403, "the root is never deleted");
    if (gone.is_collection() && !depth_is(r, "infinity")) {
        return refused(status_400, "a folder goes with all it holds (Depth: infinity)");
    }
    if (const char* status = lock_refusal(context, r, gone.resolved)) return status_answer(status);
    named_in at;
    if (!open_holder(site, gone.resolved, &at)) {
        return status_answer(errno == ENOENT ? status_404 : status_403);
    }
    tree_failures failed;
    if (remove_entry(at.folder.get(), at.name, gone.resolved, &failed)) {
        context.services.locks.forget(gone.resolved, true);
        answer a = no_content_answer();
        a.notice = "deleted: " + gone.href();
        return a;
    }
    return failed.answer_for(gone.href(), "deleted in part: " + gone.href());
}

answer copy_answer(const decision_context& context, const request& r, share_access granted) {
    transfer t;
    answer refusal;
    if (!prepare_transfer(context, r, false, granted, &t, &refusal) ||
        !clear_destination(t, &refusal)) {
        return refusal;
    }
    tree_copy copy(context.site, t.deep);
    if (copy.copy(t.from_at.folder.get(), t.from_at.name, t.to_at.folder.get(), t.to_at.name,
                  t.to.resolved, t.replaced_in_one_step())) {
        return transferred(t, "copied");
    }
    return copy.failures().answer_for(t.to_href(), t.notice("copied in part"));
}

// Whether the entry `name` of `dir` is a symbolic link or a folder that
// holds one at any depth (a folder too deep to walk counts as holding one).
bool holds_link(int dir, const std::string& name, size_t depth) {
    struct stat info {};
    if (fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISLNK(info.st_mode)) return true;
    if (!S_ISDIR(info.st_mode)) return false;
    open_file folder;
    std::vector<std::string> names;
    if (depth >= max_walk_depth || !open_folder(dir, name, &folder, &names)) return true;
    return std::any_of(names.begin(), names.end(), [&](const std::string& member) {
        return holds_link(folder.get(), member, depth + 1);
    });
}

size_t steps_of(const std::string& resolved) {
    return static_cast<size_t>(std::count(resolved.begin(), resolved.end(), '/'));
}

answer move_answer(const decision_context& context, const request& r) {
    transfer t;
    answer refusal;
    if (!prepare_transfer(context, r, true, share_access::change, &t, &refusal)) return refusal;
    // A relative link moved nearer the root may point above it, where a GET
    // through it would then read: such a move is refused.
    if (steps_of(t.to.resolved) < steps_of(t.from.resolved) &&
        holds_link(t.from_at.folder.get(), t.from_at.name, steps_of(t.from.resolved))) {
        return refused(status_403, "a link moved nearer the root could point out of it");
    }
    if (!clear_destination(t, &refusal)) return refusal;
    const unsigned int flags = t.replaced_in_one_step() ? 0 : RENAME_NOREPLACE;
    if (renameat2(t.from_at.folder.get(), t.from_at.name.c_str(), t.to_at.folder.get(),
                  t.to_at.name.c_str(), flags) != 0) {
        return status_answer(error_status(errno));
    }
    // Two names of one file: the rename leaves both, and the move is done
    // once the source's name goes.
    if (t.replaced_in_one_step() && t.from.info.st_ino == t.to.info.st_ino &&
        t.from.info.st_dev == t.to.info.st_dev &&
        unlinkat(t.from_at.folder.get(), t.from_at.name.c_str(), 0) != 0) {
        return status_answer(error_status(errno));
    }
    // Locks belong to the names they were taken on, and do not move.
    context.services.locks.forget(t.from.resolved, true);
    return transferred(t, "moved");
}
