#include "app/upload.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "http/http_utils.h"

namespace {

const char* const status_201 = "201 Created";
const char* const status_400 = "400 Bad Request";
const char* const status_403 = "403 Forbidden";
const char* const status_409 = "409 Conflict";
const char* const status_413 = "413 Payload Too Large";
const char* const status_500 = "500 Internal Server Error";
const char* const status_503 = "503 Service Unavailable";
const char* const status_507 = "507 Insufficient Storage";

// The longest part header, with its empty line. A longer one is refused
// however it arrives.
const size_t max_part_header = 16 * 1024;

// A full disk, an exhausted quota, or a file that may not grow larger here
// (the file size limit, or the file system's largest file).
const char* write_failure_status() {
    return errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? status_507 : status_500;
}

std::string random_suffix() {
    unsigned char bytes[8] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        const auto now =
            static_cast<unsigned long>(time(nullptr)) ^ static_cast<unsigned>(getpid());
        memcpy(bytes, &now, std::min(sizeof now, sizeof bytes));
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += hex[b >> 4];
        text += hex[b & 0x0F];
    }
    return text;
}

// A control character in a name would reach listings, logs and terminals.
bool has_control_character(std::string_view name) {
    return std::any_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// The files open across every upload of the process. A quarter of the
// descriptor limit: connections, the files they serve and the listings they
// read keep the other three quarters, so forms that stall half-way cannot
// starve them (two stalled forms of a thousand files once held 2,008 of
// 2,048). The limit is read at the first upload, after start-up has raised it.
class open_file_budget {
  public:
    bool take() {
        if (in_use.fetch_add(1) < bound()) return true;
        in_use.fetch_sub(1);
        return false;
    }
    void give_back() { in_use.fetch_sub(1); }

  private:
    std::atomic<size_t> in_use{0};

    static size_t bound() {
        if (upload_test_seams.open_file_budget != 0) return upload_test_seams.open_file_budget;
        static const size_t quarter = [] {
            rlimit limit{};
            if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return size_t{256};
            return std::max<size_t>(static_cast<size_t>(limit.rlim_cur / 4), 1);
        }();
        return quarter;
    }
};

open_file_budget open_files;

class single_file_upload : public upload {
  public:
    single_file_upload(int dir, const std::string& name, off_t length, if_taken taken,
                       std::string location)
        : upload(dir, length, taken, std::move(location)) {
        begin_file(name);
    }

  protected:
    bool consume(const char* data, size_t size) override { return write_file(data, size); }
    bool finish() override { return end_file(); }
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_token_char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A bare parameter value is read more leniently than a token: clients write
// file names bare with any visible byte but those that end or quote a value.
bool is_bare_value_char(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte != 0x7F && c != ';' && c != '"';
}

// A Content-Disposition value read as the header syntax says: a type, then
// `; name=value` parameters, each value a token or a quoted string.
class disposition_reader {
  public:
    explicit disposition_reader(std::string_view text) : text(text) {}

    // The first "filename" parameter, in any letter case; empty when there
    // is none. False when the value cannot be read.
    bool file_name(std::string* name) {
        name->clear();
        skip_blanks();
        if (read_run(is_token_char).empty()) return false;
        for (bool found = false;;) {
            skip_blanks();
            if (at == text.size()) return true;
            if (text[at] != ';') return false;
            ++at;
            skip_blanks();
            if (at == text.size()) return true;  // a ";" at the end
            const std::string_view parameter = read_run(is_token_char);
            skip_blanks();
            if (parameter.empty() || at == text.size() || text[at] != '=') return false;
            ++at;
            skip_blanks();
            std::string value;
            if (!read_value(&value)) return false;
            if (!found && equal_ignoring_case(parameter, "filename")) {
                *name = std::move(value);
                found = true;
            }
        }
    }

  private:
    std::string_view text;
    size_t at = 0;

    void skip_blanks() {
        while (at < text.size() && is_blank(text[at]))
            ++at;
    }
    std::string_view read_run(bool (*takes)(char)) {
        const size_t begin = at;
        while (at < text.size() && takes(text[at]))
            ++at;
        return text.substr(begin, at - begin);
    }
    bool read_value(std::string* value) {
        if (at < text.size() && text[at] == '"') return read_quoted(value);
        *value = unescape(read_run(is_bare_value_char), false);
        return true;
    }
    bool read_quoted(std::string* value) {
        const size_t begin = ++at;
        while (at < text.size() && text[at] != '"')
            at += text[at] == '\\' && at + 1 < text.size() ? 2 : 1;
        if (at >= text.size()) return false;
        *value = unescape(text.substr(begin, at - begin), true);
        ++at;
        return true;
    }

    // Browsers write a quote, CR and LF in a name as %22, %0D and %0A;
    // quoted, a backslash escapes a quote or a backslash. A backslash before
    // anything else is a backslash, as in the Windows paths older browsers
    // sent.
    static std::string unescape(std::string_view raw, bool quoted) {
        static const std::pair<std::string_view, char> percent_escapes[] = {
            {"%22", '"'}, {"%0D", '\r'}, {"%0A", '\n'}};
        std::string out;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (quoted && raw[i] == '\\' && i + 1 < raw.size() &&
                (raw[i + 1] == '"' || raw[i + 1] == '\\')) {
                out += raw[++i];
                continue;
            }
            const auto escape = std::find_if(
                std::begin(percent_escapes), std::end(percent_escapes),
                [&](const auto& e) { return raw.substr(i, e.first.size()) == e.first; });
            if (escape != std::end(percent_escapes)) {
                out += escape->second;
                i += escape->first.size() - 1;
                continue;
            }
            out += raw[i];
        }
        return out;
    }
};

// The file name of a part header, empty for a part that is not a file
// (a form field, or a file input left empty). False, with why, for a header
// without a Content-Disposition that can be read.
bool part_file_name(std::string_view header, std::string* name, std::string* why) {
    const std::string_view field = "content-disposition:";
    for (size_t begin = 0; begin < header.size();) {
        size_t end = header.find("\r\n", begin);
        if (end == std::string_view::npos) end = header.size();
        const std::string_view line = header.substr(begin, end - begin);
        if (line.size() >= field.size() &&
            equal_ignoring_case(line.substr(0, field.size()), field)) {
            disposition_reader reader(line.substr(field.size()));
            *why = "a part's Content-Disposition cannot be read";
            return reader.file_name(name);
        }
        begin = end + 2;
    }
    *why = "a part of the form has no Content-Disposition";
    return false;
}

// A multipart/form-data body taken apart as it arrives. It is read as if a
// line end came first, so that every delimiter, the first one included, is
// "\r\n--<boundary>"; the last few bytes of a piece may hold the beginning
// of one. Only what may still begin a delimiter or a part header is held.
class form_upload : public upload {
  public:
    form_upload(int dir, const std::string& boundary, off_t length, if_taken taken,
                std::string location)
        : upload(dir, length, taken, std::move(location)),
          delimiter("\r\n--" + boundary),
          pending("\r\n") {}

  protected:
    bool consume(const char* data, size_t size) override {
        pending.append(data, size);
        return read_parts();
    }
    bool finish() override {
        if (at != phase::done) {
            fail(status_400, "the form ends before its closing delimiter");
            return false;
        }
        if (files_begun() == 0) {
            fail(status_400, "the form holds no file");
            return false;
        }
        return true;
    }

  private:
    enum class phase { preamble, content, after_delimiter, part_header, done };

    std::string delimiter;
    std::string pending;  // bytes taken but not yet looked at
    phase at = phase::preamble;

    bool start_part(std::string_view header) {
        std::string name;
        std::string why;
        if (!part_file_name(header, &name, &why)) {
            fail(status_400, why);
            return false;
        }
        // A browser names the file alone; an old one sent the whole path
        // with "\" between its steps.
        if (const size_t slash = name.rfind('\\'); slash != std::string::npos) {
            name.erase(0, slash + 1);
        }
        if (name.empty()) return true;  // a form field, not a file
        if (files_begun() >= max_files) {
            fail(status_413, "a form may hold at most " + std::to_string(max_files) + " files");
            return false;
        }
        return begin_file(name);
    }

    bool read_parts() {
        for (;;) {
            switch (at) {
                case phase::preamble:
                case phase::content:
                    if (!read_content()) return current() != state::failed;
                    break;
                case phase::after_delimiter:
                    if (pending.size() < 2) return true;
                    if (pending.compare(0, 2, "--") == 0) {
                        at = phase::done;
                    } else if (pending.compare(0, 2, "\r\n") == 0) {
                        at = phase::part_header;  // the header begins with this line end
                    } else {
                        fail(status_400, "a delimiter of the form is followed by other text");
                        return false;
                    }
                    break;
                case phase::part_header:
                    if (!read_part_header()) return current() != state::failed;
                    break;
                case phase::done:
                    pending.clear();  // the epilogue, which means nothing
                    return true;
            }
        }
    }

    // True once a whole part header (after the line end of its delimiter
    // line) has been read and its part begun.
    bool read_part_header() {
        const size_t end = pending.find("\r\n\r\n");
        const bool too_long =
            (end == std::string::npos ? pending.size() : end + 2) > max_part_header + 2;
        if (too_long) {
            fail(status_400, "a part header of the form is longer than 16 KiB");
            return false;
        }
        if (end == std::string::npos) return false;
        const std::string_view header(pending.data() + 2, end);
        if (!start_part(header)) return false;
        pending.erase(0, end + 4);
        at = phase::content;
        return true;
    }

    // Passes on the content up to the next delimiter, or all of it but what
    // may begin one (the preamble goes nowhere). True when a delimiter ended
    // the part.
    bool read_content() {
        const size_t found = pending.find(delimiter);
        const size_t keep = delimiter.size() - 1;
        const size_t content = found != std::string::npos
                                   ? found
                                   : (pending.size() > keep ? pending.size() - keep : 0);
        if (file_open() && content > 0 && !write_file(pending.data(), content)) return false;
        if (found == std::string::npos) {
            pending.erase(0, content);
            return false;
        }
        pending.erase(0, found + delimiter.size());
        if (file_open() && !end_file()) return false;
        at = phase::after_delimiter;
        return true;
    }
};

}  // namespace

