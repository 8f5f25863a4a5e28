#include "app/request.h"

#include <algorithm>
#include <cstring>

#include "http/http_utils.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The place of the field `name` in `head`, or null for a field the handler does not read.
std::optional<std::string_view>* field_slot(request_head* head, std::string_view name) {
    if (equal_ignoring_case(name, "host")) return &head->host;
    if (equal_ignoring_case(name, "authorization")) return &head->authorization;
    if (equal_ignoring_case(name, "content-length")) return &head->content_length;
    if (equal_ignoring_case(name, "transfer-encoding")) return &head->transfer_encoding;
    if (equal_ignoring_case(name, "connection")) return &head->connection;
    if (equal_ignoring_case(name, "range")) return &head->range;
    if (equal_ignoring_case(name, "if-range")) return &head->if_range;
    if (equal_ignoring_case(name, "if-none-match")) return &head->if_none_match;
    if (equal_ignoring_case(name, "if-modified-since")) return &head->if_modified_since;
    if (equal_ignoring_case(name, "expect")) return &head->expect;
    if (equal_ignoring_case(name, "content-type")) return &head->content_type;
    if (equal_ignoring_case(name, "accept")) return &head->accept;
    if (equal_ignoring_case(name, "origin")) return &head->origin;
    if (equal_ignoring_case(name, "sec-fetch-site")) return &head->sec_fetch_site;
    if (equal_ignoring_case(name, "referer")) return &head->referer;
    if (equal_ignoring_case(name, "user-agent")) return &head->user_agent;
    if (equal_ignoring_case(name, "depth")) return &head->depth;
    if (equal_ignoring_case(name, "destination")) return &head->destination;
    if (equal_ignoring_case(name, "overwrite")) return &head->overwrite;
    if (equal_ignoring_case(name, "if")) return &head->if_tokens;
    if (equal_ignoring_case(name, "lock-token")) return &head->lock_token;
    if (equal_ignoring_case(name, "timeout")) return &head->timeout;
    return nullptr;
}

bool read_request_line(std::string_view line, request_head* head) {
    const auto first = line.find(' ');
    if (first == std::string_view::npos) return false;
    const auto second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    head->method = line.substr(0, first);
    head->target = line.substr(first + 1, second - first - 1);
    head->version = line.substr(second + 1);
    head->request_line = line;
    return true;
}

bool read_field_line(std::string_view line, request_head* head) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view name = line.substr(0, colon);
    if (name.empty() || std::any_of(name.begin(), name.end(), is_blank)) return true;
    if (auto* slot = field_slot(head, name); slot != nullptr && !slot->has_value()) {
        *slot = trim_blanks(line.substr(colon + 1));
    }
    return true;
}

std::string_view range(const char* begin, const char* end) {
    return std::string_view(begin, static_cast<size_t>(end - begin));
}

}  // namespace

bool read_request_head(char* begin, char* end, char** next, request_head* head) {
    *head = request_head();
    char* head_end = find_str(begin, end, "\r\n\r\n");  // the first line end of the empty line
    if (head_end == nullptr) return false;
    *next = head_end + 4;
    char* line_end = find_str(begin, head_end + 2, "\r\n");
    if (!read_request_line(range(begin, line_end), head)) return false;
    head->fields = range(line_end + 2, head_end + 2);
    for (char* line = line_end + 2; line < head_end + 2; line = line_end + 2) {
        line_end = find_str(line, head_end + 2, "\r\n");
        if (!read_field_line(range(line, line_end), head)) return false;
    }
    return true;
}

bool announces_body(const request_head& head) {
    if (head.transfer_encoding) return true;
    if (!head.content_length) return false;
    const std::string_view length = *head.content_length;
    return length.empty() || length.find_first_not_of('0') != std::string_view::npos;
}

