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

#include "engine/mt_obj.h"
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

    bool write(const char* text, size_t length) {
        if (how == way::stream) return fwrite(text, 1, length, stdout) == length;
        if (how == way::gone || !finish_pending() || !announce_missed() ||
            offer(text, length) == outcome::refused) {
            count_missed(text, length);
            return false;
        }
        return true;
    }

  private:
    enum class way { stream, descriptor, socket, gone };
    enum class outcome { taken, refused };

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
    int fd = -1;
    std::string pending;  // the rest of a text that standard output took only in part
    unsigned long long missed_lines = 0;
};

screen_output screen;

bool write_to_screen(const char* text, size_t length) {
    return screen.write(text, length);
}

// Straight to the file's descriptor, past the stream's buffer (which stays
// empty): the text is in the file when this returns, at the price of one
// write(2) for a whole call's text, without the stream's copy and flush.
bool write_to_file(const char* text, size_t length) {
    int fd = fileno(f);
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool write_text(const char* text, size_t length) {
    if (!print_to_file) return write_to_screen(text, length);
    bool ok = false;
    if (print_to_screen_also) ok = write_to_screen(text, length);
    if (f != nullptr) {
        bool file_ok = write_to_file(text, length);
        ok = print_to_screen_also ? (ok && file_ok) : file_ok;
    }
    return ok;
}

FILE* open_log_file(const char* file_name, const char* mode) {
    return fopen(file_name, mode);
}

}  // namespace

bool printf_ex_init(bool to_file, bool to_screen_also, const char* file_name, const char* mode) {
    print_to_file = to_file;
    print_to_screen_also = to_screen_also;
    if (!to_file) return true;
    if (file_name == nullptr || mode == nullptr) return false;
    printf_ex_uninit();
    file_name_in_use = file_name;
    f = open_log_file(file_name, mode);
    return f != nullptr;
}

bool printf_ex_reopen() {
    lock_guard guard(cs);
    if (!print_to_file || file_name_in_use.empty()) return false;
    FILE* fresh = open_log_file(file_name_in_use.c_str(), "a");
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

void printf_ex_uninit() {
    if (f != nullptr) fclose(f);
    f = nullptr;
}

void printf_ex_enabled(bool value) {
    enabled = value;
}

void printf_ex_screen_never_blocks(bool value) {
    lock_guard guard(cs);
    screen.never_block(value);
}

void append_log_safe(std::string* out, const char* text, size_t length) {
    auto is_kept = [&](size_t i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F) return true;
        if (c == '\t') return true;
        if (c == '\r') return i + 1 < length && text[i + 1] == '\n';
        return c == '\n' && i > 0 && text[i - 1] == '\r';
    };
    size_t run_begin = 0;  // runs of kept bytes are appended at once
    for (size_t i = 0; i < length; ++i) {
        if (is_kept(i)) continue;
        out->append(text + run_begin, i - run_begin);
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
        out->append(escaped, 4);
        run_begin = i + 1;
    }
    out->append(text + run_begin, length - run_begin);
}
