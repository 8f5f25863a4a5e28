#include "app/workers.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "engine/platform.h"
#include "log/printf_ex.h"
#include "log/time_utils.h"

namespace {

// Whether this process tells the user that the server started.
bool announcing = true;

const long long restart_pause_ms = 1000;
const long long stop_wait_ms = 5000;

struct worker {
    pid_t pid = -1;
    long long started_ms = 0;
    std::string ended;  // why the last one ended, for the line of its restart
};

long long now_ms() {
    return monotonic_ns() / 1000000;
}

std::string ending_text(int status) {
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return std::to_string(WEXITSTATUS(status));
}

class supervisor {
  public:
    supervisor(unsigned int count, void (*on_reopen)()) : workers(count), on_reopen(on_reopen) {
        sigemptyset(&watched);
        for (int number : {SIGCHLD, SIGTERM, SIGINT, SIGUSR1})
            sigaddset(&watched, number);
        sigprocmask(SIG_BLOCK, &watched, &caller_mask);
    }

    // True in a worker; false in the parent when none could be started.
    bool start_all() {
        bool any = false;
        for (worker& w : workers) {
            if (fork_worker(&w)) {
                announcing = &w == &workers.front();
                return true;
            }
            any = any || w.pid != -1;
        }
        if (!any) sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
        return !any ? false : watch();
    }

  private:
    std::vector<worker> workers;
    void (*on_reopen)();
    sigset_t watched{};
    sigset_t caller_mask{};
    const pid_t parent = getpid();

    // True in the new worker. A fork that fails is tried again a second later.
    bool fork_worker(worker* w) {
        printf_ex_flush();
        fflush(stdout);
        w->started_ms = now_ms();
        const pid_t pid = fork();
        if (pid == 0) {
            sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
            // A worker left without its parent would hold the port alone.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(0);
            return true;
        }
        if (pid == -1) {
            printf_ex("%s can not start a worker: %s\n", system_time_str().c_str(),
                      strerror(errno));
        }
        w->pid = pid;
        return false;
    }

    // Returns true only in a worker started again.
    bool watch() {
        for (;;) {
            timespec pause{0, 100 * 1000 * 1000};
            siginfo_t info{};
            const int number = sigtimedwait(&watched, &info, &pause);
            if (number == SIGTERM || number == SIGINT) stop_all(number);
            if (number == SIGUSR1) {
                on_reopen();
                send_all(SIGUSR1);
            }
            reap();
            if (restart_due()) return true;
        }
    }

    void reap() {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            for (worker& w : workers) {
                if (w.pid != pid) continue;
                w.ended =
                    "worker " + std::to_string(pid) + " ended (status " + ending_text(status) + ")";
                w.pid = -1;
            }
        }
    }

    // Starts each worker whose pause is over; true in the new worker.
    bool restart_due() {
        for (worker& w : workers) {
            if (w.pid != -1 || now_ms() - w.started_ms < restart_pause_ms) continue;
            const std::string ended = w.ended;
            if (fork_worker(&w)) {
                announcing = false;
                return true;
            }
            printf_ex("%s %s: started %s\n", system_time_str().c_str(),
                      ended.empty() ? "worker not started" : ended.c_str(),
                      w.pid == -1 ? "none" : std::to_string(w.pid).c_str());
            printf_ex_flush();
        }
        return false;
    }

    void send_all(int number) {
        for (const worker& w : workers) {
            if (w.pid != -1) kill(w.pid, number);
        }
    }

    [[noreturn]] void stop_all(int number) {
        send_all(number);
        const long long deadline = now_ms() + stop_wait_ms;
        while (any_running() && now_ms() < deadline) {
            usleep(5000);
            reap();
        }
        send_all(SIGKILL);
        while (waitpid(-1, nullptr, 0) > 0) {
        }
        printf_ex_flush();
        fflush(stdout);
        _exit(0);
    }

    bool any_running() const {
        for (const worker& w : workers) {
            if (w.pid != -1) return true;
        }
        return false;
    }
};

}  // namespace

bool serve_as_workers(unsigned int count, void (*on_reopen)()) {
    static supervisor watching(count, on_reopen);
    return watching.start_all();
}

bool announces_the_start() {
    return announcing;
}
