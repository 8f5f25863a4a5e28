#include "app/main.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "app/config_check.h"
#include "app/share.h"
#include "engine/platform.h"
#include "http/proxy_utils.h"
#include "log/printf_ex.h"
#include "log/time_utils.h"

namespace {
const char* const default_password = "5712";
}

namespace settings {
std::string exe_name;
std::string login = "user";
std::string password = default_password;
std::string root;
int sizeof_in = 10240;
int sizeof_out = 1048576;
std::string content_types;
param_map content_type_table;
bool decode_path = false;
std::string index_name = "index.htm";
bool http10 = false;
bool head = false;
bool large_files = false;
bool ranges = false;
bool conditional = false;
std::string listing;
std::string upload;
long long upload_max = 1LL << 30;
bool wake_on_io = false;
unsigned int job_timeout = 0;
unsigned int login_limit = 0;
std::string log_file;
bool log_append = false;
bool exit_on_failure = false;
}  // namespace settings

simple_se_server server;

namespace {

void set_if_positive(const std::string& text, int* setting) {
    int value = atoi(text.c_str());
    if (value > 0) *setting = value;
}

void log_settings(const listen_address& address) {
    printf_ex("////params:\n");
    printf_ex("////ip=%s\n", address.ip.c_str());
    printf_ex("////port=%hu\n", address.port);
    printf_ex("////login=%s\n", settings::login.c_str());
    printf_ex("////password=%s\n", settings::password.c_str());
    printf_ex("////root=%s\n", settings::root.c_str());
    printf_ex("////sizeof_in=%i\n", settings::sizeof_in);
    printf_ex("////sizeof_out=%i\n", settings::sizeof_out);
}

const std::string* value_of(const param_map& params, const char* key) {
    assert(is_known_key(key) && "websrv --check must know every key");
    auto it = params.find(key);
    return it == params.end() ? nullptr : &it->second;
}

bool is_on(const std::string& value) {
    return atoi(value.c_str()) != 0;
}

}  // namespace

// A file name without a directory part: anything else would let the index
// name a file outside the directory asked for.
bool is_plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos;
}

// The largest media-type table taken: the system's own is about 60 KiB, and
// a table is held in memory whole while it is read.
const std::streamsize max_content_types_bytes = 1 << 20;

