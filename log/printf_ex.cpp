#include "log/printf_ex.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/mt_obj.h"
#include "engine/platform.h"
#include "log/time_utils.h"

const char* const log_separator_line =
    "//---------------------------------------------------------------------------\n";

namespace {

bool enabled = true;
bool print_to_file = false;
bool print_to_screen_also = false;
FILE* f = nullptr;
std::string file_name_in_use;  // what printf_ex_reopen opens again
mt_obj cs;

// Holds the lock for the lifetime of one printf_ex call.
class lock_guard {
  public:
    explicit lock_guard(mt_obj& lock) : held(lock) { held.lock(); }
    ~lock_guard() { held.unlock(); }
    lock_guard(const lock_guard&) = delete;
    lock_guard& operator=(const lock_guard&) = delete;

  private:
    mt_obj& held;
};

// The text of one call, formatted once: every destination gets the same bytes.
// Most texts fit the local array; a longer one (a large request group) gets a
// buffer of its own. A format whose only directives are "%s" and "%%" (every
// line the server writes per request) is joined here directly, the same bytes
// as vsnprintf gives at a fraction of the cost; any other goes to vsnprintf.
class formatted_text {
  public:
    formatted_text(const char* format, va_list args) {
        va_list again;
        va_copy(again, args);
        if (!join_strings(format, args)) print(format, again);
        va_end(again);
    }
    formatted_text(const formatted_text&) = delete;
    formatted_text& operator=(const formatted_text&) = delete;

    bool ok() const { return length >= 0; }
    const char* data() const { return large ? large.get() : local; }
    size_t size() const { return static_cast<size_t>(length); }

  private:
    // A run of the text: a piece of the format or a "%s" value.
    struct piece {
        const char* text;
        size_t size;
    };

    // False, having written nothing, when the format is not for this way.
    bool join_strings(const char* format, va_list args) {
        piece pieces[32];
        size_t count = 0;
        size_t total = 0;
        for (const char* p = format; *p != '\0';) {
            if (count + 2 > std::size(pieces)) return false;
            const char* literal_end = p;
            while (*literal_end != '\0' && *literal_end != '%')
                ++literal_end;
            if (literal_end != p) {
                pieces[count++] = {p, static_cast<size_t>(literal_end - p)};
                total += pieces[count - 1].size;
            }
            p = literal_end;
            if (*p == '\0') break;
            if (p[1] == '%') {
                pieces[count++] = {p, 1};
            } else if (p[1] == 's') {
                const char* value = va_arg(args, const char*);
                if (value == nullptr) return false;  // vsnprintf's "(null)"
                pieces[count++] = {value, strlen(value)};
            } else {
                return false;
            }
            total += pieces[count - 1].size;
            p += 2;
        }
        if (total > static_cast<size_t>(INT_MAX)) return false;
        char* out = local;
        if (total >= sizeof local) {
            large.reset(new (std::nothrow) char[total + 1]);
            if (!large) return false;
            out = large.get();
        }
        for (size_t i = 0; i < count; ++i) {
            memcpy(out, pieces[i].text, pieces[i].size);
            out += pieces[i].size;
        }
        *out = '\0';
        length = static_cast<int>(total);
        return true;
    }

    void print(const char* format, va_list args) {
        va_list again;
        va_copy(again, args);
        length = vsnprintf(local, sizeof local, format, args);
        if (length >= static_cast<int>(sizeof local)) {
            large.reset(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
            if (large) {
                vsnprintf(large.get(), static_cast<size_t>(length) + 1, format, again);
            } else {
                length = -1;
            }
        }
        va_end(again);
    }

    char local[4096];
    std::unique_ptr<char[]> large;
    int length = -1;  // negative when the text could not be formatted
};

// Standard output as the log writes it. Through the C stream by default;
// once told never to block, a pipe, terminal or socket is written without
// waiting, and what it cannot take at once is dropped and counted.
class screen_output {
  public:
    void never_block(bool value) {
        reset();
        if (!value) return;
        fflush(stdout);
        struct stat info {};
        if (fstat(STDOUT_FILENO, &info) != 0) return;
        if (S_ISSOCK(info.st_mode)) {
            how = way::socket;
            fd = STDOUT_FILENO;
        } else if (S_ISFIFO(info.st_mode) || (S_ISCHR(info.st_mode) && isatty(STDOUT_FILENO))) {
            // A description of its own: setting O_NONBLOCK on the inherited one
            // would also change it for the shell and every other process sharing it.
            int own = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (own == -1) return;  // stays a plain stream
            how = way::descriptor;
            fd = own;
        }
    }

