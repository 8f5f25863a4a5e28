#include "app/dav_locks.h"

const char* dav_locks::write_refusal(const std::string&, bool, std::string_view, long long) {
    return nullptr;
}
