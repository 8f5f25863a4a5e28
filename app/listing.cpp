#include "app/listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <memory>
#include <vector>

#include "http/http_utils.h"

namespace {

struct entry {
    std::string name;
    bool is_dir = false;
    std::uint64_t size = 0;
    long long mtime = 0;
};

bool listed_name(const char* name, bool show_hidden) {
    if (name[0] != '.') return true;
    const bool dot_or_dot_dot = name[1] == '\0' || (name[1] == '.' && name[2] == '\0');
    return show_hidden && !dot_or_dot_dot;
}

// Follows a link, so a link is listed as what it points to; what cannot be
// stat'ed, and what is neither a directory nor a regular file, is not listed.
bool stat_entry(int dir_fd, const char* name, entry* e) {
    struct stat info {};
    if (fstatat(dir_fd, name, &info, 0) != 0) return false;
    if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) return false;
    e->name = name;
    e->is_dir = S_ISDIR(info.st_mode);
    e->size = e->is_dir ? 0 : static_cast<std::uint64_t>(info.st_size);
    e->mtime = static_cast<long long>(info.st_mtime);
    return true;
}

// Directories first, then files, each in byte order of their names.
bool read_entries(const std::string& dir, bool show_hidden, std::vector<entry>* entries) {
    std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), closedir);
    if (!handle) return false;
    const int dir_fd = dirfd(handle.get());
    for (;;) {
        errno = 0;  // readdir tells the end from a failure only through errno
        const dirent* found = readdir(handle.get());
        if (found == nullptr) {
            if (errno != 0) return false;
            break;
        }
        entry e;
        if (listed_name(found->d_name, show_hidden) && stat_entry(dir_fd, found->d_name, &e))
            entries->push_back(std::move(e));
    }
    std::sort(entries->begin(), entries->end(), [](const entry& a, const entry& b) {
        if (a.is_dir != b.is_dir) return a.is_dir;
        return a.name < b.name;  // char_traits compares as unsigned bytes
    });
    return true;
}

void append_html_escaped(const std::string& text, std::string* out) {
    for (const char c : text) {
        switch (c) {
            case '&':
                *out += "&amp;";
                break;
            case '<':
                *out += "&lt;";
                break;
            case '>':
                *out += "&gt;";
                break;
            case '"':
                *out += "&quot;";
                break;
            case '\'':
                *out += "&#39;";
                break;
            default:
                *out += c;
        }
    }
}

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// The bytes a URL path segment holds literally, which clients send as they are.
bool is_path_literal(unsigned char c) {
    static const std::string others = "!$&'()*+,;=:@";
    return is_unreserved(c) || others.find(static_cast<char>(c)) != std::string::npos;
}

std::string percent_encoded(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (is_unreserved(byte)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        }
    }
    return encoded;
}

// The href of an entry, not yet escaped for HTML; false when no link can open it.
bool entry_link(const entry& e, bool decoded_paths, std::string* href) {
    if (decoded_paths) {
        *href = percent_encoded(e.name);
    } else {
        if (!std::all_of(e.name.begin(), e.name.end(),
                         [](char c) { return is_path_literal(static_cast<unsigned char>(c)); }))
            return false;
        *href = e.name.find(':') == std::string::npos ? e.name : "./" + e.name;
    }
    if (e.is_dir) *href += '/';
    return true;
}

