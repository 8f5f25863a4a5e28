#include "http/http_utils.h"

#include <cctype>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

namespace {

const char separators[] = "\\/";

// Stores the pair unless its key is already present: the first occurrence of a key wins.
void store(param_map* params, char* key_begin, char* key_end, char* value_begin, char* value_end) {
    if (params) params->try_emplace(std::string(key_begin, key_end), value_begin, value_end);
}

void assign(std::string* out, const char* begin, const char* end) {
    if (out) out->assign(begin, end);
}

void clear(std::string* out) {
    if (out) out->clear();
}

void set(char** out, char* value) {
    if (out) *out = value;
}

// True when the range [pos, end) starts with CR LF.
bool at_empty_line(const char* pos, const char* end) {
    return end - pos >= 2 && pos[0] == '\r' && pos[1] == '\n';
}

// The leading decimal number of [begin, end), read as atoi would read it, but clamped to the
// int range instead of overflowing.
int leading_int(const char* begin, const char* end) {
    const std::string digits(begin, end);
    const long long value = std::strtoll(digits.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// Request line "method SP target SP version\r\n"; `cur` ends where the parse stopped.
bool parse_request_line(char*& cur, char* end, std::string* method, char** target_begin,
                        char** target_end, std::string* version) {
    char* space = find_str(cur, end, " ");
    if (!space) return false;
    assign(method, cur, space);
    cur = space + 1;

    space = find_str(cur, end, " ");
    if (!space) return false;
    set(target_begin, cur);
    set(target_end, space);
    cur = space + 1;

    char* line_end = find_str(cur, end, "\r\n");
    if (!line_end) return false;
    assign(version, cur, line_end);
    cur = line_end + 2;
    return true;
}

// Fields "name: value\r\n" up to and including the empty line.
bool parse_fields(char*& cur, char* end, param_map* fields) {
    while (!at_empty_line(cur, end)) {
        char* colon = find_str(cur, end, ": ");
        if (!colon) return false;
        char* name_begin = cur;
        cur = colon + 2;
        char* line_end = find_str(cur, end, "\r\n");
        if (!line_end) return false;
        store(fields, name_begin, colon, cur, line_end);
        cur = line_end + 2;
    }
    cur += 2;
    return true;
}

// Host part "host[:port]/", when the rest of the target holds a "/".
void parse_host(char*& cur, char* end, std::string* host, int* port) {
    char* slash = find_str(cur, end, "/");
    if (!slash) return;
    char* colon = find_str(cur, slash, ":");
    if (colon) {
        assign(host, cur, colon);
        if (port) *port = leading_int(colon + 1, slash);
    } else {
        assign(host, cur, slash);
    }
    cur = slash + 1;
}

// Position of the extension dot of `file_name`, or npos when the name has no extension.
std::string::size_type ext_dot(const std::string& file_name) {
    const auto dot = file_name.rfind('.');
    const auto separator = file_name.find_last_of(separators);
    if (dot == std::string::npos) return std::string::npos;
    if (separator != std::string::npos && separator > dot) return std::string::npos;
    return dot;
}

bool is_separator(char c) {
    return std::string_view(separators).find(c) != std::string_view::npos;
}

// The value of a hexadecimal digit in either letter case; -1 for any other character.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// A character of a token, the words a media type is made of.
bool is_token_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$&^_.+-").find(c) != std::string_view::npos;
}

bool is_token(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), is_token_char);
}

// "type/subtype", optionally followed by ";" and parameters of visible ASCII characters: the
// word goes into a Content-Type field as it stands.
bool is_media_type(std::string_view word) {
    const auto slash = word.find('/');
    const auto parameters = std::min(word.find(';'), word.size());
    if (slash == std::string_view::npos || slash > parameters) return false;
    return is_token(word.substr(0, slash)) &&
           is_token(word.substr(slash + 1, parameters - slash - 1)) &&
           std::all_of(word.begin() + static_cast<std::ptrdiff_t>(parameters), word.end(),
                       [](char c) { return c > ' ' && c < 0x7F; });
}

// Takes the next word off the front of `line`: words are separated by spaces, tabs and CRs.
// Empty when none is left.
std::string_view next_word(std::string_view* line) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!line->empty() && blank(line->front()))
        line->remove_prefix(1);
    const auto length =
        static_cast<std::size_t>(std::find_if(line->begin(), line->end(), blank) - line->begin());
    const std::string_view word = line->substr(0, length);
    line->remove_prefix(length);
    return word;
}