    void share(bool value) { shared = value; }

    bool write(const char* text, size_t length) {
        if (!shared) return write_whole(text, length);
        bool ok = true;
        for (size_t piece; length > 0; text += piece, length -= piece) {
            piece = whole_lines_piece(text, length);
            ok = write_whole(text, piece) && ok;
        }
        return ok;
    }

  private:
    enum class way { stream, descriptor, socket, gone };
    enum class outcome { taken, refused };

    // The start of `text` to write at once while processes share standard
    // output: whole lines, at most PIPE_BUF bytes unless one line is longer,
    // which a pipe takes whole or not at all, so their lines never mix.
    static size_t whole_lines_piece(const char* text, size_t length) {
        if (length <= PIPE_BUF) return length;
        if (const void* last = memrchr(text, '\n', PIPE_BUF))
            return static_cast<size_t>(static_cast<const char*>(last) - text) + 1;
        const void* end = memchr(text + PIPE_BUF, '\n', length - PIPE_BUF);
        return end == nullptr ? length
                              : static_cast<size_t>(static_cast<const char*>(end) - text) + 1;
    }

    bool write_whole(const char* text, size_t length) {
        if (how == way::stream) {
            // Shared, each piece leaves in a write of its own.
            return fwrite(text, 1, length, stdout) == length && (!shared || fflush(stdout) == 0);
        }
        if (how == way::gone || !finish_pending() || !announce_missed() ||
            offer(text, length) == outcome::refused) {
            count_missed(text, length);
            return false;
        }
        return true;
    }

    void reset() {
        if (how == way::descriptor) close(fd);
        how = way::stream;
        fd = -1;
        pending.clear();
        missed_lines = 0;
    }

    ssize_t write_some(const char* data, size_t length) {
        return how == way::socket ? send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : ::write(fd, data, length);
    }

    // Writes what standard output takes now. A text taken in part is taken:
    // its rest is kept and goes out before anything else, so no text is cut.
    outcome offer(const char* data, size_t length) {
        ssize_t n = write_some(data, length);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) how = way::gone;
            return outcome::refused;
        }
        if (n == 0 && length > 0) return outcome::refused;
        pending.assign(data + n, length - static_cast<size_t>(n));
        return outcome::taken;
    }

    // True when no rest of an earlier text is waiting any more.
    bool finish_pending() {
        if (pending.empty()) return true;
        std::string rest;
        rest.swap(pending);
        if (offer(rest.data(), rest.size()) == outcome::refused) pending.swap(rest);
        return pending.empty();
    }

    // True when no count of missed lines is waiting to be told any more.
    bool announce_missed() {
        if (missed_lines == 0) return true;
        char notice[128];
        int length = snprintf(notice, sizeof notice,
                              "%s standard output missed %llu lines; the log file has them\n",
                              system_time_str().c_str(), missed_lines);
        if (offer(notice, static_cast<size_t>(std::max(length, 0))) == outcome::refused) {
            return false;
        }
        missed_lines = 0;
        return pending.empty();
    }

    // Lines of a dropped text: its line feeds, and an unfinished last line.
    void count_missed(const char* text, size_t length) {
        missed_lines += static_cast<unsigned long long>(std::count(text, text + length, '\n'));
        if (length > 0 && text[length - 1] != '\n') ++missed_lines;
    }

    way how = way::stream;
    bool shared = false;  // other processes write standard output too
    int fd = -1;
    std::string pending;  // the rest of a text that standard output took only in part
    unsigned long long missed_lines = 0;
};

screen_output screen;

bool write_to_screen(const char* text, size_t length) {
    return screen.write(text, length);
}

// Texts the log file could not take whole (a full disk, say). Serving goes on
// without them: standard error hears of the first failure of a run, and the
// file gets a stamped line with their number as soon as it takes text again,
// before any later text.
class file_losses {
  public:
    void reset(const char* file_name) {
        name = file_name;
        lost = 0;
        cut = false;
    }

    // After a write that took only `written` bytes of `texts` texts that
    // were to go out together at `text`.
    void count(const char* text, size_t written, int error, unsigned long long texts = 1) {
        if (lost == 0) {
            fprintf(stderr, "log: can not write to %s: %s; serving goes on\n", name.c_str(),
                    strerror(error));
        }
        lost += texts;
        if (written > 0) cut = text[written - 1] != '\n';
    }

