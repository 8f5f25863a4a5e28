// A recursive lock to derive from or to hold.
//
// The thread that holds the lock may take it again; it becomes free after as
// many unlock() calls as there were lock() calls. Errors of the underlying
// mutex calls are ignored. Objects are never copied.
#pragma once

#include <pthread.h>

class mt_obj {
  public:
    mt_obj();
    virtual ~mt_obj();
    mt_obj(const mt_obj&) = delete;
    mt_obj& operator=(const mt_obj&) = delete;

    void lock();
    void unlock();

  private:
    pthread_mutex_t mutex;
};
