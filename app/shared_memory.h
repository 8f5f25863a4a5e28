// Memory and locks shared with the processes forked after they are made:
// the parent of several workers makes them, and every worker uses them.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <memory>

// A lock that several processes take in turn; it must lie in memory they
// share. A process that dies holding it does not keep it: the next one to
// ask gets it, and whatever it guards as the dead one left it.
class shared_mutex {
  public:
    // False when the lock cannot be made; it must not be used then.
    bool init();
    void lock();
    void unlock() { pthread_mutex_unlock(&mutex); }

  private:
    pthread_mutex_t mutex;
};

// Holds a shared_mutex for one scope; holds nothing when it is null.
class shared_guard {
  public:
    explicit shared_guard(shared_mutex* held) : held(held) {
        if (held != nullptr) held->lock();
    }
    ~shared_guard() {
        if (held != nullptr) held->unlock();
    }
    shared_guard(const shared_guard&) = delete;
    shared_guard& operator=(const shared_guard&) = delete;

  private:
    shared_mutex* held;
};

// `bytes` of zeroed memory shared with the processes forked later; null
// when the system refuses it. This process's view goes with the last pointer.
std::shared_ptr<void> map_shared(size_t bytes);

// A shared_mutex in memory of its own; null when it cannot be made.
std::shared_ptr<shared_mutex> make_shared_mutex();
