#include "app/site_policy.h"

#include <algorithm>

share_access access_of(const site_policy& site, const std::string& user) {
    auto named = site.rights.find(user);
    if (named == site.rights.end()) named = site.rights.find("*");
    if (named != site.rights.end()) return named->second;
    return site.upload_replace ? share_access::replace
           : site.upload       ? share_access::create
                               : share_access::read;
}

bool share_is_writable(const site_policy& site) {
    return site.upload ||
           std::any_of(site.rights.begin(), site.rights.end(),
                       [](const auto& right) { return right.second != share_access::read; });
}
