#include "engine/mt_obj.h"

mt_obj::mt_obj() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

mt_obj::~mt_obj() {
    pthread_mutex_destroy(&mutex);
}

void mt_obj::lock() {
    pthread_mutex_lock(&mutex);
}

void mt_obj::unlock() {
    pthread_mutex_unlock(&mutex);
}