group_frame frame_group(char* begin, int length, group_scan* scan) {
    if (length >= 4 && memcmp(begin + length - 4, "\r\n\r\n", 4) == 0) return group_frame::complete;
    char* end = begin + length;
    for (;;) {
        char* from = begin + std::max(scan->unchecked_head, scan->searched - 3);
        char* head_end = find_str(from, end, "\r\n\r\n");
        if (head_end == nullptr) {
            scan->searched = length;
            return group_frame::incomplete;
        }
        request_head head;
        char* next = nullptr;
        if (read_request_head(begin + scan->unchecked_head, end, &next, &head) &&
            announces_body(head)) {
            scan->body_head_end = static_cast<int>(next - begin);
            return group_frame::body_follows;
        }
        scan->unchecked_head = scan->searched = static_cast<int>(head_end + 4 - begin);
    }
}

namespace {

std::string lower_case(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// A parameter's value at the start of `rest`: a quoted string, whose quotes
// and backslashes are taken off, or a word up to ";". False for an open quote.
bool take_parameter_value(std::string_view* rest, std::string* value) {
    value->clear();
    if (rest->empty() || rest->front() != '"') {
        const size_t end = std::min(rest->find(';'), rest->size());
        *value = std::string(trim_blanks(rest->substr(0, end)));
        rest->remove_prefix(end);
        return true;
    }
    for (size_t i = 1; i < rest->size(); ++i) {
        const char c = (*rest)[i];
        if (c == '"') {
            rest->remove_prefix(i + 1);
            return true;
        }
        if (c == '\\' && i + 1 < rest->size()) ++i;
        value->push_back((*rest)[i]);
    }
    return false;
}

}  // namespace

bool parse_media_type(std::string_view text, media_type* type) {
    *type = media_type();
    std::string_view rest = text;
    const size_t end = std::min(rest.find(';'), rest.size());
    const std::string_view name = trim_blanks(rest.substr(0, end));
    const size_t slash = name.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == name.size()) return false;
    type->type = lower_case(name);
    rest.remove_prefix(end);
    while (!rest.empty()) {
        rest.remove_prefix(1);  // the ";"
        rest = trim_blanks(rest);
        if (rest.empty()) break;  // a ";" at the end
        const size_t equals = rest.find('=');
        const size_t semicolon = std::min(rest.find(';'), rest.size());
        if (equals == std::string_view::npos || equals > semicolon) return false;
        const std::string parameter = lower_case(trim_blanks(rest.substr(0, equals)));
        if (parameter.empty()) return false;
        rest = trim_blanks(rest.substr(equals + 1));
        std::string value;
        if (!take_parameter_value(&rest, &value)) return false;
        type->parameters.emplace(parameter, value);
        rest = trim_blanks(rest);
        if (!rest.empty() && rest.front() != ';') return false;
    }
    return true;
}

bool lists_connection_option(const request_head& head, std::string_view option) {
    std::string_view options = head.connection.value_or("");
    while (!options.empty()) {
        const auto comma = std::min(options.find(','), options.size());
        if (equal_ignoring_case(trim_blanks(options.substr(0, comma)), option)) return true;
        options.remove_prefix(std::min(comma + 1, options.size()));
    }
    return false;
}

bool split_target(char* begin, char* end, request_target* target) {
    *target = request_target();
    auto take_path = [&](char* path_begin) {
        parse_path(path_begin, end, &target->path, &target->query_begin, &target->query_end,
                   &target->fragment);
    };
    if (begin < end && *begin == '/') {
        take_path(begin + 1);
        return true;
    }
    char* scheme_end = find_str(begin, end, "://");
    char* authority_end = scheme_end ? find_str(scheme_end + 3, end, "/") : nullptr;
    // Only the scheme and the authority go to parse_uri: an "@" in the path is a character.
    char* whole_end = authority_end ? authority_end + 1 : end;
    if (!parse_uri(begin, whole_end, nullptr, &target->scheme, &target->user, &target->password,
                   nullptr, nullptr, &target->path, &target->query_begin, &target->query_end,
                   &target->fragment)) {
        return false;
    }
    target->has_user_info =
        find_str(scheme_end ? scheme_end + 3 : begin, whole_end, "@") != nullptr;
    if (authority_end) take_path(authority_end + 1);
    return true;
}

std::string_view basic_credentials(std::string_view authorization) {
    const auto scheme_end = std::min(authorization.find_first_of(" \t"), authorization.size());
    if (!equal_ignoring_case(authorization.substr(0, scheme_end), "basic")) return {};
    return trim_blanks(authorization.substr(scheme_end));
}