std::string hidden_name() {
    return ".upload-" + random_suffix();
}

int create_unseen_file(int dir, mode_t mode, std::string* temp_name) {
    temp_name->clear();
    if (!upload_test_seams.no_unnamed_files) {
        const int fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (fd != -1) return fd;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
    }
    // A file system without files that have no name: a hidden one, made here.
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd == -1; ++attempt) {
        *temp_name = hidden_name();
        fd = openat(dir, temp_name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                    mode);
        if (fd == -1 && errno != EEXIST) break;
    }
    if (fd == -1) temp_name->clear();
    return fd;
}

// The kernel links a file without a name only through its /proc entry, or
// with AT_EMPTY_PATH for a privileged process.
bool link_unnamed(int fd, int dir, const std::string& name) {
    const std::string proc_entry = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, proc_entry.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    return errno == ENOENT && linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0;
}

std::string numbered_name(const std::string& name, unsigned number) {
    const size_t dot = name.rfind('.');
    const size_t stem = dot == std::string::npos || dot == 0 ? name.size() : dot;
    std::string numbered =
        name.substr(0, stem) + " (" + std::to_string(number) + ")" + name.substr(stem);
    if (numbered.size() > NAME_MAX) return std::string();
    return numbered;
}

bool valid_upload_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string_view::npos && !has_control_character(name);
}

