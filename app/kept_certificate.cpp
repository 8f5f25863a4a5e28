#include "app/kept_certificate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/file_text.h"
#include "engine/platform.h"

namespace {

const long long week_s = 7 * 86400;
const int valid_days = 365;

// The certificate and key that `folder` holds, when they still serve
// `host_names`.
bool usable(const std::string& folder, const std::vector<std::string>& host_names,
            made_certificate* made) {
    std::string cert, key;
    certificate_facts facts;
    if (!read_regular_file(folder + "/cert.pem", 1 << 20, &cert) ||
        !read_regular_file(folder + "/key.pem", 1 << 20, &key) || !read_certificate(cert, &facts) ||
        facts.valid_for_s < week_s) {
        return false;
    }
    for (const std::string& name : host_names) {
        if (std::find(facts.names.begin(), facts.names.end(), name) == facts.names.end()) {
            return false;
        }
    }
    *made = {cert, key, facts.fingerprint};
    return true;
}

// Writes `text` as `name` in `folder`: a new file made beside it, then
// renamed over it, so that a start never finds half a key.
bool write_private(const std::string& folder, const std::string& name, const std::string& text) {
    const std::string temporary = folder + "/." + name + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                        S_IRUSR | S_IWUSR);
    if (fd == -1) return false;
    const bool written = write_whole(fd, text.data(), text.size()) == text.size() && fsync(fd) == 0;
    close(fd);
    if (written && rename(temporary.c_str(), (folder + "/" + name).c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

// Makes the folder and the ones above it that are missing, private.
bool make_folder(const std::string& folder) {
    for (size_t slash = 1; slash != std::string::npos;) {
        slash = folder.find('/', slash + 1);
        const std::string step = folder.substr(0, slash);
        if (mkdir(step.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string certificate_folder() {
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/websrv";
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/websrv";
    return "";
}

bool kept_certificate(const std::string& folder, const std::vector<std::string>& host_names,
                      const std::vector<std::string>& addresses, bool renew, made_certificate* made,
                      std::string* told) {
    if (!folder.empty() && !renew && usable(folder, host_names, made)) {
        *told = "certificate: the one kept in " + folder + "/";
        return true;
    }
    std::vector<std::string> names = host_names;
    names.insert(names.end(), addresses.begin(), addresses.end());
    if (!make_self_signed(names, valid_days, made)) return false;
    const bool kept = !folder.empty() && make_folder(folder) &&
                      write_private(folder, "key.pem", made->key_pem) &&
                      write_private(folder, "cert.pem", made->cert_pem);
    *told = kept ? "certificate: made now, kept in " + folder + "/ for the next start"
                 : "certificate: made for this start only (" +
                       (folder.empty() ? std::string("no state folder")
                                       : folder + ": " + strerror(errno)) +
                       ")";
    return true;
}