// Reads a media-type table in the mime.types format from a regular file.
// False, with `types` empty, when the file cannot be read, is larger than
// the limit or holds no table.
bool read_content_types(const std::string& file_name, param_map* types) {
    types->clear();
    struct stat info {};
    // A device or a pipe could block start-up, or never end.
    if (stat(file_name.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > max_content_types_bytes) {
        return false;
    }
    std::ifstream file(file_name, std::ios::binary);
    // One byte more than the limit tells a file that has grown since.
    std::string text(static_cast<size_t>(max_content_types_bytes) + 1, '\0');
    file.read(text.data(), max_content_types_bytes + 1);
    text.resize(static_cast<size_t>(file.gcount()));
    if (!file.is_open() || file.bad() || file.gcount() > max_content_types_bytes ||
        !parse_content_types(text.data(), text.data() + text.size(), types)) {
        types->clear();
        return false;
    }
    return true;
}

namespace {

void load_content_types(const std::string& file_name) {
    settings::content_types = file_name;
    if (file_name.empty() || read_content_types(file_name, &settings::content_type_table)) return;
    printf_ex("////can not read content types: %s\n", file_name.c_str());
    fprintf(stderr, "%s: can not read content types: %s: the built-in types are used\n",
            settings::exe_name.c_str(), file_name.c_str());
}

// The keys for serving an ordinary site.
void apply_site_config(const param_map& params) {
    if (auto* file = value_of(params, "content_types")) load_content_types(*file);
    if (auto* value = value_of(params, "decode_path")) settings::decode_path = is_on(*value);
    if (auto* name = value_of(params, "index"); name && is_plain_name(*name)) {
        settings::index_name = *name;
    }
    if (auto* value = value_of(params, "http10")) settings::http10 = is_on(*value);
    if (auto* value = value_of(params, "head")) settings::head = is_on(*value);
    if (auto* value = value_of(params, "large_files")) settings::large_files = is_on(*value);
    if (auto* value = value_of(params, "ranges")) settings::ranges = is_on(*value);
    if (auto* value = value_of(params, "conditional")) settings::conditional = is_on(*value);
    if (auto* mode = value_of(params, "listing")) settings::listing = *mode;
    if (auto* mode = value_of(params, "upload")) settings::upload = *mode;
    if (auto* size = value_of(params, "upload_max"); size && atoll(size->c_str()) > 0) {
        settings::upload_max = atoll(size->c_str());
    }
}

// The optional keys that the configuration sets, with the values in force: a
// configuration without them dumps what it always did.
void log_optional_settings(const param_map& params) {
    auto set = [&params](const char* key) { return params.count(key) != 0; };
    if (set("content_types")) {
        printf_ex("////content_types=%s\n", settings::content_types.c_str());
    }
    if (set("decode_path")) printf_ex("////decode_path=%i\n", settings::decode_path ? 1 : 0);
    if (set("index")) printf_ex("////index=%s\n", settings::index_name.c_str());
    if (set("http10")) printf_ex("////http10=%i\n", settings::http10 ? 1 : 0);
    if (set("head")) printf_ex("////head=%i\n", settings::head ? 1 : 0);
    if (set("large_files")) printf_ex("////large_files=%i\n", settings::large_files ? 1 : 0);
    if (set("ranges")) printf_ex("////ranges=%i\n", settings::ranges ? 1 : 0);
    if (set("conditional")) printf_ex("////conditional=%i\n", settings::conditional ? 1 : 0);
    if (set("listing")) printf_ex("////listing=%s\n", settings::listing.c_str());
    if (set("upload")) printf_ex("////upload=%s\n", settings::upload.c_str());
    if (set("upload_max")) printf_ex("////upload_max=%lli\n", settings::upload_max);
    if (set("wake_on_io")) printf_ex("////wake_on_io=%i\n", settings::wake_on_io ? 1 : 0);
    if (set("job_timeout")) printf_ex("////job_timeout=%u\n", settings::job_timeout);
    if (set("login_limit")) printf_ex("////login_limit=%u\n", settings::login_limit);
    if (set("log")) printf_ex("////log=%s\n", settings::log_file.c_str());
    if (set("log_append")) printf_ex("////log_append=%i\n", settings::log_append ? 1 : 0);
    if (set("exit_on_failure")) {
        printf_ex("////exit_on_failure=%i\n", settings::exit_on_failure ? 1 : 0);
    }
}

// The keys for how connections are driven.
void apply_connection_config(const param_map& params) {
    if (auto* value = value_of(params, "wake_on_io")) settings::wake_on_io = is_on(*value);
    if (auto* limit = value_of(params, "job_timeout")) {
        settings::job_timeout = static_cast<unsigned int>(std::max(atoi(limit->c_str()), 0));
    }
    if (auto* limit = value_of(params, "login_limit")) {
        settings::login_limit = std::min(
            static_cast<unsigned int>(std::max(atoi(limit->c_str()), 0)), login_limiter::max_limit);
    }
}

// The configuration file as start-up found it, before the log is open.
struct config_reading {
    std::string file_name;
    bool read = false;    // the file could be opened
    bool parsed = false;  // its text parsed
    param_map params;     // what it sets; empty unless parsed
};

config_reading read_configuration(const std::string& file_name) {
    config_reading reading;
    reading.file_name = file_name;
    std::string text;
    reading.read = read_config_text(file_name, &text);
    reading.parsed = parse_params(text.data(), text.data() + text.size(), &reading.params);
    if (!reading.parsed) reading.params.clear();
    return reading;
}

// The keys for where the log goes and how a failed start ends; they are
// needed before the log is opened.
void apply_start_config(const param_map& params) {
    settings::log_file = change_ext(settings::exe_name, ".log");
    if (auto* file = value_of(params, "log"); file && !file->empty()) settings::log_file = *file;
    if (auto* value = value_of(params, "log_append")) settings::log_append = is_on(*value);
    if (auto* value = value_of(params, "exit_on_failure")) {
        settings::exit_on_failure = is_on(*value);
    }
}

// Logs what was wrong with the configuration file, then takes its settings.
void take_settings(const config_reading& reading, listen_address* address) {
    if (!reading.read) printf_ex("////can not read cfg-file\n");
    if (!reading.parsed) {
        printf_ex("////can not parse params\n");
        // No file beside the executable is a plain start with the defaults; a
        // file that is there, or named on the command line, but not taken
        // would otherwise go unnoticed outside the log.
        const bool named = reading.file_name != change_ext(settings::exe_name, ".cfg");
        if (reading.read || named || access(reading.file_name.c_str(), F_OK) == 0) {
            fprintf(stderr, "%s: can not %s %s: every setting keeps its default\n",
                    settings::exe_name.c_str(), reading.read ? "parse" : "read",
                    reading.file_name.c_str());
        }
        return;
    }
    apply_config(reading.params, address);
}

// The password every copy of websrv starts with is known to everyone.
void warn_of_default_password(const std::string& config_file) {
    if (settings::password != default_password) return;
    fprintf(stderr, "%s: the default password is in force: set the key password in %s\n",
            settings::exe_name.c_str(), config_file.c_str());
}

// The descriptor that holds the lock on the log file, or -1.
int log_lock = -1;

// Takes the lock on the log file that keeps a second copy of the server from
// emptying it. The descriptor stays open, unused, in `log_lock` until the log
// is opened again: the lock lives with it. False only when another process
// holds the lock; a file that cannot be opened or locked at all is left to
// the log, which then writes to standard output only. A log it creates is
// private to its owner, as the log will be.
bool lock_log_file(const std::string& file_name) {
    int fd = open(file_name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd == -1) return true;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        log_lock = fd;
        return true;
    }
    const bool held_elsewhere = errno == EWOULDBLOCK;
    close(fd);
    return !held_elsewhere;
}

// Opens the log by its name again, after it was moved away: the old file
// ends, a new one begins, and the lock moves to it.
void reopen_log() {
    if (!printf_ex_reopen()) {
        fprintf(stderr,
                "%s: can not open the log %s again: %s; it goes on in the file open before\n",
                settings::exe_name.c_str(), settings::log_file.c_str(), strerror(errno));
        return;
    }
    const int old_lock = log_lock;
    log_lock = -1;
    lock_log_file(settings::log_file);
    if (old_lock != -1) close(old_lock);
}

volatile sig_atomic_t reopen_log_asked = 0;
volatile sig_atomic_t stop_asked = 0;

// Only notes the signal: the main loop acts on it between two polls.
void note_signal(int number) {
    if (number == SIGUSR1) {
        reopen_log_asked = 1;
    } else {
        stop_asked = 1;
    }
}

// SIGHUP keeps its default action: it ends the process.
void catch_signals() {
    struct sigaction action {};
    action.sa_handler = note_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGUSR1, SIGINT, SIGTERM})
        sigaction(number, &action, nullptr);
}