    // True when no loss is left untold. A text cut by a failure leaves an
    // unfinished line: the telling line then begins on a line of its own.
    bool told(int fd) {
        if (lost == 0) return true;
        const std::string line =
            (cut ? "\n" : "") + system_time_str() + " log: " + std::to_string(lost) +
            (lost == 1 ? " text" : " texts") + " could not be written to " + name + "\n";
        const size_t written = write_whole(fd, line.data(), line.size());
        if (written == line.size()) {
            lost = 0;
            cut = false;
            return true;
        }
        if (written > 0) cut = line[written - 1] != '\n';
        return false;
    }

  private:
    std::string name;
    unsigned long long lost = 0;
    bool cut = false;  // the file ends in the middle of a text that was lost
};

file_losses losses;

// Straight to the file's descriptor, past the stream's buffer (which stays
// empty): the text is in the file when this returns, at the price of one
// write(2) for a whole call's text, without the stream's copy and flush. A
// text that the file does not take whole counts as lost.
bool write_to_file(const char* text, size_t length) {
    const int fd = fileno(f);
    const size_t written = losses.told(fd) ? write_whole(fd, text, length) : 0;
    if (written == length) return true;
    losses.count(text, written, errno);
    return false;
}

// Texts kept to be written a round at a time, and where each ends.
class gathered_texts {
  public:
    bool on = false;

    void add(const char* text, size_t length) {
        bytes.append(text, length);
        ends.push_back(bytes.size());
    }
    bool empty() const { return ends.empty(); }
    bool full() const { return bytes.size() >= 64 * 1024; }
    const std::string& text() const { return bytes; }
    // How many texts do not lie whole in the first `written` bytes.
    unsigned long long not_whole(size_t written) const {
        return static_cast<unsigned long long>(ends.end() -
                                               std::upper_bound(ends.begin(), ends.end(), written));
    }
    void clear() {
        bytes.clear();
        ends.clear();
    }

  private:
    std::string bytes;
    std::vector<size_t> ends;
};

gathered_texts gathered;

// The gathered texts to the file in one write; each that does not reach it
// whole counts as lost, as if it had been written alone.
bool write_gathered_to_file() {
    const int fd = fileno(f);
    const std::string& text = gathered.text();
    const size_t written = losses.told(fd) ? write_whole(fd, text.data(), text.size()) : 0;
    if (written == text.size()) return true;
    losses.count(text.data(), written, errno, gathered.not_whole(written));
    return false;
}

// Standard output gets the gathered texts as one text: what it cannot take
// is dropped whole and its lines counted.
bool write_gathered() {
    if (gathered.empty()) return true;
    bool ok = true;
    if (!print_to_file || print_to_screen_also) {
        ok = write_to_screen(gathered.text().data(), gathered.text().size());
    }
    if (print_to_file) ok = f != nullptr && write_gathered_to_file() && ok;
    gathered.clear();
    return ok;
}

bool write_text(const char* text, size_t length) {
    if (gathered.on) {
        gathered.add(text, length);
        return !gathered.full() || write_gathered();
    }
    if (!print_to_file) return write_to_screen(text, length);
    bool ok = false;
    if (print_to_screen_also) ok = write_to_screen(text, length);
    if (f != nullptr) {
        bool file_ok = write_to_file(text, length);
        ok = print_to_screen_also ? (ok && file_ok) : file_ok;
    }
    return ok;
}

// The open(2) flags of an fopen mode: "r", "w" or "a", then any of "+", "b",
// "x" and "e"; -1 for a mode that fopen refuses too.
int open_flags(const char* mode) {
    int flags = 0;
    if (mode[0] == 'w') {
        flags = O_CREAT | O_TRUNC;
    } else if (mode[0] == 'a') {
        flags = O_CREAT | O_APPEND;
    } else if (mode[0] != 'r') {
        return -1;
    }
    const bool update = strchr(mode + 1, '+') != nullptr;
    if (strchr(mode + 1, 'x') != nullptr) flags |= O_EXCL;
    if (strchr(mode + 1, 'e') != nullptr) flags |= O_CLOEXEC;
    return flags | (update ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY);
}