// Formats the whole response into `out` (at most `room` bytes, NUL included) and returns the
// number of bytes of the full response without the NUL, whether it fitted or not.
int format_response(char* out, std::size_t room, int* header_length, const char* status,
                    const char* extra_headers, const char* content_type, const char* body) {
    const char* text = body ? body : status;
    const int body_length = str_length(text);
    const int length = std::snprintf(
        out, room, "HTTP/1.1 %s\r\n%sContent-Type: %s\r\nContent-Length: %i\r\n\r\n%s", status,
        extra_headers ? extra_headers : "", content_type ? content_type : "text/plain", body_length,
        text);
    if (length >= 0 && header_length) *header_length = length - body_length;
    return length;
}

}  // namespace

int str_length(const char* text) {
    return static_cast<int>(std::strlen(text));
}

// memchr finds each place where the pattern's first byte occurs; only there
// are the other bytes compared.
char* find_str(char* begin, char* end, const char* text) {
    const int length = str_length(text);
    const auto last_start = (end - begin) - length;  // negative: the pattern cannot fit
    if (last_start < 0) return nullptr;
    if (length == 0) return begin;
    const std::size_t rest = static_cast<std::size_t>(length) - 1;
    char* const last = begin + last_start;
    for (char* at = begin; at <= last; ++at) {
        at = static_cast<char*>(std::memchr(at, text[0], static_cast<std::size_t>(last - at) + 1));
        if (at == nullptr) return nullptr;
        if (std::memcmp(at + 1, text + 1, rest) == 0) return at;
    }
    return nullptr;
}

bool parse_params(char* begin, char* end, param_map* params) {
    if (params) params->clear();
    char* cur = begin;
    // The text is complete exactly when the closing empty line is all that remains.
    while (!(end - cur == 2 && at_empty_line(cur, end))) {
        char* equals = find_str(cur, end, "=");
        if (!equals) return false;
        char* line_end = find_str(equals + 1, end, "\r\n");
        if (!line_end) return false;
        store(params, cur, equals, equals + 1, line_end);
        cur = line_end + 2;
    }
    return true;
}

bool parse_query(char* begin, char* end, char** pos, param_map* params) {
    if (params) params->clear();
    char* cur = begin;
    bool result = true;
    if (begin != end) {
        for (;;) {
            char* equals = find_str(cur, end, "=");
            if (!equals) {
                result = false;
                break;
            }
            char* ampersand = find_str(equals + 1, end, "&");
            store(params, cur, equals, equals + 1, ampersand ? ampersand : end);
            if (!ampersand) {
                cur = end;
                break;
            }
            cur = ampersand + 1;
        }
    }
    set(pos, cur);
    return result;
}

bool parse_header(char* begin, char* end, char** pos, std::string* method, char** target_begin,
                  char** target_end, std::string* version, param_map* fields) {
    clear(method);
    clear(version);
    if (fields) fields->clear();
    set(target_begin, nullptr);
    set(target_end, nullptr);

    char* cur = begin;
    const bool result = parse_request_line(cur, end, method, target_begin, target_end, version) &&
                        parse_fields(cur, end, fields);
    set(pos, cur);
    return result;
}

bool parse_uri(char* begin, char* end, char** pos, std::string* scheme, std::string* user,
               std::string* password, std::string* host, int* port, std::string* path,
               char** query_begin, char** query_end, std::string* fragment) {
    for (std::string* out : {scheme, user, password, host, path, fragment})
        clear(out);
    if (port) *port = 0;
    set(query_begin, nullptr);
    set(query_end, nullptr);
    set(pos, begin);
    if (end < begin) return false;

    char* cur = begin;
    if (char* scheme_end = find_str(cur, end, "://")) {
        assign(scheme, cur, scheme_end);
        cur = scheme_end + 3;
    }
    if (char* at = find_str(cur, end, "@")) {
        char* colon = find_str(cur, at, ":");
        if (!colon) {
            set(pos, cur);
            return false;
        }
        assign(user, cur, colon);
        assign(password, colon + 1, at);
        cur = at + 1;
    }
    parse_host(cur, end, host, port);
    parse_path(cur, end, path, query_begin, query_end, fragment);
    set(pos, end);
    return true;
}