// Standard output may hold lines in its buffer when it is a file: they are
// written before the process ends. Nothing else is done on the way out (no
// connection is closed with log lines of its own).
void answer_signals() {
    if (stop_asked) {
        printf_ex_flush();
        fflush(stdout);
        _exit(0);
    }
    if (reopen_log_asked) {
        reopen_log_asked = 0;
        reopen_log();
    }
}

// One line on standard error about a failed start, with the system's reason.
void report_start_failure(const char* what, const std::string& name, const char* reason) {
    fprintf(stderr, "%s: can not %s %s: %s\n", settings::exe_name.c_str(), what, name.c_str(),
            reason);
}

// Locks and opens the log. False when the process must not go on: another
// copy holds the log, or it cannot be opened and exit_on_failure is set.
bool open_log() {
    const std::string& name = settings::log_file;
    if (name.empty()) {  // standard output only
        printf_ex_init(false, true, nullptr, nullptr);
        printf_ex_screen_never_blocks(true);
        return true;
    }
    if (!lock_log_file(name)) {
        fprintf(stderr,
                "%s: %s is locked by another copy of websrv that is running; not starting\n",
                settings::exe_name.c_str(), name.c_str());
        return false;
    }
    const bool opened = printf_ex_init(true, true, name.c_str(), settings::log_append ? "a" : "w");
    const int reason = errno;
    printf_ex_screen_never_blocks(true);
    if (opened) return true;
    report_start_failure("open the log", name, strerror(reason));
    return !settings::exit_on_failure;
}

// Prepares and activates `server`. False when that failed and
// exit_on_failure is set; the log and standard error say why in any case.
bool activate_server(const listen_address& address) {
    server.set_wake_on_io(settings::wake_on_io);
    server.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, address.ip.c_str(), address.port);
    // Only an address that is not a dotted IPv4 one fails without a system
    // call: it then finds no error number.
    errno = 0;
    const bool active = server.activate(true);
    printf_ex(active ? "%s server activated\n" : "%s can not activate server\n",
              system_time_str().c_str());
    if (active) return true;
    const int error_number = server.last_error_number();
    report_start_failure("activate server on", address.ip + " port " + std::to_string(address.port),
                         error_number != 0 ? strerror(error_number) : "not a dotted IPv4 address");
    return !settings::exit_on_failure;
}

}  // namespace

bool read_config_text(const std::string& file_name, std::string* text) {
    text->clear();
    std::vector<config_line> lines;
    if (!read_config_lines(file_name, &lines)) return false;
    for (const config_line& line : lines)
        text->append(line.text).append("\r\n");
    text->append("\r\n");
    return true;
}

