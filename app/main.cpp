#include "app/main.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/config_check.h"
#include "app/log_file.h"
#include "app/workers.h"
#include "engine/platform.h"
#include "log/printf_ex.h"
#include "log/time_utils.h"

simple_se_server server;

namespace {

// The settings in force: written by start-up only.
configuration config;

// The configuration file as start-up found it, before the log is open.
struct config_reading {
    std::string file_name;
    bool read = false;    // the file could be opened
    bool parsed = false;  // its text parsed
    param_map params;     // what it sets; empty unless parsed
};

config_reading read_configuration(const std::string& file_name, config_form form) {
    config_reading reading;
    reading.file_name = file_name;
    std::vector<config_line> lines;
    reading.read = read_config_lines(file_name, form, &lines);
    const config_entries entries = read_config_entries(lines);
    reading.parsed = reading.read && !entries.refused();
    reading.params = entries.params();
    return reading;
}

// Logs what was wrong with the configuration file and with what it names.
void tell_config_problems(const config_reading& reading) {
    if (!reading.read) printf_ex("////can not read cfg-file\n");
    if (!reading.parsed) {
        printf_ex("////can not parse params\n");
        // No file beside the executable is a plain start with the defaults; a
        // file that is there, or named on the command line, but not taken
        // would otherwise go unnoticed outside the log.
        const bool named = reading.file_name != change_ext(config.exe_name, ".cfg");
        if (reading.read || named || access(reading.file_name.c_str(), F_OK) == 0) {
            fprintf(stderr, "%s: can not %s %s: every setting keeps its default\n",
                    config.exe_name.c_str(), reading.read ? "parse" : "read",
                    reading.file_name.c_str());
        }
    }
    for (const std::string& problem : config.htpasswd_problems) {
        printf_ex("////%s\n", problem.c_str());
        fprintf(stderr, "%s: %s\n", config.exe_name.c_str(), problem.c_str());
    }
    if (config.content_types_unread) {
        printf_ex("////can not read content types: %s\n", config.content_types.c_str());
        fprintf(stderr, "%s: can not read content types: %s: the built-in types are used\n",
                config.exe_name.c_str(), config.content_types.c_str());
    }
}

void log_settings(const param_map& params) {
    printf_ex("////params:\n");
    for (const std::string& line : settings_lines(config, params))
        printf_ex("%s", line.c_str());
}

// The password every copy of websrv starts with is known to everyone.
void warn_of_default_password(const std::string& config_file) {
    if (config.users ||
        config.site.password != default_configuration(config.exe_name).site.password) {
        return;
    }
    fprintf(stderr, "%s: the default password is in force: set the key password in %s\n",
            config.exe_name.c_str(), config_file.c_str());
}

// The lock on the log file, held while the process runs.
log_file_lock log_lock;

// The log was named by the configuration or the command line, not after the
// executable.
bool log_named = false;

// A process that workers=N forked: its parent holds the log's lock.
bool in_worker = false;

// Opens the log by its name again, after it was moved away: the old file
// ends, a new one begins, and the lock moves to it.
void reopen_log() {
    if (!printf_ex_reopen()) {
        fprintf(stderr,
                "%s: can not open the log %s again: %s; it goes on in the file open before\n",
                config.exe_name.c_str(), config.log_file.c_str(), strerror(errno));
        return;
    }
    if (!in_worker) log_lock.move_to(config.log_file, log_named);
}

// The certificate and key in force: from the files the configuration names,
// or made at start-up and held in memory (websrv --tls DIR).
std::shared_ptr<tls_context> load_tls(std::string* why) {
    if (!config.tls_cert_pem.empty()) {
        return tls_context::from_pem(config.tls_cert_pem, config.tls_key_pem, why);
    }
    return tls_context::load(config.tls_cert, config.tls_key, why);
}

bool tls_wanted() {
    return !config.tls_cert.empty() || !config.tls_key.empty() || !config.tls_cert_pem.empty();
}

// Renewed certificates are taken with the log's reopening: a pair that does
// not load leaves the one in force.
void reload_tls() {
    if (!tls_wanted() || !config.tls_cert_pem.empty()) return;
    std::string why;
    if (std::shared_ptr<tls_context> fresh = load_tls(&why)) {
        server.use_tls(std::move(fresh));
        printf_ex("%s tls certificate loaded again\n", system_time_str().c_str());
        return;
    }
    printf_ex("%s can not load the tls certificate again: %s; the one before stays\n",
              system_time_str().c_str(), why.c_str());
    fprintf(stderr, "%s: can not load the tls certificate again: %s; the one before stays\n",
            config.exe_name.c_str(), why.c_str());
}

volatile sig_atomic_t reopen_log_asked = 0;
volatile sig_atomic_t stop_asked = 0;

// Written to end the server's wait at once (an eventfd; -1 without one).
int loop_wakeup = -1;

void wake_the_loop() {
    const uint64_t one = 1;
    if (loop_wakeup != -1) (void)!write(loop_wakeup, &one, sizeof one);
}

// Only notes the signal and wakes the loop, which acts on it between two
// polls: a signal that comes just before the wait still ends it.
void note_signal(int number) {
    const int saved = errno;
    if (number == SIGUSR1) {
        reopen_log_asked = 1;
    } else {
        stop_asked = 1;
    }
    wake_the_loop();
    errno = saved;
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
        reload_tls();
    }
}