void parse_path(char* begin, char* end, std::string* path, char** query_begin, char** query_end,
                std::string* fragment) {
    clear(path);
    clear(fragment);
    set(query_begin, nullptr);
    set(query_end, nullptr);
    if (end < begin) return;
    char* question = find_str(begin, end, "?");
    char* hash = find_str(question ? question + 1 : begin, end, "#");
    if (question) {
        set(query_begin, question + 1);
        set(query_end, hash ? hash : end);
    }
    assign(path, begin, question ? question : hash ? hash : end);
    if (hash) assign(fragment, hash + 1, end);
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string percent_encode_path(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~' || c == '/';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            const auto byte = static_cast<unsigned char>(c);
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        }
    }
    return encoded;
}

bool percent_decode(const std::string& text, std::string* decoded) {
    decoded->clear();
    decoded->reserve(text.size());
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *decoded += text[i];
            continue;
        }
        const int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
        *decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

std::string get_path(const std::string& file_name) {
    const auto separator = file_name.find_last_of(separators);
    if (separator == std::string::npos) return std::string();
    return file_name.substr(0, separator + 1);
}

std::string get_name(const std::string& file_name) {
    const auto separator = file_name.find_last_of(separators);
    if (separator == std::string::npos) return file_name;
    return file_name.substr(separator + 1);
}

std::string get_ext(const std::string& file_name) {
    const auto dot = ext_dot(file_name);
    if (dot == std::string::npos) return std::string();
    return file_name.substr(dot + 1);
}

std::string change_ext(const std::string& file_name, const std::string& new_ext) {
    return file_name.substr(0, ext_dot(file_name)) + new_ext;
}

int get_level_min(const std::string& path) {
    int level = 0;
    int lowest = 0;
    std::string::size_type step_begin = 0;  // first character of the current step
    // One pass from left to right: every character is looked at once or twice.
    for (std::string::size_type cur = 0; cur < path.size();) {
        if (path.compare(cur, 2, "..") == 0) {
            lowest = std::min(lowest, --level);
            cur += 2;
            // The separator that closes a ".." step must not count as a step down.
            if (cur < path.size() && is_separator(path[cur])) step_begin = ++cur;
        } else if (is_separator(path[cur])) {
            // An empty step ("a//b", or a leading separator) and a "." step stay in the same
            // directory; counting them as a step down would let "a//../../x" or "./../x" climb
            // above the root unnoticed.
            const std::string_view step(path.data() + step_begin, cur - step_begin);
            if (!step.empty() && step != ".") ++level;
            step_begin = ++cur;
        } else {
            ++cur;
        }
    }
    return lowest;
}

bool resolve_dot_steps(const std::string& path, std::string* resolved) {
    resolved->clear();
    std::vector<std::string::size_type> starts;  // where each kept step begins in `resolved`
    std::string_view last;
    for (std::string::size_type begin = 0;;) {
        const auto slash = std::min(path.find('/', begin), path.size());
        last = std::string_view(path.data() + begin, slash - begin);
        if (last == "..") {
            if (starts.empty()) return false;
            resolved->resize(starts.back() == 0 ? 0 : starts.back() - 1);
            starts.pop_back();
        } else if (!last.empty() && last != ".") {
            if (!starts.empty()) *resolved += '/';
            starts.push_back(resolved->size());
            resolved->append(last);
        }
        if (slash == path.size()) break;
        begin = slash + 1;
    }
    // Only a path that ends with "/" names a directory's index; "docs/." and
    // "docs/x/.." name the directory docs itself, which is redirected.
    if (!starts.empty() && last.empty()) *resolved += '/';
    return true;
}

int http_print(char* buffer, int* header_length, const char* status, const char* extra_headers,
               const char* content_type, const char* body) {
    const int length = http_print_length(status, extra_headers, content_type, body);
    if (length < 0) return length;
    return format_response(buffer, static_cast<std::size_t>(length) + 1, header_length, status,
                           extra_headers, content_type, body);
}

int http_print_length(const char* status, const char* extra_headers, const char* content_type,
                      const char* body) {
    return format_response(nullptr, 0, nullptr, status, extra_headers, content_type, body);
}

namespace {

// The names of HTTP dates, indexed as std::tm counts them (0 is Sunday, 0 is January).
const char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Reads the pieces of a date off the front of a text, one after another. After the first
// mismatch every later read fails too, so the caller checks the reader once, at the end.
class date_reader {
  public:
    explicit date_reader(std::string_view text) : rest_(text) {}

