#include "app/decide/upload.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include "app/beneath_root.h"
#include "app/decide/dav_lock.h"
#include "app/decide/pages.h"
#include "app/decide/rules.h"
#include "app/upload.h"

namespace {

// Where an upload goes, confined like a GET's file, and more: no step of it
// may begin with ".", and it is opened without following a link out of the
// root. The directory (open in `dir`) and, for a PUT, the file name. Null
// when the path is fine, else the status to refuse it with, and why.
const char* upload_target(const site_policy& site, const request& r, bool names_file,
                          open_file* dir, std::string* name, std::string* why) {
    std::string resolved;
    *why = "the path leads out of the root";
    if (!resolve_in_root(site, r, &resolved)) return status_403;
    const std::string& path = r.path();
    if (names_file) {
        // The last step as sent: "x/." or "x/.." names no file.
        const std::string_view last = std::string_view(path).substr(path.rfind('/') + 1);
        const size_t slash = resolved.rfind('/');
        *name = slash == std::string::npos ? resolved : resolved.substr(slash + 1);
        *why = "the path names no file";
        if (!valid_upload_name(last) || !valid_upload_name(*name)) return status_400;
        resolved.resize(resolved.size() - name->size());
    }
    const std::string steps = "/" + resolved + (names_file ? *name : "");
    *why = "names that begin with \".\" are not stored";
    if (steps.find("/.") != std::string::npos) return status_403;
    *dir = open_file(open_beneath_root(site.root, resolved));
    *why = "no directory of the root is there";
    if (dir->get() == -1) return status_403;
    struct stat info {};
    *why = *name + " is a directory";
    if (names_file && fstatat(dir->get(), name->c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode)) {
        return status_409;
    }
    return nullptr;
}

// The boundary of a form's Content-Type, or why there is none.
bool form_boundary(const request& r, std::string* boundary, std::string* why) {
    media_type type;
    *why = "the body is not multipart/form-data";
    if (!r.head.content_type || !parse_media_type(*r.head.content_type, &type) ||
        type.type != "multipart/form-data") {
        return false;
    }
    const auto found = type.parameters.find("boundary");
    *why = "the form's boundary is missing or longer than 70 characters";
    if (found == type.parameters.end() || found->second.empty() || found->second.size() > 70) {
        return false;
    }
    *boundary = found->second;
    return true;
}

answer stored_answer(const upload& done, bool browser_form) {
    // A browser is sent back to the listing of the directory, where it sees
    // what it stored; a reload there does not post the form again.
    if (browser_form) {
        const std::string& stored = done.location();
        return status_answer(status_303,
                             "Location: " + stored.substr(0, stored.rfind('/') + 1) + "\r\n");
    }
    return status_answer(status_201, "Location: " + done.location() + "\r\n");
}

// How a browser's upload is answered: with a page, leading back to the
// folder, and whether its user may replace files.
struct browser_view {
    bool pages = false;  // refusals are pages
    bool form = false;   // a form of the listing: once stored, back to the folder
    std::string folder;
    bool may_replace = false;
};

// The answer to an upload once its body has been taken (or refused): 201
// with the Location of what was stored, or for a browser's form 303 to the
// directory's listing; a refusal says why, and closes the connection once
// the answer is sent, as the rest of its body may follow. A browser told
// that a name is taken is offered to send the files again, to keep both or
// (where its user may) to replace.
answer upload_result(const upload& done, const browser_view& browser) {
    if (done.current() != upload::state::stored) {
        answer a = refused_upload(done.status(), done.reason());
        a.extra_headers = "Connection: close\r\n";
        const bool taken = std::string_view(done.status()) == status_409;
        if (browser.pages)
            refuse_with_page(&a, browser.folder, {taken, taken && browser.may_replace});
        return a;
    }
    answer a = stored_answer(done, browser.form);
    a.notice = "upload stored: " + done.stored_files();
    return a;
}

// The body goes to the upload, which stores it; a browser's form is sent
// back to the folder's listing once stored.
class upload_taker : public body_taker {
  public:
    upload_taker(std::unique_ptr<upload> files, browser_view browser)
        : files(std::move(files)), browser(std::move(browser)) {}
    bool take(const char* data, size_t size) override {
        return files->take(data, size) != upload::state::failed;
    }
    void end() override { files->end_of_body(); }
    answer result(const decision_context&) override { return upload_result(*files, browser); }

