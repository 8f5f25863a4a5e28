// The forms in which connections write the log (app/connection_log.h).
#pragma once

enum class log_format {
    spec,      // every event, job, request group and answer header
    combined,  // a line per request in the combined access log format, short lines for the rest
};
