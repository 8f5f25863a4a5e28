#include "log/printf_ex.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "engine/mt_obj.h"

const char* const log_separator_line =
    "//---------------------------------------------------------------------------\n";

namespace {

bool enabled = true;
bool print_to_file = false;
bool print_to_screen_also = false;
FILE* f = nullptr;
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
// buffer of its own.
class formatted_text {
  public:
    formatted_text(const char* format, va_list args) {
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
    formatted_text(const formatted_text&) = delete;
    formatted_text& operator=(const formatted_text&) = delete;

    bool ok() const { return length >= 0; }
    const char* data() const { return large ? large.get() : local; }
    size_t size() const { return static_cast<size_t>(length); }

  private:
    char local[4096];
    std::unique_ptr<char[]> large;
    int length;  // negative when the text could not be formatted
};

bool write_to_screen(const char* text, size_t length) {
    return fwrite(text, 1, length, stdout) == length;
}

bool write_to_file(const char* text, size_t length) {
    return fwrite(text, 1, length, f) == length && fflush(f) == 0;
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

}  // namespace

bool printf_ex_init(bool to_file, bool to_screen_also, const char* file_name, const char* mode) {
    print_to_file = to_file;
    print_to_screen_also = to_screen_also;
    if (!to_file) return true;
    if (file_name == nullptr || mode == nullptr) return false;
    printf_ex_uninit();
    f = fopen(file_name, mode);
    return f != nullptr;
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