  private:
    std::unique_ptr<upload> files;
    browser_view browser;
};

// What becomes of a taken name: where the site lists folders or takes
// uploads, what the query's "conflict" asks ("keep": keep both, "refuse",
// which the page's script sends to ask its user first, "replace": where the
// user may); otherwise a file is replaced where the user may, as before.
if_taken taken_names(const site_policy& site, const request& r, share_access granted) {
    const bool may_replace = granted >= share_access::replace;
    if (!site.listing && !site.upload) return may_replace ? if_taken::replace : if_taken::refuse;
    param_map query;
    parse_query(r.target.query_begin, r.target.query_end, nullptr, &query);
    const auto conflict = query.find("conflict");
    const std::string asked = conflict == query.end() ? "" : conflict->second;
    if (asked == "keep") return if_taken::keep_both;
    if (asked == "refuse") return if_taken::refuse;
    if (asked == "replace") return may_replace ? if_taken::replace : if_taken::refuse;
    return may_replace ? if_taken::replace : if_taken::refuse;
}

}  // namespace

answer refused_upload(const char* status, std::string why) {
    answer a = status_answer(status);
    a.last_of_group = true;
    a.notice = "upload refused: " + why;
    a.body_text = std::move(why);
    return a;
}

namespace {

// The upload's answer before its body: a refusal, or what takes the body.
answer body_answer(const decision_context& context, const request& r, share_access granted,
                   const browser_view& browser) {
    const site_policy& site = context.site;
    const bool put = r.head.method == "PUT";
    off_t length = 0;
    std::string why;
    if (!announced_length(r, &length, &why)) {
        return refused_upload(
            r.head.content_length || r.head.transfer_encoding ? status_400 : status_411, why);
    }
    if (length > site.upload_max) {
        return refused_upload(status_413, "the body is larger than upload_max (" +
                                              std::to_string(site.upload_max) + " bytes)");
    }
    std::string boundary;
    if (!put && !form_boundary(r, &boundary, &why)) return refused_upload(status_400, why);
    open_file dir;
    std::string name;
    if (const char* refused = upload_target(site, r, put, &dir, &name, &why)) {
        return refused_upload(refused, why);
    }
    if (const char* refused = store_refusal(context, r, put, &why))
        return refused_upload(refused, why);
    // A body the disk could not hold is refused before a byte of it is
    // written (one in chunks finds out as it is written).
    struct statvfs disk {};
    if (fstatvfs(dir.get(), &disk) == 0 &&
        length > static_cast<off_t>(disk.f_bavail) * static_cast<off_t>(disk.f_frsize)) {
        return refused_upload(
            status_507, "the disk has room for " + std::to_string(disk.f_bavail * disk.f_frsize) +
                            " bytes, not the " + std::to_string(length) + " of this upload");
    }
    // The Location names the file as the client named its path.
    std::string location = "/" + r.target.path;
    if (!put && location.back() != '/') location += '/';
    answer a;
    a.what = answer::kind::body;
    const if_taken taken = taken_names(site, r, granted);
    a.body = std::make_unique<upload_taker>(
        put ? upload::single_file(dir.get(), name, length, taken, location)
            : upload::form_files(dir.get(), boundary, length, taken, location),
        browser);
    a.body_bytes = length;
    a.continue_first = expects_continue(r);
    return a;
}

}  // namespace

answer upload_answer(const decision_context& context, const request& r, share_access granted) {
    const site_policy& site = context.site;
    const bool put = r.head.method == "PUT";
    browser_view browser;
    browser.pages = refusals_are_pages(site, r);
    browser.form = !put && prefers_html(r);
    browser.folder = folder_of(site, r);
    browser.may_replace = granted >= share_access::replace;
    answer a = body_answer(context, r, granted, browser);
    if (browser.pages) refuse_with_page(&a, browser.folder, {});
    return a;
}
