#include "log/printf_ex.h"

#include <cstdarg>
#include <cstdio>

#include "engine/mt_obj.h"

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

bool write_to_screen(const char* format, va_list args) {
    return vprintf(format, args) != -1;
}

bool write_to_file(const char* format, va_list args) {
    return vfprintf(f, format, args) >= 0 && fflush(f) == 0;
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
    bool ok;
    if (!print_to_file) {
        ok = write_to_screen(format, args);
    } else {
        ok = false;
        if (print_to_screen_also) {
            // Each destination reads the arguments from their beginning.
            va_list screen_args;
            va_copy(screen_args, args);
            ok = write_to_screen(format, screen_args);
            va_end(screen_args);
        }
        if (f != nullptr) {
            bool file_ok = write_to_file(format, args);
            ok = print_to_screen_also ? (ok && file_ok) : file_ok;
        }
    }
    va_end(args);
    return ok;
}

void printf_ex_uninit() {
    if (f != nullptr) fclose(f);
    f = nullptr;
}

void printf_ex_enabled(bool value) {
    enabled = value;
}
