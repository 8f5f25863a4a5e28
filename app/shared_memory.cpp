#include "app/shared_memory.h"

#include <sys/mman.h>

#include <cerrno>
#include <new>

bool shared_mutex::init() {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    const bool made = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                      pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                      pthread_mutex_init(&mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return made;
}

void shared_mutex::lock() {
    if (pthread_mutex_lock(&mutex) == EOWNERDEAD) pthread_mutex_consistent(&mutex);
}

std::shared_ptr<void> map_shared(size_t bytes) {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    return std::shared_ptr<void>(memory, [bytes](void* view) { munmap(view, bytes); });
}

std::shared_ptr<shared_mutex> make_shared_mutex() {
    std::shared_ptr<void> memory = map_shared(sizeof(shared_mutex));
    if (!memory) return nullptr;
    auto* mutex = new (memory.get()) shared_mutex;
    if (!mutex->init()) return nullptr;
    return std::shared_ptr<shared_mutex>(memory, mutex);
}
