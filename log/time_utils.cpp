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

// Log lines come in bursts within one second: each second is formatted once.
const std::string& system_time_str() {
    static time_t formatted_second = 0;
    static std::string stamp;
    time_t now = time(nullptr);
    if (stamp.empty() || now != formatted_second) {
        stamp = time_stamp_str(now);
        formatted_second = now;
    }
    return stamp;
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
    static time_t formatted_second = 0;
    static std::string stamp;
    time_t now = time(nullptr);
    if (stamp.empty() || now != formatted_second) {
        stamp = access_log_time_str(now);
        formatted_second = now;
    }
    return stamp;
}
