#include "log/time_utils.h"

#include <cstdio>

std::string time_stamp_str(time_t t) {
    // Wide enough for any year that gmtime can produce.
    static char buffer[64];
    const tm* parts = gmtime(&t);
    if (parts == nullptr) return "";
    snprintf(buffer, sizeof buffer, "%04lld-%02u-%02u %02u-%02u-%02u (UTC)",
             static_cast<long long>(parts->tm_year) + 1900, parts->tm_mon + 1u,
             static_cast<unsigned>(parts->tm_mday), static_cast<unsigned>(parts->tm_hour),
             static_cast<unsigned>(parts->tm_min), static_cast<unsigned>(parts->tm_sec));
    return buffer;
}

std::string system_time_str() {
    return time_stamp_str(time(nullptr));
}
