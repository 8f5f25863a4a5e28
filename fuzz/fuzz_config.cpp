// The configuration reader on any text: the input is a configuration file,
// read in both forms, applied, written as the start-up lines, and checked.
//
// Checks, for each form: the lines read are the file's lines that are not
// empty and not comments ("//", and "#" only in the modern form), each with
// its number and without one trailing CR; every one of them is an entry's
// line, a line joined into the next key, or a line no "=" follows, once and
// in order; the entries and the refusal are what the toolkit's key/value
// parser gives for those lines joined with CR LF and closed by an empty line,
// as the file was always read. The settings in force keep positive buffer
// sizes, a root that ends with "/", a plain index name and a login limit
// within its bound; the start-up lines begin with the seven keys always
// shown, write one line each (no value can forge another), and show the
// password only in the bare form; a bare file without a known key leaves
// every setting at its default. Every finding of the check names a line
// that was read (or 0); only errors of the modern form stop the start, and
// config_may_start agrees with them.
//
// The check and the modern form may look up names of hosts (ip=somehost):
// here only numeric addresses resolve, so that no run touches the network.
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/config_check.h"
#include "app/config_lines.h"
#include "app/login_limit.h"
#include "fuzz/fuzz_support.h"

// Every lookup of the process is numeric only: a name fails as one that no
// server knows, at once.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** found) {
    using lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    addrinfo numeric{};
    if (hints != nullptr) numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    return real(node, service, &numeric, found);
}

namespace {

namespace fs = std::filesystem;

// A directory beside which the executable "websrv" would live, with its
// root; the configuration file is written there for each input. Removed at
// exit.
class place {
  public:
    place() : dir_(fs::temp_directory_path() / ("websrv-fuzz-config-" + std::to_string(getpid()))) {
        fs::create_directories(dir_ / "root");
    }
    ~place() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    place(const place&) = delete;
    place& operator=(const place&) = delete;

    std::string exe() const { return (dir_ / "websrv").string(); }
    std::string config_file() const { return (dir_ / "websrv.cfg").string(); }

    // Truncated to its new length after the write, not to 0 before it: a file
    // system may then flush it at every close.
    void write(std::string_view text) const {
        const int fd = open(config_file().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        require(fd != -1 &&
                    pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
                    ftruncate(fd, static_cast<off_t>(text.size())) == 0,
                "the configuration file can not be written");
        close(fd);
    }

  private:
    fs::path dir_;
};

// The file's lines as start-up splits it: at line feeds, the last one
// possibly without its line feed, and no line after a final line feed.
std::vector<std::string_view> file_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

void require_lines_of_file(std::string_view text, config_form form,
                           const std::vector<config_line>& read) {
    const std::vector<std::string_view> lines = file_lines(text);
    size_t next = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line.ends_with('\r')) line.remove_suffix(1);
        const bool comment =
            line.starts_with("//") || (form == config_form::modern && line.starts_with('#'));
        if (line.empty() || comment) continue;
        require(next < read.size() && read[next].number == static_cast<int>(i + 1) &&
                    read[next].text == line,
                "a line of the file is not read as it stands, or under another number");
        ++next;
    }
    require(next == read.size(), "a line is read that is empty, a comment, or not in the file");
}

// Each line read is an entry's line, joined into an entry's key, or left
// without "=", once each and in the order of the file.
void require_entries_cover_lines(const std::vector<config_line>& lines,
                                 const config_entries& read) {
    std::vector<int> covered;
    for (const config_entry& entry : read.entries) {
        covered.insert(covered.end(), entry.joined.begin(), entry.joined.end());
        covered.push_back(entry.line);
    }
    covered.insert(covered.end(), read.unterminated.begin(), read.unterminated.end());
    std::vector<int> numbers;
    for (const config_line& line : lines)
        numbers.push_back(line.number);
    require(covered == numbers, "the entries do not cover the lines read, once each, in order");
}

