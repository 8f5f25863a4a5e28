// The whole multipart upload path: a form body, taken in pieces whose sizes
// the input chooses (so delimiters and headers straddle them), stored into a
// target directory that is the only entry of a watched parent.
// Input: one option byte (bit 0: replace; bit 1: a file "f" is there first;
// bits 2-3: a header line of 16 KiB - 40 or 16 KiB + 1 bytes is put into the
// first part's header; bit 4: one byte more than announced; bit 5: the client
// goes away half-way; bit 6: files are made under hidden names and names
// cannot be swapped, as on a file system without O_TMPFILE and
// RENAME_EXCHANGE; bit 7: placing the second file fails), four bytes for the
// piece sizes (1 to 256, in turn), then the body, whose boundary is "XyZ".
//
// Checks: the status is one the upload may give; nothing is ever written
// beside the target directory, nor into a directory under it; once the
// upload is over no temporary file is left; an upload that is not stored
// leaves the directory as it was (a replaced "f" too); no descriptor is left
// open.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "app/upload.h"
#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;

using files = std::map<std::string, std::string>;

// The watched parent and its target directory, made once per process and
// removed at exit.
class place {
  public:
    place()
        : parent_(fs::temp_directory_path() / ("websrv-fuzz-upload-" + std::to_string(getpid()))) {
        fs::create_directories(parent_ / "t");
    }
    ~place() {
        std::error_code ignored;
        fs::remove_all(parent_, ignored);
    }
    std::string target() const { return (parent_ / "t").string() + "/"; }

    // The target's files with their contents; requires that it holds nothing else.
    files stored() const {
        files found;
        for (const auto& entry : fs::directory_iterator(parent_ / "t")) {
            require(entry.is_regular_file(), "something other than a file in the target");
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream content;
            content << in.rdbuf();
            found[entry.path().filename().string()] = content.str();
        }
        return found;
    }
    bool only_the_target() const {
        auto entries = fs::directory_iterator(parent_);
        return std::distance(begin(entries), end(entries)) == 1 && fs::is_directory(parent_ / "t");
    }
    void empty() const {
        for (const auto& entry : fs::directory_iterator(parent_ / "t"))
            fs::remove_all(entry.path());
    }

  private:
    fs::path parent_;
};

int open_descriptors() {
    auto entries = fs::directory_iterator("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

bool any_temporary(const files& found) {
    return std::any_of(found.begin(), found.end(),
                       [](const auto& file) { return file.first.starts_with(".upload-"); });
}

// The body with a long header line after the first part's delimiter line.
std::string with_long_header(std::string body, int mode) {
    if (mode == 0) return body;
    const size_t line_end = body.find("\r\n");
    if (line_end == std::string::npos) return body;
    const size_t length = mode == 1 ? 16 * 1024 - 40 : 16 * 1024 + 1;
    body.insert(line_end + 2, "X-Long: " + std::string(length, 'h') + "\r\n");
    return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const place where;
    if (size < 5) return 0;
    const uint8_t options = data[0];
    const bool replace = options & 1;
    const uint8_t* sizes = data + 1;
    const std::string body = with_long_header(
        std::string(reinterpret_cast<const char*>(data + 5), size - 5), (options >> 2) & 3);
    const size_t announced = body.size() - ((options & 16) && !body.empty() ? 1 : 0);
    const size_t sent = options & 32 ? body.size() / 2 : body.size();

    upload_test_seams.no_unnamed_files = upload_test_seams.no_exchange = options & 64;
    int placings = 0;
    upload_test_seams.before_placing = [&](int, const std::string&) {
        return (options & 128) && ++placings == 2 ? EIO : 0;
    };

    const int descriptors = open_descriptors();
    if (options & 2) std::ofstream(where.target() + "f") << "there first";
    const files before = where.stored();
    upload::state state = upload::state::receiving;
    std::string status;
    {
        const int target = open(where.target().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        auto u = upload::form_files(target, "XyZ", static_cast<off_t>(announced),
                                    replace ? if_taken::replace : if_taken::refuse, "/t/");
        close(target);
        for (size_t at = 0, turn = 0; at < sent && state == upload::state::receiving; ++turn) {
            const size_t piece = std::min<size_t>(sizes[turn % 4] + 1u, sent - at);
            state = u->take(body.data() + at, piece);
            at += piece;
        }
        if (state != upload::state::receiving) status = u->status();
    }
    require(where.only_the_target(), "something was written beside the target");
    const files after = where.stored();
    require(!any_temporary(after), "a temporary file is left once the upload is over");
    if (state != upload::state::stored) require(after == before, "an upload not stored left files");
    if (state != upload::state::receiving) {
        static const std::string statuses[] = {
            "201 Created",
            "400 Bad Request",
            "403 Forbidden",
            "409 Conflict",
            "413 Payload Too Large",
            "503 Service Unavailable",
            "500 Internal Server Error"};  // only where placing is made to fail
        const auto last = std::end(statuses) - (options & 128 ? 0 : 1);
        require(std::find(std::begin(statuses), last, status) != last, "an unexpected status");
    }
    upload_test_seams = upload_seams();
    where.empty();
    require(open_descriptors() == descriptors, "a descriptor leaks");
    return 0;
}
