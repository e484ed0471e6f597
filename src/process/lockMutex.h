#pragma once

#include <atomic>

// The data mutex: a system mutex per object, created with its owner or on first use
// by LockMutex, taken by waiting without time-out and released by the caller.
struct SystemMutex;
using MutexHandle = std::atomic<SystemMutex*>;

// Any thread. Null when the system refuses a mutex.
SystemMutex* CreateSystemMutex();
// Any thread, once no one uses it; the handle becomes null.
void CloseSystemMutex(MutexHandle* handle);

// Any thread. Creates the mutex when the handle is null (a racing creator's copy is
// closed, one mutex remains), then waits for it. True only when the wait failed.
bool LockMutex(MutexHandle* handle);
// Any thread, by the thread that locked. False when it was not held by this thread.
bool ReleaseMutex(MutexHandle* handle);

// Holds a data mutex for a scope; releases only what it took.
class CMutexLock {
public:
    explicit CMutexLock(MutexHandle* handle) : m_handle(handle), m_failed(LockMutex(handle)) {}
    ~CMutexLock()
    {
        if (!m_failed)
            ReleaseMutex(m_handle);
    }
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;
    bool IsLocked() const { return !m_failed; }

private:
    MutexHandle* m_handle;
    bool m_failed;
};