// The entries are what the key/value parser made of the same lines.
void require_as_parsed(const std::vector<config_line>& lines, const config_entries& read) {
    std::string text;
    for (const config_line& line : lines)
        text += line.text + "\r\n";
    text += "\r\n";
    exact_copy range(text);
    param_map parsed;
    const bool taken = parse_params(range.begin(), range.end(), &parsed);
    require(taken == !read.refused(), "the file is refused where the parser takes it, or taken");
    require(!taken || read.params() == parsed, "the entries differ from what the parser reads");
}

bool sets_a_known_key(const param_map& params) {
    return std::any_of(params.begin(), params.end(),
                       [](const auto& entry) { return is_known_key(entry.first); });
}

// The modern form's default media-type table is the system's, the same 70 KiB
// for every input, whose parsing would take most of each run: it is applied
// with the built-in types unless the input names a table.
void apply_quickly(param_map params, config_form form, configuration* config) {
    if (form == config_form::modern) params.emplace("content_types", "");
    apply_config(params, form, config);
}

void require_settings(const place& at, config_form form, const param_map& params) {
    configuration config = default_configuration(at.exe());
    apply_quickly(params, form, &config);
    const site_policy& site = config.site;
    require(site.sizeof_in > 0 && site.sizeof_out > 0, "a buffer size in force is not positive");
    require(site.root.empty() || site.root.ends_with('/'), "the root in force does not end in /");
    require(is_plain_name(site.index_name), "the index in force is not a plain file name");
    require(config.login_limit <= login_limiter::max_limit, "the login limit is beyond its bound");

    const std::vector<std::string> lines = settings_lines(config, params);
    static const char* const always[] = {"ip",   "port",      "login",     "password",
                                         "root", "sizeof_in", "sizeof_out"};
    require(lines.size() >= std::size(always), "a setting always shown is missing");
    for (size_t i = 0; i < std::size(always); ++i)
        require(lines[i].starts_with("////" + std::string(always[i]) + "="),
                "the settings always shown are not first, in their order");
    for (const std::string& line : lines)
        require(line.starts_with("////") && line.find('\n') == line.size() - 1,
                "a start-up line is not one line");
    const std::string shown = form == config_form::modern ? "(not shown)" : site.password;
    require(lines[3] == "////password=" + shown + "\n",
            "the password is shown in the modern form, or hidden in the bare one");

    if (form == config_form::bare && !sets_a_known_key(params)) {
        require(lines == settings_lines(default_configuration(at.exe()), params),
                "a file without a known key changes a setting");
    }
}

// config_may_start prints what stops the start: not here.
bool may_start_quietly(const place& at, config_form form) {
    fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    const bool may = config_may_start(at.config_file(), at.exe(), form);
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(null);
    return may;
}

void require_findings(const place& at, config_form form, const std::vector<config_line>& lines) {
    std::set<int> numbers = {0};
    for (const config_line& line : lines)
        numbers.insert(line.number);
    bool stops = false;
    for (const config_finding& found : check_config_file(at.config_file(), at.exe(), form)) {
        require(numbers.count(found.line) == 1, "a finding names a line that was not read");
        require(!found.stops_start || found.error, "a warning stops the start");
        require(!found.stops_start || form == config_form::modern,
                "a finding stops the start of the bare form");
        stops = stops || found.stops_start;
    }
    require(may_start_quietly(at, form) == !stops,
            "config_may_start disagrees with the findings that stop the start");
}

void require_form_reads(const place& at, std::string_view text, config_form form) {
    std::vector<config_line> lines;
    require(read_config_lines(at.config_file(), form, &lines), "the file can not be read");
    require_lines_of_file(text, form, lines);
    const config_entries read = read_config_entries(lines);
    require_entries_cover_lines(lines, read);
    require_as_parsed(lines, read);
    require_settings(at, form, read.params());
    require_findings(at, form, lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const place at;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    at.write(text);
    require_form_reads(at, text, config_form::bare);
    require_form_reads(at, text, config_form::modern);
    return 0;
}