    // True when every read matched and nothing of the text is left.
    bool complete() const { return ok_ && rest_.empty(); }

    bool next_is(char c) const { return ok_ && !rest_.empty() && rest_.front() == c; }

    void literal(std::string_view text) {
        ok_ = ok_ && rest_.substr(0, text.size()) == text;
        if (ok_) rest_.remove_prefix(text.size());
    }

    // Exactly `count` decimal digits.
    int number(int count) {
        int value = 0;
        for (int i = 0; i < count && ok_; ++i) {
            ok_ = !rest_.empty() && rest_.front() >= '0' && rest_.front() <= '9';
            if (ok_) value = value * 10 + (rest_.front() - '0');
            if (ok_) rest_.remove_prefix(1);
        }
        return value;
    }

    // The index of the three-letter name at the front among `names`.
    template <std::size_t count>
    int name(const char (&names)[count][4]) {
        for (std::size_t i = 0; i < count && ok_; ++i) {
            if (rest_.substr(0, 3) != names[i]) continue;
            rest_.remove_prefix(3);
            return static_cast<int>(i);
        }
        ok_ = false;
        return 0;
    }

  private:
    std::string_view rest_;
    bool ok_ = true;
};

struct civil_time {
    int weekday = 0;  // 0 is Sunday
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

void read_time_of_day(date_reader& reader, civil_time* time) {
    time->hour = reader.number(2);
    reader.literal(":");
    time->minute = reader.number(2);
    reader.literal(":");
    time->second = reader.number(2);
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
bool read_fixdate(std::string_view text, civil_time* time) {
    date_reader reader(text);
    time->weekday = reader.name(days);
    reader.literal(", ");
    time->day = reader.number(2);
    reader.literal(" ");
    time->month = reader.name(months) + 1;
    reader.literal(" ");
    time->year = reader.number(4);
    reader.literal(" ");
    read_time_of_day(reader, time);
    reader.literal(" GMT");
    return reader.complete();
}

// "Sun Nov  6 08:49:37 1994": the day is two digits or a space and one digit.
bool read_asctime(std::string_view text, civil_time* time) {
    date_reader reader(text);
    time->weekday = reader.name(days);
    reader.literal(" ");
    time->month = reader.name(months) + 1;
    reader.literal(" ");
    const bool one_digit = reader.next_is(' ');
    if (one_digit) reader.literal(" ");
    time->day = reader.number(one_digit ? 1 : 2);
    reader.literal(" ");
    read_time_of_day(reader, time);
    reader.literal(" ");
    time->year = reader.number(4);
    return reader.complete();
}

bool is_leap_year(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int days_in_month(int year, int month) {
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return lengths[month - 1] + (month == 2 && is_leap_year(year) ? 1 : 0);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (year 0 and later): the
// years are counted from March, so that the leap day is the last day of its year.
long days_from_civil(int year, int month, int day) {
    const long march_year = year - (month <= 2 ? 1 : 0);
    const long era = (march_year >= 0 ? march_year : march_year - 399) / 400;
    const long year_of_era = march_year - era * 400;
    const long day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

}  // namespace

std::string http_time_str(long t) {
    const std::time_t time = t;
    std::tm utc{};
    if (!gmtime_r(&time, &utc)) return std::string();
    // "Thu, 01 Jan " and " 00:00:00 GMT" take 25 characters; a year of an int tm_year plus
    // 1900 takes at most 11 (sign and ten digits); one more for the NUL.
    char buffer[25 + 11 + 1];
    const long long year = static_cast<long long>(utc.tm_year) + 1900;
    const int length = std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04lld %02d:%02d:%02d GMT",
                                     days[utc.tm_wday], utc.tm_mday, months[utc.tm_mon], year,
                                     utc.tm_hour, utc.tm_min, utc.tm_sec);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) return std::string();
    return std::string(buffer, static_cast<std::size_t>(length));
}

bool parse_http_time(std::string_view text, long* t) {
    civil_time time;
    if (!read_fixdate(text, &time) && !read_asctime(text, &time)) return false;
    if (time.day < 1 || time.day > days_in_month(time.year, time.month) || time.hour > 23 ||
        time.minute > 59 || time.second > 59)
        return false;
    const long days = days_from_civil(time.year, time.month, time.day);
    // 1970-01-01 was a Thursday; days % 7 lies in [-6, 6], so the sum stays positive.
    if ((days % 7 + 11) % 7 != time.weekday) return false;
    if (t) *t = days * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
    return true;
}

std::string get_content_type(const std::string& ext) {
    static const struct {
        const char* ext;
        const char* type;
    } types[] = {
        {"htm", "text/html"},
        {"html", "text/html"},
        {"ico", "image/vnd.microsoft.icon"},
        {"js", "application/javascript"},
        {"jpg", "image/jpeg"},
        {"swf", "application/x-shockwave-flash"},
    };
    for (const auto& entry : types) {
        if (ext == entry.ext) return entry.type;
    }
    return "application/octet-stream";
}

bool parse_content_types(char* begin, char* end, param_map* types) {
    if (types) types->clear();
    if (end < begin || std::find(begin, end, '\0') != end) return false;
    bool listed = false;
    for (char* line = begin; line < end;) {
        char* line_end = std::find(line, end, '\n');
        std::string_view rest(line, static_cast<std::size_t>(line_end - line));
        std::string_view type;
        for (std::string_view word; !(word = next_word(&rest)).empty() && word.front() != '#';) {
            if (type.empty()) {
                if (!is_media_type(word)) return false;
                type = word;
                continue;
            }
            listed = true;
            if (types) types->try_emplace(ascii_lower(std::string(word)), type);
        }
        line = line_end == end ? end : line_end + 1;
    }
    return listed;
}

std::string lookup_content_type(const param_map& types, const std::string& ext) {
    if (!types.empty()) {
        const auto entry = types.find(ascii_lower(ext));
        if (entry != types.end()) return entry->second;
    }
    return get_content_type(ext);
}

std::string create_uri(const std::string& scheme, const std::string& user,
                       const std::string& password, const std::string& host,
                       const std::string& path, const std::string& query,
                       const std::string& fragment) {
    std::string uri;
    if (!scheme.empty()) uri += scheme + "://";
    if (!user.empty()) uri += user + ":" + password + "@";
    uri += host + "/" + path;
    if (!query.empty()) uri += "?" + query;
    if (!fragment.empty()) uri += "#" + fragment;
    return uri;
}

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view skip_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    return text;
}

// A non-empty run of decimal digits; a number beyond 64 bits reads as the largest one.
bool read_offset(std::string_view digits, std::uint64_t* value) {
    if (digits.empty()) return false;
    std::uint64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        number = number > (UINT64_MAX - digit) / 10 ? UINT64_MAX : number * 10 + digit;
    }
    *value = number;
    return true;
}

// Compares two digit strings by their value, of any length: read_offset cannot, once both
// have reached its largest number.
bool less_in_value(std::string_view a, std::string_view b) {
    a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
    b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// One range "first-last", "first-" or "-suffix" of a file of `length` bytes.
byte_range single_byte_range(std::string_view range_text, std::uint64_t length) {
    const auto dash = range_text.find('-');
    if (dash == std::string_view::npos) return {};
    const std::string_view first_text = range_text.substr(0, dash);
    const std::string_view last_text = range_text.substr(dash + 1);
    if (first_text.empty()) {
        std::uint64_t suffix = 0;
        if (!read_offset(last_text, &suffix)) return {};
        if (suffix == 0 || length == 0) return {range_kind::unsatisfiable};
        return {range_kind::satisfiable, length - std::min(suffix, length), length - 1};
    }
    std::uint64_t first = 0;
    std::uint64_t last = UINT64_MAX;  // "first-" runs to the end
    if (!read_offset(first_text, &first)) return {};
    if (!last_text.empty() &&
        (!read_offset(last_text, &last) || less_in_value(last_text, first_text)))
        return {};
    if (first >= length) return {range_kind::unsatisfiable};
    return {range_kind::satisfiable, first, std::min(last, length - 1)};
}

// A character of an entity tag between its quotes: visible ASCII but the quote, or any byte
// beyond ASCII.
bool is_entity_tag_char(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == 0x21 || (byte >= 0x23 && byte != 0x7F);
}

// Takes the entity tag at the front of `*rest` off it: an optional "W/" and a quoted text.
// Returns the quoted text, quotes included; empty, with `*rest` unchanged, when there is none.
std::string_view take_entity_tag(std::string_view* rest) {
    std::string_view text = *rest;
    if (text.substr(0, 2) == "W/") text.remove_prefix(2);
    const auto close = text.size() > 1 && text.front() == '"' ? text.find('"', 1) : text.npos;
    if (close == std::string_view::npos) return {};
    const std::string_view opaque = text.substr(0, close + 1);
    if (!std::all_of(opaque.begin() + 1, opaque.end() - 1, is_entity_tag_char)) return {};
    rest->remove_prefix(rest->size() - text.size() + opaque.size());
    return opaque;
}

std::string_view without_weak_prefix(std::string_view tag) {
    return tag.substr(0, 2) == "W/" ? tag.substr(2) : tag;
}

}  // namespace

std::string_view trim_blanks(std::string_view text) {
    text = skip_blanks(text);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

byte_range parse_byte_range(std::string_view value, std::uint64_t length) {
    std::vector<byte_range> ranges;
    byte_range one;
    one.kind = parse_byte_ranges(value, length, 1, &ranges);
    if (one.kind == range_kind::satisfiable) one = ranges.front();
    return one;
}

range_kind parse_byte_ranges(std::string_view value, std::uint64_t length, std::size_t most,
                             std::vector<byte_range>* ranges) {
    ranges->clear();
    value = trim_blanks(value);
    const auto equals = value.find('=');
    if (equals == std::string_view::npos ||
        ascii_lower(std::string(value.substr(0, equals))) != "bytes")
        return range_kind::ignore;
    std::string_view rest = value.substr(equals + 1);
    std::size_t listed = 0;
    for (bool more = true; more;) {
        const auto comma = rest.find(',');
        const std::string_view element = trim_blanks(rest.substr(0, comma));
        more = comma != std::string_view::npos;
        if (more) rest.remove_prefix(comma + 1);
        if (element.empty()) continue;
        const byte_range range = single_byte_range(element, length);
        if (range.kind == range_kind::ignore || ++listed > most) {
            ranges->clear();
            return range_kind::ignore;
        }
        if (range.kind == range_kind::satisfiable) ranges->push_back(range);
    }
    if (listed == 0) return range_kind::ignore;
    if (ranges->empty()) return range_kind::unsatisfiable;
    std::sort(ranges->begin(), ranges->end(),
              [](const byte_range& a, const byte_range& b) { return a.first < b.first; });
    std::vector<byte_range> merged;
    for (const byte_range& range : *ranges) {
        if (!merged.empty() && range.first <= merged.back().last + 1) {
            merged.back().last = std::max(merged.back().last, range.last);
        } else {
            merged.push_back(range);
        }
    }
    *ranges = std::move(merged);
    return range_kind::satisfiable;
}

std::string content_range(const byte_range& range, std::uint64_t length) {
    const std::string total = "/" + std::to_string(length);
    switch (range.kind) {
        case range_kind::satisfiable:
            return "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) +
                   total;
        case range_kind::unsatisfiable:
            return "bytes *" + total;
        case range_kind::ignore:
            break;
    }
    return std::string();
}

std::string entity_tag(std::uint64_t size, std::uint64_t mtime_ns) {
    // Two numbers of up to 16 digits, a dash, two quotes and the NUL.
    char buffer[2 * 16 + 1 + 2 + 1];
    const int length =
        std::snprintf(buffer, sizeof buffer, "\"%llx-%llx\"", static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(mtime_ns));
    return std::string(buffer, static_cast<std::size_t>(std::max(length, 0)));
}

bool if_none_match_matches(std::string_view value, std::string_view tag) {
    value = trim_blanks(value);
    if (value == "*") return true;
    const std::string_view wanted = without_weak_prefix(tag);
    bool matched = false;
    for (std::string_view rest = value; !rest.empty();) {
        if (rest.front() == ',' || is_blank(rest.front())) {
            rest.remove_prefix(1);
            continue;
        }
        const std::string_view opaque = take_entity_tag(&rest);
        if (opaque.empty()) return false;
        matched = matched || opaque == wanted;
        rest = skip_blanks(rest);
        if (!rest.empty() && rest.front() != ',') return false;
    }
    return matched;
}

bool if_range_matches(std::string_view value, std::string_view tag,
                      std::string_view last_modified) {
    value = trim_blanks(value);
    if (value.empty()) return false;
    // A tag written by entity_tag begins with its quote; a weak one with "W/".
    const bool strong_tag = tag.substr(0, 1) == "\"";
    return value == last_modified || (strong_tag && value == tag);
}