void apply_config(const param_map& params, listen_address* address) {
    auto found = [&params](const char* key) { return value_of(params, key); };
    if (auto* ip = found("ip")) address->ip = *ip;
    if (auto* port = found("port")) {
        address->port = static_cast<unsigned short>(atoi(port->c_str()) & 0xFFFF);
    }
    if (auto* login = found("login")) settings::login = *login;
    if (auto* password = found("password")) settings::password = *password;
    if (auto* root = found("root")) {
        // The root is joined to request paths as text: without its "/",
        // root=/srv/site would serve /srv/site-private/ for /-private/.
        settings::root = *root;
        if (!root->empty() && root->back() != '/') settings::root += '/';
    }
    if (auto* size = found("sizeof_in")) set_if_positive(*size, &settings::sizeof_in);
    if (auto* size = found("sizeof_out")) set_if_positive(*size, &settings::sizeof_out);
    apply_site_config(params);
    apply_connection_config(params);
}

namespace {
bool start_with(const config_reading& reading);
}  // namespace

bool start_up(const char* argv0, const std::string& config_file) {
    settings::exe_name = argv0;
    const config_reading reading = read_configuration(config_file);
    apply_start_config(reading.params);
    return start_with(reading);
}

bool start_sharing(const char* argv0, const param_map& params, const std::string& log_file) {
    settings::exe_name = argv0;
    config_reading reading;
    reading.file_name = "the command line";
    reading.read = reading.parsed = true;
    reading.params = params;
    apply_start_config(params);
    settings::log_file = log_file;
    if (params.count("content_types") == 0) {
        // No system table: the common web types are built in.
        std::string table = web_content_types;
        parse_content_types(table.data(), table.data() + table.size(),
                            &settings::content_type_table);
    }
    return start_with(reading);
}

namespace {

bool start_with(const config_reading& reading) {
    // Standard output may be a pipe whose reader has gone: a write to it must
    // fail, not end the process.
    signal(SIGPIPE, SIG_IGN);
    // An upload that runs into the file size limit must fail its write (and
    // be answered 507), not end the process.
    signal(SIGXFSZ, SIG_IGN);
    if (!open_log()) return false;
    printf_ex("%s%s logging started\n", log_separator_line, system_time_str().c_str());

    listen_address address;
    settings::root = get_path(settings::exe_name) + "root/";
    take_settings(reading, &address);
    log_settings(address);
    log_optional_settings(reading.params);
    warn_of_default_password(reading.file_name);
    server.serve(site_policy_from_settings(), settings::login_limit);
    if (!activate_server(address)) return false;
    catch_signals();
    // A server that wakes on I/O writes its log a poll round at a time:
    // one write per round instead of several per request.
    printf_ex_gather(settings::wake_on_io);
    return true;
}

}  // namespace

void run_main_loop() {
    const unsigned long pause_ms = 100;
    for (;;) {
        server.job_proc();
        printf_ex_flush();
        answer_signals();
        if (!server.wakes_on_io()) {
            Sleep(pause_ms);
        } else {
            // A poll that moved something on may have left work for the next
            // one that no socket announces: no pause after it.
            server.wait(server.made_progress() ? 0 : pause_ms);
        }
    }
}

site_policy site_policy_from_settings() {
    site_policy site;
    site.sizeof_in = settings::sizeof_in;
    site.sizeof_out = settings::sizeof_out;
    site.job_timeout = settings::job_timeout;
    site.root = settings::root;
    site.index_name = settings::index_name;
    site.realm = change_ext(get_name(settings::exe_name), "");
    site.login = settings::login;
    site.password = settings::password;
    const std::string credentials = settings::login + ":" + settings::password;
    site.expected_credentials =
        base64_encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                      static_cast<unsigned int>(credentials.size()));
    site.max_attempts = simple_server_node::max_a_counter;
    site.content_types = settings::content_type_table;
    site.decode_path = settings::decode_path;
    site.http10 = settings::http10;
    site.head = settings::head;
    site.large_files = settings::large_files;
    site.ranges = settings::ranges;
    site.conditional = settings::conditional;
    site.listing_hidden = settings::listing == "all";
    site.listing = site.listing_hidden || is_on(settings::listing);
    site.upload_replace = settings::upload == "replace";
    site.upload = site.upload_replace || is_on(settings::upload);
    site.upload_max = static_cast<off_t>(settings::upload_max);
    // The modes of sites with listings, uploads or decoded paths, which link
    // and store names such as "v1..2.txt".
    site.whole_dot_steps = site.listing || site.upload || site.decode_path;
    return site;
}
