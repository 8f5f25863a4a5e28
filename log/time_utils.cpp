#include "log/time_utils.h"

#include <cstdio>

std::string time_stamp_str(time_t t) {
    tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) return "";
    char buffer[64];  // wide enough for any year that gmtime_r can produce
    snprintf(buffer, sizeof buffer, "%04lld-%02u-%02u %02u-%02u-%02u (UTC)",
             static_cast<long long>(parts.tm_year) + 1900, parts.tm_mon + 1u,
             static_cast<unsigned>(parts.tm_mday), static_cast<unsigned>(parts.tm_hour),
             static_cast<unsigned>(parts.tm_min), static_cast<unsigned>(parts.tm_sec));
    return buffer;
}

const std::string& system_time_str() {
    static time_text_cache stamps(time_stamp_str);
    return stamps.at(time(nullptr));
}

std::string access_log_time_str(time_t t) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) return "";
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%02u/%s/%04lld:%02u:%02u:%02u +0000",
             static_cast<unsigned>(parts.tm_mday), months[parts.tm_mon],
             static_cast<long long>(parts.tm_year) + 1900, static_cast<unsigned>(parts.tm_hour),
             static_cast<unsigned>(parts.tm_min), static_cast<unsigned>(parts.tm_sec));
    return buffer;
}

const std::string& access_log_time_str() {
    static time_text_cache stamps(access_log_time_str);
    return stamps.at(time(nullptr));
}
