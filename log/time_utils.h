// Time stamp of the log's event lines.
#pragma once

#include <ctime>
#include <string>

// The current UTC time as "YYYY-MM-DD hh-mm-ss (UTC)", for example
// "2009-03-01 17-05-09 (UTC)": hyphens, not colons, between the time's parts.
// Not reentrant: it keeps the last stamp, formatted once per second, in state
// shared by all calls; the reference stays valid until the next call.
const std::string& system_time_str();

// The same format for a given calendar time. Years beyond four digits are
// written in full, never cut; a time gmtime_r cannot convert gives "".
// Reentrant.
std::string time_stamp_str(time_t t);

// The current UTC time as the access logs of web servers write it,
// "09/Dec/2026:04:20:00 +0000". Formatted once per second, like
// system_time_str, and not reentrant either.
const std::string& access_log_time_str();

// The same format for a given calendar time; "" when gmtime_r cannot convert
// it. Reentrant.
std::string access_log_time_str(time_t t);

// A text made from a calendar time, kept until another time is asked for:
// log lines and answers come in bursts within one second, and the same few
// files are served again and again. The reference stays valid until the
// next call.
class time_text_cache {
  public:
    explicit time_text_cache(std::string (*make)(time_t)) : make(make) {}
    const std::string& at(time_t t) {
        if (text.empty() || t != made_for) {
            text = make(t);
            made_for = t;
        }
        return text;
    }

  private:
    std::string (*make)(time_t);
    time_t made_for = 0;
    std::string text;
};