upload::upload(int dir, off_t length, if_taken taken, std::string location)
    : taken(taken),
      base_location(std::move(location)),
      dir(fcntl(dir, F_DUPFD_CLOEXEC, 0)),
      length(length) {}

upload::~upload() {
    remove_unplaced();
    if (dir != -1) close(dir);
}

std::unique_ptr<upload> upload::single_file(int dir, const std::string& name, off_t length,
                                            if_taken taken, std::string location) {
    return std::make_unique<single_file_upload>(dir, name, length, taken, std::move(location));
}

std::unique_ptr<upload> upload::form_files(int dir, const std::string& boundary, off_t length,
                                           if_taken taken, std::string location) {
    return std::make_unique<form_upload>(dir, boundary, length, taken, std::move(location));
}

upload::state upload::take(const char* data, size_t size) {
    if (now != state::receiving) return now;
    if (length >= 0 && static_cast<off_t>(size) > missing()) {
        fail(status_400, "the body is longer than its Content-Length");
        return now;
    }
    received += static_cast<off_t>(size);
    if (!consume(data, size)) {
        if (now == state::receiving) fail(status_500, "the body could not be taken");
        return now;
    }
    if (length >= 0 && missing() == 0) return store_all();
    return now;
}

upload::state upload::end_of_body() {
    if (now != state::receiving) return now;
    if (length >= 0 && missing() > 0) {
        fail(status_400, "the body ended before its Content-Length");
        return now;
    }
    return store_all();
}

upload::state upload::store_all() {
    if (now == state::receiving && (!finish() || !place_files())) {
        if (now == state::receiving) fail(status_500, "the files could not be placed");
        return now;
    }
    now = state::stored;
    answer_status = status_201;
    return now;
}

