#include "app/upload.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "http/http_utils.h"
#include "http/proxy_utils.h"

namespace {

const char* const status_201 = "201 Created";
const char* const status_400 = "400 Bad Request";
const char* const status_409 = "409 Conflict";
const char* const status_500 = "500 Internal Server Error";
const char* const status_507 = "507 Insufficient Storage";

// The longest part header, with its empty line; for the first part, with
// the body's start before it. A longer one is refused however it arrives.
const size_t max_part_header = 16 * 1024;

// A full disk, an exhausted quota, or a file that may not grow larger here
// (the file size limit, or the file system's largest file).
const char* write_failure_status() {
    return errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? status_507 : status_500;
}

// Renames `from` to `to` in the same directory, never over an existing file
// unless `replace`; false with errno set.
bool rename_into_place(const std::string& from, const std::string& to, bool replace) {
    if (replace) return rename(from.c_str(), to.c_str()) == 0;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a second link fails on an existing name just as well.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
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

class single_file_upload : public upload {
  public:
    single_file_upload(const std::string& dir, const std::string& name, off_t length, bool replace,
                       std::string location)
        : upload(dir, length, replace, std::move(location)) {
        begin_file(name);
    }

  protected:
    bool consume(const char* data, size_t size) override { return write_file(data, size); }
    bool finish() override { return end_file(); }
};

// The value of `name`="..." in a part header line, or null when the line has none.
bool quoted_parameter(std::string_view line, std::string_view name, std::string* value) {
    for (size_t at = 0; (at = line.find(name, at)) != std::string_view::npos; at += name.size()) {
        const bool starts_word =
            at == 0 || line[at - 1] == ';' || line[at - 1] == ' ' || line[at - 1] == '\t';
        const size_t quote = at + name.size();
        if (!starts_word || line.substr(quote, 2) != "=\"") continue;
        const size_t end = line.find('"', quote + 2);
        if (end == std::string_view::npos) return false;
        *value = std::string(line.substr(quote + 2, end - quote - 2));
        return true;
    }
    return false;
}

// The file name of a part header, empty for a part that is not a file
// (a form field, or a file input left empty). False for a header without
// Content-Disposition.
bool part_file_name(std::string_view header, std::string* name) {
    name->clear();
    const std::string_view field = "content-disposition:";
    for (size_t begin = 0; begin < header.size();) {
        size_t end = header.find("\r\n", begin);
        if (end == std::string_view::npos) end = header.size();
        const std::string_view line = header.substr(begin, end - begin);
        if (line.size() >= field.size() &&
            equal_ignoring_case(line.substr(0, field.size()), field)) {
            quoted_parameter(line, "filename", name);
            return true;
        }
        begin = end + 2;
    }
    return false;
}

// A multipart/form-data body taken apart as it arrives. Its start, up to the
// first part's content, is held and read with read_post_header; then each
// part's content runs up to the next delimiter "\r\n--<boundary>", of which
// the last few bytes of a piece may hold the beginning.
class form_upload : public upload {
  public:
    form_upload(const std::string& dir, std::string_view head, off_t length, bool replace,
                std::string location)
        : upload(dir, length, replace, std::move(location)), start(head) {
        head_size = head.size();
    }

  protected:
    bool consume(const char* data, size_t size) override {
        pending.append(data, size);
        if (delimiter.empty()) return read_start();
        return read_parts();
    }
    bool finish() override {
        if (at != phase::done) {
            fail(status_400);
            return false;
        }
        return true;
    }

  private:
    enum class phase { content, after_delimiter, part_header, done };

    std::string start;  // the request head, then the body's start until it is read
    size_t head_size = 0;
    std::string delimiter;
    std::string pending;  // bytes taken but not yet looked at
    phase at = phase::content;

    bool read_start() {
        start += pending;
        pending.clear();
        char* content = nullptr;
        std::string closing;  // "--<boundary>--\r\n"
        if (!read_post_header(start.data(), static_cast<int>(start.size()), &content, nullptr,
                              &closing, nullptr)) {
            if (start.size() - head_size < max_part_header) return true;
            fail(status_400);
            return false;
        }
        const size_t content_at = static_cast<size_t>(content - start.data());
        if (content_at - head_size > max_part_header) {
            fail(status_400);  // refused whether it came in one piece or many
            return false;
        }
        delimiter = "\r\n" + closing.substr(0, closing.size() - 4);
        const std::string_view header(start.data() + head_size, content_at - head_size);
        if (!start_part(header)) return false;
        pending = start.substr(content_at);
        start.clear();
        return read_parts();
    }

    bool start_part(std::string_view header) {
        std::string name;
        if (!part_file_name(header, &name)) {
            fail(status_400);
            return false;
        }
        // A browser names the file alone; an old one sent the whole path
        // with "\" between its steps.
        if (const size_t slash = name.rfind('\\'); slash != std::string::npos) {
            name.erase(0, slash + 1);
        }
        if (name.empty()) return true;  // a form field, not a file
        if (!valid_upload_name(name)) {
            fail(status_400);
            return false;
        }
        return begin_file(name);
    }

    bool read_parts() {
        for (;;) {
            switch (at) {
                case phase::content:
                    if (!read_content()) return current() != state::failed;
                    break;
                case phase::after_delimiter:
                    if (pending.size() < 2) return true;
                    if (pending.compare(0, 2, "--") == 0) {
                        at = phase::done;
                    } else if (pending.compare(0, 2, "\r\n") == 0) {
                        at = phase::part_header;
                        pending.erase(0, 2);
                    } else {
                        fail(status_400);
                        return false;
                    }
                    break;
                case phase::part_header: {
                    const size_t end = pending.find("\r\n\r\n");
                    if (end == std::string::npos && pending.size() < max_part_header) {
                        return true;
                    }
                    if (end == std::string::npos || end + 4 > max_part_header) {
                        fail(status_400);
                        return false;
                    }
                    if (!start_part(std::string_view(pending.data(), end + 2))) return false;
                    pending.erase(0, end + 4);
                    at = phase::content;
                    break;
                }
                case phase::done:
                    pending.clear();  // the epilogue, which means nothing
                    return true;
            }
        }
    }

    // Passes on the content up to the next delimiter, or all of it but what
    // may begin one. True when a delimiter ended the part.
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

bool valid_upload_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

upload::upload(std::string dir, off_t length, bool replace, std::string location)
    : dir(std::move(dir)), replace(replace), base_location(std::move(location)), length(length) {}

upload::~upload() {
    remove_temp();
}

std::unique_ptr<upload> upload::single_file(const std::string& dir, const std::string& name,
                                            off_t length, bool replace, std::string location) {
    return std::make_unique<single_file_upload>(dir, name, length, replace, std::move(location));
}

std::unique_ptr<upload> upload::form_files(const std::string& dir, std::string_view head,
                                           off_t length, bool replace, std::string location) {
    return std::make_unique<form_upload>(dir, head, length, replace, std::move(location));
}

upload::state upload::take(const char* data, size_t size) {
    if (now != state::receiving) return now;
    if (static_cast<off_t>(size) > missing()) {
        fail(status_400);
        return now;
    }
    received += static_cast<off_t>(size);
    if (!consume(data, size)) {
        if (now == state::receiving) fail(status_500);
        return now;
    }
    if (missing() == 0 && now == state::receiving) {
        if (!finish() || !place_files()) {
            if (now == state::receiving) fail(status_500);
            return now;
        }
        now = state::stored;
        answer_status = status_201;
    }
    return now;
}

bool upload::begin_file(const std::string& name) {
    if (name_taken(name)) {
        fail(status_409);
        return false;
    }
    for (int attempt = 0; attempt < 8 && temp_fd == -1; ++attempt) {
        temp_name = dir + ".upload-" + random_suffix();
        temp_fd = open(temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
        if (temp_fd == -1 && errno != EEXIST) break;
    }
    if (temp_fd == -1) {
        temp_name.clear();
        fail(write_failure_status());
        return false;
    }
    file_name = name;
    file_size = 0;
    return true;
}

bool upload::write_file(const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(temp_fd, data, size);
        if (n <= 0) {
            fail(write_failure_status());
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        file_size += n;
    }
    return true;
}

bool upload::end_file() {
    const bool closed = close(temp_fd) == 0;
    temp_fd = -1;
    if (!closed) {
        fail(write_failure_status());
        return false;
    }
    complete.push_back({std::move(temp_name), file_name, file_size});
    temp_name.clear();
    return true;
}

bool upload::name_taken(const std::string& name) const {
    if (replace) return false;
    return access((dir + name).c_str(), F_OK) == 0 ||
           std::any_of(complete.begin(), complete.end(),
                       [&](const complete_file& file) { return file.name == name; });
}

// Only once the whole body has come: a form refused half-way leaves none of
// its files behind.
bool upload::place_files() {
    for (complete_file& file : complete) {
        if (!rename_into_place(file.temp_name, dir + file.name, replace)) {
            fail(errno == EEXIST ? status_409 : status_500);
            return false;
        }
        file.temp_name.clear();
        if (stored_location.empty()) stored_location = base_location;
        if (stored_location.back() == '/') stored_location += percent_encode_path(file.name);
        if (!stored_text.empty()) stored_text += ", ";
        stored_text += file.name + " (" + std::to_string(file.size) + " bytes)";
    }
    complete.clear();
    return true;
}

void upload::fail(const char* status) {
    remove_temp();
    now = state::failed;
    answer_status = status;
}

void upload::remove_temp() {
    if (temp_fd != -1) close(temp_fd);
    temp_fd = -1;
    if (!temp_name.empty()) unlink(temp_name.c_str());
    temp_name.clear();
    for (const complete_file& file : complete) {
        if (!file.temp_name.empty()) unlink(file.temp_name.c_str());
    }
    complete.clear();
}
