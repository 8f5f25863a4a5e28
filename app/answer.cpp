#include "app/answer.h"

#include <unistd.h>

#include <cstdio>

namespace {

// With large_files, which bodies go from the file (sendfile, behind the header
// sent with MSG_MORE) rather than copied into the response buffer with the
// header. bench/run --crossover, on AMD and Intel hosts alike: from 16 to 64
// KiB the file costs less CPU a request (a fifth at 16 KiB), at 128 to 512
// KiB copying does, and up to 8 KiB they cost the same. Beyond 512 KiB the
// file spares the buffer's pages. Over TLS every byte is copied into records
// anyway, and the header would take a record of its own.
const off_t sent_from_file_least = 8 * 1024 + 1;
const off_t sent_from_file_most = 64 * 1024;
const off_t copied_most = 512 * 1024;

bool sent_from_file(const site_policy& site, off_t length) {
    if (length > copied_most) return true;
    return !site.tls && length >= sent_from_file_least && length <= sent_from_file_most;
}

// Reads exactly `size` bytes of the file from `offset` into `target`,
// straight from the descriptor: a stream would add a buffer of its own.
bool read_file(int fd, char* target, off_t offset, off_t size) {
    off_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, target + done, static_cast<size_t>(size - done), offset + done);
        if (n <= 0) break;  // an error, or the file became shorter since stat
        done += n;
    }
    return done == size;
}

// A type of text as a browser reads it: without a charset, UTF-8 text shows
// as mojibake. A type that names one keeps it.
std::string with_charset(const site_policy& site, std::string type) {
    if (site.charset.empty() || type.find("charset=") != std::string::npos) return type;
    const bool text =
        type.starts_with("text/") || type == "application/javascript" || type == "application/json";
    return text ? type + "; charset=" + site.charset : type;
}

// Writes a short answer, with its terminating NUL, only when it fits. Its body
// is the status text, or that text and `body_text` on a line of their own.
written write_status(const char* status, const std::string& extra_headers,
                     const std::string& body_text, char* pos, int room) {
    const char* extra = extra_headers.empty() ? nullptr : extra_headers.c_str();
    const std::string body = body_text.empty() ? "" : std::string(status) + ": " + body_text + "\n";
    const char* text = body.empty() ? nullptr : body.c_str();
    // The text may name a file the client sent, in UTF-8.
    const char* type = body.empty() ? nullptr : "text/plain; charset=utf-8";
    written w;
    if (http_print_length(status, extra, type, text) >= room) return w;
    w.length = http_print(pos, &w.header_length, status, extra, type, text);
    return w;
}

// A short answer whose body is a page, only when there is one and it fits.
written write_page(const char* status, const std::string& extra_headers, const std::string& page,
                   char* pos, int room) {
    written w;
    const char* extra = extra_headers.empty() ? nullptr : extra_headers.c_str();
    const char* type = "text/html; charset=utf-8";
    if (page.empty() || http_print_length(status, extra, type, page.c_str()) >= room) return w;
    w.length = http_print(pos, &w.header_length, status, extra, type, page.c_str());
    return w;
}

// Writes the file answer's header and the body behind it; a body that does not
// fit, or that cannot be read whole, is answered with the 500 instead, unless
// it is to be sent from the file.
written write_file(const decision_context& context, const answer& a,
                   const std::string& extra_headers, char* pos, int room) {
    const site_policy& site = context.site;
    const long long length = a.body_length;
    int header_length = snprintf(
        pos, static_cast<size_t>(room),
        "HTTP/1.1 %s\r\n%sLast-Modified: %s\r\n%sContent-Type: %s\r\n"
        "Content-Length: %lli\r\n\r\n",
        a.status, extra_headers.c_str(),
        context.services.last_modified.at(a.file_info.st_mtime).c_str(), a.file_fields.c_str(),
        a.content_type.empty() ? file_content_type(site, a.file_name).c_str()
                               : a.content_type.c_str(),
        length);
    const bool header_fits = header_length >= 0 && header_length < room;
    const bool fits = header_fits && length <= room - header_length;
    written w;
    w.header_length = header_length;
    w.file_served = true;
    if (header_fits && site.large_files && (!fits || sent_from_file(site, length))) {
        w.length = header_length;
        w.body_from_file = true;
        return w;
    }
    // A HEAD's body is left out: nothing of it is read.
    if (!fits ||
        (!a.head_only && !read_file(a.file.get(), pos + header_length, a.body_offset, length))) {
        return write_status(status_500, extra_headers, "", pos, room);
    }
    w.length = header_length + static_cast<int>(length);
    return w;
}