const char* upload::name_refusal(const std::string& name, bool new_in_form,
                                 std::string* why) const {
    if (!valid_upload_name(name)) {
        // The name is not repeated when it could trouble a terminal that shows the answer.
        *why = has_control_character(name) ? "a file name holds a control character"
                                           : "\"" + name + "\" is not a file name";
        return status_400;
    }
    if (name[0] == '.') {
        *why = name + ": names that begin with \".\" are not stored";
        return status_403;
    }
    if (name.size() > NAME_MAX) {
        *why = "a file name is longer than " + std::to_string(NAME_MAX) + " bytes";
        return status_400;
    }
    // A file kept beside another takes a free name when it is placed.
    if (taken == if_taken::keep_both) return nullptr;
    const bool twice =
        new_in_form && std::any_of(complete.begin(), complete.end(),
                                   [&](const file_in_work& file) { return file.name == name; });
    if (twice) {
        *why = name + " is in the form twice";
        return status_409;
    }
    struct stat info {};
    if (fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        (taken != if_taken::replace || S_ISDIR(info.st_mode))) {
        *why = name + (S_ISDIR(info.st_mode) ? " is a directory" : " exists");
        return status_409;
    }
    return nullptr;
}

bool upload::create_file(file_in_work* file) {
    file->fd = create_unseen_file(dir, 0644, &file->temp_name);
    return file->fd != -1;
}

bool upload::begin_file(const std::string& name) {
    std::string why;
    if (const char* status = name_refusal(name, true, &why)) {
        fail(status, why);
        return false;
    }
    if (!open_files.take()) {
        fail(status_503, "too many uploads at once");
        return false;
    }
    writing = file_in_work();
    writing.name = name;
    if (!create_file(&writing)) {
        fail(write_failure_status(), std::string("no file could be made: ") + strerror(errno));
        open_files.give_back();
        return false;
    }
    return true;
}

bool upload::write_file(const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(writing.fd, data, size);
        if (n <= 0) {
            fail(write_failure_status(), std::string("a write failed: ") + strerror(errno));
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        writing.size += n;
    }
    return true;
}

bool upload::end_file() {
    complete.push_back(writing);
    writing = file_in_work();
    return true;
}

// Only once the whole body has come, and every name checked again. When a
// file cannot be placed, the files placed before it are undone: each old
// file takes its name back, each new name goes. The old files go only once
// every file is placed.
bool upload::place_files() {
    for (const file_in_work& file : complete) {
        std::string why;
        if (const char* status = name_refusal(file.name, false, &why)) {
            fail(status, why);
            return false;
        }
    }
    for (size_t i = 0; i < complete.size(); ++i) {
        if (place(complete[i])) continue;
        const int error = errno;
        for (size_t undone = i + 1; undone-- > 0;)
            unplace(complete[undone]);
        fail_placing(complete[i].name, error);
        return false;
    }
    for (file_in_work& file : complete) {
        if (!file.old_aside.empty()) unlinkat(dir, file.old_aside.c_str(), 0);
        release(file);
        if (stored_location.empty()) {
            stored_location = base_location;
            if (stored_location.back() == '/') stored_location += percent_encode_path(file.name);
        }
        if (!stored_text.empty()) stored_text += ", ";
        stored_text += file.name + " (" + std::to_string(file.size) + " bytes)";
    }
    complete.clear();
    return true;
}

void upload::fail_placing(const std::string& name, int error) {
    if (error == EEXIST) return fail(status_409, name + " exists");
    if (error == EISDIR) return fail(status_409, name + " is a directory");
    fail(status_500, name + ": " + strerror(error));
}

// Gives one file its name: never over an existing file unless replacing.
// False, with errno, when it cannot.
bool upload::place(file_in_work& file) {
    if (upload_test_seams.before_placing) {
        if (const int error = upload_test_seams.before_placing(dir, file.name)) {
            errno = error;
            return false;
        }
    }
    if (taken == if_taken::keep_both) return place_beside_old(file);
    // An old file that goes in the meantime leaves its name free again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (place_as_new(file)) return true;
        if (errno != EEXIST || taken != if_taken::replace) return false;
        if (place_over_old(file)) return true;
        if (errno != ENOENT) return false;
    }
    return false;
}

