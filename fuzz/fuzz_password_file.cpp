// The password-file reader on any text: its entries are the lines that are
// neither blank nor comments, in order and inside the text; every line it
// does not take is told once; what it takes is a whole "user:hash" line of
// the text, for users that are each on one line only.
#include <map>

#include "app/password_file.h"
#include "fuzz/fuzz_support.h"

namespace {

void require_entries_in_order(const std::vector<password_entry>& entries, std::string_view text) {
    size_t after = 0;
    int line = 0;
    for (const password_entry& entry : entries) {
        require(entry.begin >= after && entry.begin < entry.end && entry.end <= text.size(),
                "an entry is not inside the text, after the one before");
        require(entry.line > line, "the line numbers do not grow");
        const std::string_view raw = text.substr(entry.begin, entry.end - entry.begin);
        require(raw.find('\n') == std::string_view::npos || raw.find('\n') == raw.size() - 1,
                "an entry holds more than one line");
        require(!raw.starts_with('#'), "a comment is an entry");
        require(entry.user.find(':') == std::string_view::npos, "a user name holds a colon");
        require(raw.find(entry.secret) != std::string_view::npos, "the secret is not in its line");
        after = entry.end;
        line = entry.line;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy input(data, size);
    const std::string_view text = input.text();
    const std::vector<password_entry> entries = password_entries(text);
    require_entries_in_order(entries, text);

    const password_text found = read_password_text(text, "f");
    require(found.hashes.size() + found.problems.size() <= entries.size(),
            "more users and problems than entries");
    std::map<std::string_view, int> lines_of_user;
    for (const password_entry& entry : entries)
        ++lines_of_user[entry.user];
    for (const auto& [user, hash] : found.hashes) {
        require(!user.empty() && lines_of_user[user] == 1,
                "a user of no line, or of two, is taken");
        require(text.find(user + ":" + hash) != std::string_view::npos,
                "a taken line is not whole");
        require(looks_hashed(hash) && hash.find_first_of(" \t\r\n") == std::string::npos,
                "a taken hash holds a blank or is no hash");
    }
    for (const std::string& problem : found.problems)
        require(problem.starts_with("f:"), "a problem does not name its line");
    require(input.unchanged(), "the text was changed");
    return 0;
}