// One line on standard error about a failed start, with the system's reason.
void report_start_failure(const char* what, const std::string& name, const char* reason) {
    fprintf(stderr, "%s: can not %s %s: %s\n", config.exe_name.c_str(), what, name.c_str(), reason);
}

// Locks and opens the log. False when the process must not go on: another
// copy holds the log, or it cannot be opened and exit_on_failure is set.
bool open_log() {
    const std::string& name = config.log_file;
    if (name.empty()) {  // standard output only
        printf_ex_init(false, true, nullptr, nullptr);
        printf_ex_screen_never_blocks(true);
        return true;
    }
    bool narrowed = false;
    const log_file_lock::result lock = log_lock.take(name, log_named, &narrowed);
    if (narrowed) {
        fprintf(stderr, "%s: the log %s was readable by others: now by its owner only\n",
                config.exe_name.c_str(), name.c_str());
    }
    if (lock == log_file_lock::result::held_elsewhere) {
        fprintf(stderr,
                "%s: %s is locked by another copy of websrv that is running; not starting\n",
                config.exe_name.c_str(), name.c_str());
        return false;
    }
    if (lock == log_file_lock::result::refused) {
        printf_ex_init(false, true, nullptr, nullptr);
        printf_ex_screen_never_blocks(true);
        report_start_failure("open the log", name, log_lock.refusal().c_str());
        return !config.exit_on_failure;
    }
    bool opened = printf_ex_init(true, true, name.c_str(), config.log_append ? "a" : "w");
    const int reason = errno;
    if (opened && config.workers > 1) opened = printf_ex_append_only();
    printf_ex_screen_never_blocks(true);
    if (opened) return true;
    report_start_failure("open the log", name, strerror(reason));
    return !config.exit_on_failure;
}

// An upload holds a descriptor for each file of a form until the form is
// whole (up to a thousand), beside the connections': the soft limit of open
// files goes up to the hard one.
void allow_many_files() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// Prepares and activates `server`: with workers, it is bound to check the
// address and hold the port, and each worker listens on a socket of its own.
// False when that failed and exit_on_failure is set; the log and standard
// error say why in any case.
bool activate_server() {
    server.set_wake_on_io(config.wake_on_io);
    // The bare start takes a dotted IPv4 address as it always did (anything
    // else fails to bind); an IPv6 address, or a name in the modern form,
    // goes to a socket of its family.
    const std::string resolved = listen_address(config.ip, config.form);
    const std::string& ip = resolved.empty() ? config.ip : resolved;
    const int family = ip.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    server.prepare(family, SOCK_STREAM, IPPROTO_TCP, ip.c_str(), config.port);
    // Only an address that is not one fails without a system call: it then
    // finds no error number.
    errno = 0;
    bool active = server.activate(config.workers == 1);
    if (active && config.workers > 1) {
        // The port was bound alone first: one that another server listens on
        // fails as it does for one process, instead of being shared with it.
        server.deactivate();
        server.share_port(true);
        active = server.activate(false);
    }
    printf_ex(active ? "%s server activated\n" : "%s can not activate server\n",
              system_time_str().c_str());
    if (active) return true;
    const int error_number = server.last_error_number();
    report_start_failure("activate server on", config.ip + " port " + std::to_string(config.port),
                         error_number != 0 ? strerror(error_number) : "not an address");
    return !config.exit_on_failure;
}

// The login limit that every worker counts in, and the turn at hashing
// passwords that they take.
std::unique_ptr<login_limiter> shared_logins;
std::shared_ptr<shared_mutex> shared_hash_turn;