bool upload::place_as_new(file_in_work& file) {
    const bool placed =
        file.temp_name.empty()
            ? link_unnamed(file.fd, dir, file.name)
            : renameat2(dir, file.temp_name.c_str(), dir, file.name.c_str(), RENAME_NOREPLACE) == 0;
    if (placed) {
        file.temp_name.clear();
        file.placed = true;
    }
    return placed;
}

// The name as it is, or else the first free numbered name: the file keeps
// the name it was placed under. A name is never taken over, so a name that
// is taken in the meantime only moves the file on to the next number.
bool upload::place_beside_old(file_in_work& file) {
    const std::string wanted = file.name;
    for (unsigned number = 1; number <= max_numbered; ++number) {
        if (place_as_new(file)) return true;
        if (errno != EEXIST) return false;
        file.name = numbered_name(wanted, number);
        if (file.name.empty()) {
            file.name = wanted;
            errno = ENAMETOOLONG;
            return false;
        }
    }
    file.name = wanted;
    errno = EEXIST;
    return false;
}

// The name is taken and replacing is allowed. The old file is kept whole
// under a hidden name until the whole form is placed.
bool upload::place_over_old(file_in_work& file) {
    if (file.temp_name.empty()) {
        // Only a file with a name can swap names: a hidden one first.
        const std::string temp_name = hidden_name();
        if (!link_unnamed(file.fd, dir, temp_name)) return false;
        file.temp_name = temp_name;
    }
    if (!upload_test_seams.no_exchange && swap_with_old(file)) return true;
    if (!upload_test_seams.no_exchange && errno != EINVAL) return false;
    return move_old_aside(file);
}

// The new file and the old one swap names in one step: the name is never
// missing, and never names anything but one of the two.
bool upload::swap_with_old(file_in_work& file) {
    if (renameat2(dir, file.temp_name.c_str(), dir, file.name.c_str(), RENAME_EXCHANGE) != 0) {
        return false;
    }
    struct stat old {};
    if (fstatat(dir, file.temp_name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(old.st_mode)) {
        // A directory made at the name in the meantime is never replaced.
        renameat2(dir, file.temp_name.c_str(), dir, file.name.c_str(), RENAME_EXCHANGE);
        errno = EISDIR;
        return false;
    }
    file.old_aside = std::move(file.temp_name);
    file.temp_name.clear();
    file.placed = true;
    return true;
}

// A file system that cannot swap names: the old file gets a second, hidden
// name first (a link keeps it whole, inode and all), then the new one is
// renamed over the name. Where not even that is possible, nothing is replaced.
bool upload::move_old_aside(file_in_work& file) {
    const std::string aside = hidden_name();
    if (linkat(dir, file.name.c_str(), dir, aside.c_str(), 0) != 0) {
        struct stat old {};
        if (fstatat(dir, file.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(old.st_mode)) {
            errno = EISDIR;
        }
        return false;
    }
    if (renameat(dir, file.temp_name.c_str(), dir, file.name.c_str()) != 0) {
        const int error = errno;
        unlinkat(dir, aside.c_str(), 0);
        errno = error;
        return false;
    }
    file.old_aside = aside;
    file.temp_name.clear();
    file.placed = true;
    return true;
}

// Undoes the placing of a file: the old file takes its name back, or the
// new name goes, but only while it still names this upload's file. An old
// file that cannot take its name back (the name became a directory) stays
// under its hidden name rather than be lost.
void upload::unplace(file_in_work& file) {
    if (!file.placed) return;
    if (!file.old_aside.empty()) {
        if (renameat(dir, file.old_aside.c_str(), dir, file.name.c_str()) == 0) {
            file.old_aside.clear();
        }
    } else {
        struct stat ours {};
        struct stat named {};
        if (fstat(file.fd, &ours) == 0 &&
            fstatat(dir, file.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            ours.st_dev == named.st_dev && ours.st_ino == named.st_ino) {
            unlinkat(dir, file.name.c_str(), 0);
        }
    }
    file.placed = false;
}

void upload::fail(const char* status, std::string why) {
    remove_unplaced();
    now = state::failed;
    answer_status = status;
    refusal = std::move(why);
}

void upload::release(file_in_work& file) {
    if (file.fd == -1) return;
    close(file.fd);
    open_files.give_back();
    file.fd = -1;
}

void upload::discard(file_in_work& file) {
    release(file);
    if (!file.temp_name.empty()) unlinkat(dir, file.temp_name.c_str(), 0);
    file = file_in_work();
}

void upload::remove_unplaced() {
    discard(writing);
    for (file_in_work& file : complete)
        discard(file);
    complete.clear();
}