std::string readable_size(std::uint64_t size) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (size < 1024) return std::to_string(size) + " B";
    double value = static_cast<double>(size) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string readable_time(long long mtime) {
    const auto t = static_cast<time_t>(mtime);
    tm parts{};
    char text[64];
    if (gmtime_r(&t, &parts) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M", &parts) == 0)
        return "";
    return text;
}

const char page_head[] =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<style>\n"
    "body{font-family:system-ui,sans-serif;margin:1em auto;padding:0 .8em;max-width:60em}\n"
    "h1{font-size:1.3em;overflow-wrap:anywhere}\n"
    "table{border-collapse:collapse;width:100%}\n"
    "th,td{padding:.45em .4em;border-bottom:1px solid #ddd;text-align:left;vertical-align:top}\n"
    "td:first-child{overflow-wrap:anywhere}\n"
    "th+th,td+td{white-space:nowrap;color:#555;font-size:.9em}\n"
    "th:nth-child(2),td:nth-child(2){text-align:right}\n"
    "a{text-decoration:none}\n"
    "form{margin:1em 0;padding:.6em;border:1px solid #ddd}\n"
    "</style>\n";

const char upload_form[] =
    "<form method=\"post\" enctype=\"multipart/form-data\" action=\"./\">\n"
    "<input type=\"file\" name=\"file\" multiple>\n"
    "<button type=\"submit\">Upload</button>\n"
    "</form>\n";

void append_title(const std::string& url_path, bool decoded_paths, std::string* page) {
    std::string shown;
    if (!decoded_paths || !percent_decode(url_path, &shown)) shown = url_path;
    *page += "Index of ";
    append_html_escaped(shown, page);
}

void append_row(const entry& e, bool decoded_paths, std::string* page) {
    std::string href;
    *page += "<tr><td>";
    const bool linked = entry_link(e, decoded_paths, &href);
    if (linked) {
        *page += "<a href=\"";
        append_html_escaped(href, page);
        *page += "\">";
    }
    append_html_escaped(e.name, page);
    if (e.is_dir) *page += '/';
    if (linked) *page += "</a>";
    *page += "</td><td>";
    *page += e.is_dir ? "-" : readable_size(e.size);
    *page += "</td><td>";
    *page += readable_time(e.mtime);
    *page += "</td></tr>\n";
}

// About the bytes of a row besides its name, so that a large page is not copied as it grows.
constexpr size_t row_bytes = 160;

}  // namespace

bool write_listing(const std::string& dir, const std::string& url_path,
                   const listing_options& options, std::string* page) {
    page->clear();
    std::vector<entry> entries;
    if (!read_entries(dir, options.show_hidden, &entries)) return false;
    page->reserve(sizeof page_head + entries.size() * row_bytes);
    *page += page_head;
    *page += "<title>";
    append_title(url_path, options.decoded_paths, page);
    *page += "</title>\n</head>\n<body>\n<h1>";
    append_title(url_path, options.decoded_paths, page);
    *page += "</h1>\n<p><a href=\"?download=zip\">Download as ZIP</a></p>\n";
    if (options.upload_form) *page += upload_form;
    *page += "<table>\n<tr><th>Name</th><th>Size</th><th>Modified (UTC)</th></tr>\n";
    if (url_path != "/") *page += "<tr><td><a href=\"../\">../</a></td><td></td><td></td></tr>\n";
    for (const entry& e : entries)
        append_row(e, options.decoded_paths, page);
    *page += "</table>\n</body>\n</html>\n";
    return true;
}

namespace {

// The length of the well-formed UTF-8 sequence that begins at `at`; 0 when it is not one
// (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF, cut short).
size_t utf8_sequence_length(const std::string& text, size_t at) {
    const auto first = static_cast<unsigned char>(text[at]);
    if (first < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0) low = 0xA0;
        if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0) low = 0x90;
        if (first == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

void append_json_string(const std::string& text, std::string* out) {
    *out += '"';
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '"' || byte == '\\') {
            *out += '\\';
            *out += text[at++];
        } else if (byte < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", byte);
            *out += escape;
            ++at;
        } else if (const size_t length = utf8_sequence_length(text, at); length > 0) {
            out->append(text, at, length);
            at += length;
        } else {
            *out += "\\ufffd";
            ++at;
        }
    }
    *out += '"';
}

}  // namespace

bool is_well_formed_utf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence_length(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

bool write_listing_json(const std::string& dir, const listing_options& options, std::string* json) {
    json->clear();
    std::vector<entry> entries;
    if (!read_entries(dir, options.show_hidden, &entries)) return false;
    json->reserve(4 + entries.size() * (64 + 16));
    *json += '[';
    for (size_t i = 0; i < entries.size(); ++i) {
        const entry& e = entries[i];
        *json += i == 0 ? "\n{\"name\":" : ",\n{\"name\":";
        append_json_string(e.name, json);
        // The name as text may have lost bytes that are not UTF-8: the href
        // fetches it whatever its bytes, where any link can.
        *json += ",\"href\":";
        if (std::string href; entry_link(e, options.decoded_paths, &href)) {
            append_json_string(href, json);
        } else {
            *json += "null";
        }
        *json += e.is_dir ? ",\"type\":\"dir\",\"size\":" : ",\"type\":\"file\",\"size\":";
        *json += std::to_string(e.size);
        *json += ",\"mtime\":";
        *json += std::to_string(e.mtime);
        *json += '}';
    }
    *json += "\n]\n";
    return true;
}
