#include "process/lockMutex.h"

#include <pthread.h>

#include <new>

struct SystemMutex {
    pthread_mutex_t mutex;
};

SystemMutex* CreateSystemMutex()
{
    auto* created = new (std::nothrow) SystemMutex;
    if (created == nullptr)
        return nullptr;
    // Error-checking: a second lock by the owner fails instead of hanging the thread.
    pthread_mutexattr_t attr;
    bool ok = ::pthread_mutexattr_init(&attr) == 0;
    ok = ok && ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0;
    ok = ok && ::pthread_mutex_init(&created->mutex, &attr) == 0;
    ::pthread_mutexattr_destroy(&attr);
    if (!ok) {
        delete created;
        return nullptr;
    }
    return created;
}

void CloseSystemMutex(MutexHandle* handle)
{
    if (handle == nullptr)
        return;
    SystemMutex* mutex = handle->exchange(nullptr);
    if (mutex == nullptr)
        return;
    ::pthread_mutex_destroy(&mutex->mutex);
    delete mutex;
}

bool LockMutex(MutexHandle* handle)
{
    if (handle == nullptr)
        return true;
    SystemMutex* mutex = handle->load(std::memory_order_acquire);
    if (mutex == nullptr) {
        SystemMutex* created = CreateSystemMutex();
        if (created == nullptr)
            return true;
        SystemMutex* expected = nullptr;
        if (handle->compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
            mutex = created;
        } else {
            // Another first user installed one: keep theirs.
            ::pthread_mutex_destroy(&created->mutex);
            delete created;
            mutex = expected;
        }
    }
    return ::pthread_mutex_lock(&mutex->mutex) != 0;
}

bool ReleaseMutex(MutexHandle* handle)
{
    if (handle == nullptr)
        return false;
    SystemMutex* mutex = handle->load(std::memory_order_acquire);
    if (mutex == nullptr)
        return false;
    return ::pthread_mutex_unlock(&mutex->mutex) == 0;
}
