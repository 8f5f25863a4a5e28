#include "app/site_services.h"

#include "http/http_utils.h"

std::string date_field_text(time_t now) {
    return "Date: " + http_time_str(static_cast<long>(now)) + "\r\n";
}

std::string last_modified_text(time_t modified) {
    return http_time_str(static_cast<long>(modified));
}

time_t wall_clock_now() {
    return time(nullptr);
}