// The header of a generated body, which the caller sends behind it: its
// length when known, else in chunks (or, for HTTP/1.0, to the close).
written write_generated(const answer& a, const std::string& extra_headers, char* pos, int room) {
    written w;
    const long long length = a.source->length();
    const std::string framing = length >= 0 ? "Content-Length: " + std::to_string(length) + "\r\n"
                                : a.chunked ? std::string("Transfer-Encoding: chunked\r\n")
                                            : std::string();
    const int header_length =
        snprintf(pos, static_cast<size_t>(room), "HTTP/1.1 %s\r\n%sContent-Type: %s\r\n%s\r\n",
                 a.status, extra_headers.c_str(), a.content_type.c_str(), framing.c_str());
    if (header_length < 0 || header_length >= room) return w;
    w.length = w.header_length = header_length;
    w.file_served = true;
    w.body_generated = !a.head_only;
    return w;
}

// The 304: the header alone, with the fields that name the version.
written write_not_modified(const answer& a, const std::string& extra_headers, char* pos, int room) {
    written w;
    const int length = snprintf(pos, static_cast<size_t>(room), "HTTP/1.1 %s\r\n%s\r\n", a.status,
                                extra_headers.c_str());
    if (length < 0 || length >= room) return w;
    w.length = w.header_length = length;
    return w;
}

}  // namespace

std::string file_content_type(const site_policy& site, const std::string& file_name) {
    return with_charset(site, lookup_content_type(site.content_types, get_ext(file_name)));
}

answer status_answer(const char* status, std::string extra_headers) {
    answer a;
    a.what = answer::kind::status;
    a.status = status;
    a.extra_headers = std::move(extra_headers);
    return a;
}

void frame_generated(answer* a, bool http10) {
    if (a->what != answer::kind::generated || a->source->length() >= 0) return;
    a->chunked = !http10;
    a->close_after_send = a->close_after_send || http10;
}

answer no_content_answer() {
    answer a;
    a.what = answer::kind::not_modified;
    a.status = status_204;
    return a;
}

answer waiting_answer(std::shared_ptr<work_ticket> ticket) {
    answer a;
    a.what = answer::kind::waiting;
    a.wait_for = std::move(ticket);
    return a;
}

written write_answer(const decision_context& context, const answer& a, char* pos, int room) {
    const site_policy& site = context.site;
    // Where clients may store files, no answer's type is guessed from its
    // bytes: a stored text would otherwise run as a page of this site.
    std::string extra = a.extra_headers;
    if (share_is_writable(site)) extra += "X-Content-Type-Options: nosniff\r\n";
    if (site.date_field) extra += context.services.date_field.at(context.services.wall_clock());
    written w;
    switch (a.what) {
        case answer::kind::file:
            w = write_file(context, a, extra, pos, room);
            break;
        case answer::kind::not_modified:
            w = write_not_modified(a, extra, pos, room);
            break;
        case answer::kind::generated:
            w = write_generated(a, extra, pos, room);
            break;
        default:
            w = write_page(a.status, extra, a.page, pos, room);
            if (w.length < 0) w = write_status(a.status, extra, a.body_text, pos, room);
    }
    if (a.head_only && w.length >= 0) {
        w.length = w.header_length;
        w.body_from_file = w.body_generated = false;
    }
    return w;
}
