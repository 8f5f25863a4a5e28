#include "app/work_pool.h"

#include <unistd.h>

#include <cstdint>

work_pool::~work_pool() {
    {
        std::lock_guard guard(lock);
        stopping = true;
        waiting.clear();
    }
    ready.notify_all();
    for (std::thread& worker : workers)
        worker.join();
}

bool work_pool::submit(std::shared_ptr<work_ticket> ticket, std::function<void()> job) {
    {
        std::lock_guard guard(lock);
        if (waiting.size() >= queue_max) return false;
        waiting.push_back({std::move(ticket), std::move(job)});
        if (workers.size() < threads_max) workers.emplace_back(&work_pool::run, this);
    }
    ready.notify_one();
    return true;
}

void work_pool::run() {
    for (;;) {
        queued next;
        {
            std::unique_lock guard(lock);
            ready.wait(guard, [this] { return stopping || !waiting.empty(); });
            if (stopping) return;
            next = std::move(waiting.front());
            waiting.pop_front();
        }
        next.job();
        next.ticket->finish();
        const std::uint64_t one = 1;
        if (const int fd = wakeup.load(); fd != -1) (void)!write(fd, &one, sizeof one);
    }
}
