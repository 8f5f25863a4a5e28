// Work that must not hold up the thread that polls, run on threads of its
// own: a password hash costs tens of milliseconds, a page listing a large
// folder seconds, and every other client would wait that long.
//
// A job is queued with submit() and runs on one of the pool's threads; what
// it computes it leaves in the job's own state, and it then finishes its
// ticket, which the polling thread looks at (work_ticket::done()) between
// its steps. At most `threads` jobs run at once and at most `queue_max`
// wait, so the work a client can cause is bounded whatever the number of
// clients: a job beyond that is refused, and the caller answers 503. The
// threads start with the first job, so a process that never queues one has
// none. Each finished job writes the wakeup descriptor, when one is set, so
// a waiting poll loop goes on at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Turns done once its job has run; everything the job wrote before is then
// seen by the thread that saw done.
class work_ticket {
  public:
    bool done() const { return finished.load(std::memory_order_acquire); }
    void finish() { finished.store(true, std::memory_order_release); }

  private:
    std::atomic<bool> finished{false};
};

class work_pool {
  public:
    work_pool(unsigned threads, size_t queue_max) : threads_max(threads), queue_max(queue_max) {}
    // Waits for the running jobs; queued ones never run (their tickets stay
    // not done).
    ~work_pool();
    work_pool(const work_pool&) = delete;
    work_pool& operator=(const work_pool&) = delete;

    // An eventfd (or a pipe) written once for each finished job; -1: none.
    void set_wakeup(int fd) { wakeup = fd; }
    // Queues `job`, which must finish `ticket` when it has run. False, with
    // nothing queued, when the queue is full.
    bool submit(std::shared_ptr<work_ticket> ticket, std::function<void()> job);

  private:
    struct queued {
        std::shared_ptr<work_ticket> ticket;
        std::function<void()> job;
    };

    const unsigned threads_max;
    const size_t queue_max;
    std::atomic<int> wakeup{-1};
    std::mutex lock;
    std::condition_variable ready;
    std::deque<queued> waiting;
    bool stopping = false;
    std::vector<std::thread> workers;

    void run();
};