// fopen, except that a file it creates is readable and writable by its owner
// only (the log holds the password and the credentials clients send), an
// existing file keeps its mode, and a symbolic link is never followed: one
// planted where the log goes would send it to any file.
FILE* open_private(const char* file_name, const char* mode) {
    const int flags = open_flags(mode);
    if (flags == -1) return nullptr;
    int fd = open(file_name, flags | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd == -1) return nullptr;
    FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) close(fd);
    return stream;
}

}  // namespace

bool printf_ex_init(bool to_file, bool to_screen_also, const char* file_name, const char* mode) {
    print_to_file = to_file;
    print_to_screen_also = to_screen_also;
    if (!to_file) return true;
    if (file_name == nullptr || mode == nullptr) return false;
    printf_ex_uninit();
    file_name_in_use = file_name;
    f = open_private(file_name, mode);
    losses.reset(file_name);
    return f != nullptr;
}

bool printf_ex_reopen() {
    lock_guard guard(cs);
    if (!print_to_file || file_name_in_use.empty()) return false;
    write_gathered();  // what came before the move belongs to the file moved away
    FILE* fresh = open_private(file_name_in_use.c_str(), "a");
    if (fresh == nullptr) return false;
    printf_ex_uninit();
    f = fresh;
    return true;
}

bool printf_ex(const char* format, ...) {
    if (!enabled) return true;
    lock_guard guard(cs);
    va_list args;
    va_start(args, format);
    formatted_text text(format, args);
    va_end(args);
    return text.ok() && write_text(text.data(), text.size());
}

bool printf_ex_append_only() {
    lock_guard guard(cs);
    if (f == nullptr) return false;
    const int flags = fcntl(fileno(f), F_GETFL);
    return flags != -1 && fcntl(fileno(f), F_SETFL, flags | O_APPEND) == 0;
}

void printf_ex_uninit() {
    write_gathered();
    if (f != nullptr) fclose(f);
    f = nullptr;
}

void printf_ex_gather(bool value) {
    lock_guard guard(cs);
    if (!value) write_gathered();
    gathered.on = value;
}

bool printf_ex_flush() {
    lock_guard guard(cs);
    return write_gathered();
}

void printf_ex_enabled(bool value) {
    enabled = value;
}

void printf_ex_screen_never_blocks(bool value) {
    lock_guard guard(cs);
    screen.never_block(value);
}

void printf_ex_screen_shared(bool value) {
    lock_guard guard(cs);
    screen.share(value);
}

namespace {

// The length of the well-formed UTF-8 sequence at `text` (of `available`
// bytes) when it encodes a code point of U+00A0 or above; 0 for anything else:
// a stray or missing continuation byte, an overlong form, a surrogate, a code
// point above U+10FFFF, and the C1 controls U+0080 to U+009F, which 8-bit
// terminals obey.
size_t printable_utf8_length(const unsigned char* text, size_t available) {
    const unsigned char lead = text[0];
    size_t length = 0;
    char32_t code_point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07;
    }
    if (length == 0 || length > available) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        code_point = (code_point << 6) | (text[i] & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0xA0, 0x800, 0x10000};  // shorter forms are overlong
    if (code_point < smallest[length] || code_point > 0x10FFFF) return 0;
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return 0;
    return length;
}

// How many bytes from `at` stay as they are; 0 when the byte there is escaped.
size_t kept_length(const char* text, size_t length, size_t at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
        return printable_utf8_length(reinterpret_cast<const unsigned char*>(text) + at,
                                     length - at);
    }
    if ((c >= 0x20 && c != 0x7F) || c == '\t') return 1;
    if (c == '\r') return at + 1 < length && text[at + 1] == '\n' ? 1 : 0;
    return c == '\n' && at > 0 && text[at - 1] == '\r' ? 1 : 0;
}

}  // namespace

void append_log_safe(std::string* out, const char* text, size_t length) {
    size_t run_begin = 0;  // runs of kept bytes are appended at once
    for (size_t i = 0; i < length;) {
        // Most of a request head is printable ASCII: pass over it without a
        // call per byte.
        while (i < length && static_cast<unsigned char>(text[i]) - 0x20u < 0x5Fu)
            ++i;
        if (i == length) break;
        if (size_t kept = kept_length(text, length, i); kept > 0) {
            i += kept;
            continue;
        }
        out->append(text + run_begin, i - run_begin);
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
        out->append(escaped, 4);
        run_begin = ++i;
    }
    out->append(text + run_begin, length - run_begin);
}

void append_access_log_field(std::string* out, std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            out->push_back(c);
            continue;
        }
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        out->append(escaped, 4);
    }
}