// With workers, forks them and returns true in each, listening on its own
// socket of the port; the parent only returns, false, when none started.
bool become_worker() {
    shared_logins = login_limiter::shared_between_processes(config.login_limit);
    shared_hash_turn = make_shared_mutex();
    if (!shared_logins || !shared_hash_turn) {
        printf_ex("////not starting: no shared memory for the workers\n");
        fprintf(stderr, "%s: not starting: no shared memory for the workers\n",
                config.exe_name.c_str());
        return false;
    }
    printf_ex_screen_shared(true);  // the parent and every worker write standard output
    if (!serve_as_workers(config.workers, reopen_log)) return false;
    in_worker = true;
    log_lock.leave_to_parent();
    if (!server.active()) return true;  // serving nothing, as one process does
    server.deactivate();
    if (server.activate(true)) return true;
    printf_ex("%s can not activate server\n", system_time_str().c_str());
    return false;
}

}  // namespace

namespace {

bool start_with(const config_reading& reading, config_form form) {
    // Standard output may be a pipe whose reader has gone: a write to it must
    // fail, not end the process.
    signal(SIGPIPE, SIG_IGN);
    // An upload that runs into the file size limit must fail its write (and
    // be answered 507), not end the process.
    signal(SIGXFSZ, SIG_IGN);
    apply_config(reading.params, form, &config);
    if (!open_log()) return false;
    printf_ex("%s%s logging started\n", log_separator_line, system_time_str().c_str());
    tell_config_problems(reading);
    if (std::string why; !may_start(config, &why)) {
        printf_ex("////not starting: %s\n", why.c_str());
        fprintf(stderr, "%s: not starting: %s\n", config.exe_name.c_str(), why.c_str());
        return false;
    }
    log_settings(reading.params);
    warn_of_default_password(reading.file_name);
    if (config.site.upload) allow_many_files();
    if (tls_wanted()) {
        // Serving in clear what was to be served over TLS is no way out.
        std::string why;
        std::shared_ptr<tls_context> tls = load_tls(&why);
        if (!tls) {
            printf_ex("%s can not load the tls certificate: %s\n", system_time_str().c_str(),
                      why.c_str());
            report_start_failure("load the tls certificate", config.tls_cert, why.c_str());
            return false;
        }
        server.use_tls(std::move(tls));
    }
    if (!activate_server()) return false;
    if (config.workers > 1 && !become_worker()) return false;
    // The pools' threads belong to the process that serves: made after any fork.
    assemble_site(config, &server.policy(), &server.shared_services());
    if (in_worker) {
        server.shared_services().logins = *shared_logins;
        server.shared_services().hash_turn = shared_hash_turn;
    }
    if (config.wake_on_io) {
        loop_wakeup = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        server.set_wakeup(loop_wakeup);
        server.shared_services().set_wakeup(loop_wakeup);
    }
    catch_signals();
    // A server that wakes on I/O writes its log a poll round at a time:
    // one write per round instead of several per request.
    printf_ex_gather(config.wake_on_io);
    return true;
}

}  // namespace

bool start_up(const char* argv0, const std::string& config_file, config_form form) {
    if (!config_may_start(config_file, argv0, form)) return false;
    config = default_configuration(argv0);
    const config_reading reading = read_configuration(config_file, form);
    log_named = reading.params.count("log") != 0;
    return start_with(reading, form);
}

bool start_sharing(const char* argv0, const param_map& params, const std::string& log_file,
                   const std::string& cert_pem, const std::string& key_pem) {
    config = default_configuration(argv0);
    config.tls_cert_pem = cert_pem;
    config.tls_key_pem = key_pem;
    config.site.tls = !cert_pem.empty();
    config_reading reading;
    reading.file_name = "the command line";
    reading.read = reading.parsed = true;
    reading.params = params;
    // The log goes to standard output, and to the file only when one is named.
    reading.params["log"] = log_file;
    config.log_file.clear();
    log_named = true;
    return start_with(reading, config_form::modern);
}

void run_main_loop() {
    const unsigned long pause_ms = 100;
    // Woken on I/O, a quiet server waits for a socket, a signal or a job's
    // time limit; the timeout only paces housekeeping such as giving back an
    // idle connection's pages, so it is long: each wake over many idle
    // connections costs a poll over all of them.
    const unsigned long quiet_wait_ms = 1000;
    for (;;) {
        server.job_proc();
        printf_ex_flush();
        answer_signals();
        if (!server.wakes_on_io()) {
            Sleep(pause_ms);
        } else {
            // A poll that moved something on may have left work for the next
            // one that no socket announces: no pause after it.
            server.wait(server.made_progress() ? 0 : quiet_wait_ms);
        }
    }
}
