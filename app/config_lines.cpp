#include "app/config_lines.h"

#include "app/file_text.h"

namespace {

// A configuration is small: a larger file is not one.
const off_t max_config_bytes = 1 << 20;

}  // namespace

bool read_config_lines(const std::string& file_name, config_form form,
                       std::vector<config_line>* lines) {
    lines->clear();
    std::string text;
    if (!read_regular_file(file_name, max_config_bytes, &text)) return false;
    int number = 0;
    for (size_t begin = 0; begin < text.size(); ++number) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const bool comment =
            line.compare(0, 2, "//") == 0 || (form == config_form::modern && line[0] == '#');
        if (!line.empty() && !comment) lines->push_back({number + 1, line});
    }
    return true;
}

config_entries read_config_entries(const std::vector<config_line>& lines) {
    config_entries read;
    std::string key_front;
    std::vector<int> joined;
    for (const config_line& line : lines) {
        const size_t equals = line.text.find('=');
        if (equals == std::string::npos) {
            key_front += line.text + "\r\n";
            joined.push_back(line.number);
            continue;
        }
        read.entries.push_back({key_front + line.text.substr(0, equals),
                                line.text.substr(equals + 1), line.number, std::move(joined)});
        key_front.clear();
        joined.clear();
    }
    read.unterminated = std::move(joined);
    return read;
}

param_map config_entries::params() const {
    param_map params;
    if (refused()) return params;
    for (const config_entry& entry : entries)
        params.emplace(entry.key, entry.value);
    return params;
}
