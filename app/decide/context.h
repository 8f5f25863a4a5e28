// What one decision reads besides the request: the site policy, the services
// the connections share, and the time of the monotonic clock that the login
// limit and the caches count in (milliseconds). The connection makes one for
// each request group; a test makes its own.
#pragma once

#include "app/site_policy.h"
#include "app/site_services.h"

struct decision_context {
    const site_policy& site;
    site_services& services;
    long long now_ms = 0;
};
