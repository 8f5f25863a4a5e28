// The file-name helpers on any text: the path and the name make up the whole,
// the extension can be put back, and get_level_min is negative for every path
// that climbs above its root and 0 for every path without "..".
#include "fuzz/fuzz_support.h"
#include "http/http_utils.h"

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// Whether resolving the path's steps, as a file system would below a root,
// ever leaves the root: "" and "." stay, ".." goes up, a name goes down.
bool climbs_above_root(std::string_view path) {
    int level = 0;
    size_t step_begin = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !is_separator(path[i])) continue;
        std::string_view step = path.substr(step_begin, i - step_begin);
        if (step == "..") {
            if (--level < 0) return true;
        } else if (!step.empty() && step != ".") {
            ++level;
        }
        step_begin = i + 1;
    }
    return false;
}

void check_parts(const std::string& name) {
    const std::string path = get_path(name);
    const std::string last = get_name(name);
    require(path + last == name, "get_path + get_name is not the name");
    require(path.empty() || is_separator(path.back()), "get_path does not end with a separator");
    require(last.find_first_of("/\\") == std::string::npos, "get_name holds a separator");

    const std::string ext = get_ext(name);
    const bool has_ext = last.find('.') != std::string::npos;
    require(has_ext || ext.empty(), "get_ext finds an extension without a dot in the name");
    require(ext.find_first_of("./\\") == std::string::npos, "get_ext holds a dot or a separator");
    if (has_ext) {
        require(change_ext(name, "." + ext) == name, "change_ext does not put the extension back");
        require(change_ext(name, "") + "." + ext == name,
                "change_ext strips more than the extension");
    } else {
        require(change_ext(name, ".x") == name + ".x", "change_ext does not append to a bare name");
    }
}

void check_level(const std::string& name) {
    const int level = get_level_min(name);
    require(level <= 0, "get_level_min is positive");
    if (name.find("..") == std::string::npos) require(level == 0, "no \"..\" but a level below 0");
    if (climbs_above_root(name)) require(level < 0, "a path above the root is not negative");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    check_parts(name);
    check_level(name);
    return 0;
}
