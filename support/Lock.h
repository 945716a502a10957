// Locks for objects the libraries make again and again (one per plug-in load, for example).
//
// With this tool chain's thread model, std::mutex and std::recursive_mutex have trivial
// destructors: the native mutex their first lock allocates is never given back (24 bytes on
// 64-bit builds for every such object that was ever locked). These two keep nothing: they stand on
// a slim reader/writer lock of the system. Both meet the standard's Lockable requirements, so
// std::lock_guard and std::unique_lock take them.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

namespace zerova {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() { ::AcquireSRWLockExclusive(&m_lock); }
    bool try_lock() { return ::TryAcquireSRWLockExclusive(&m_lock) != FALSE; }
    void unlock() { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// Taken again by the thread that holds it, released when every lock has been undone.
class RecursiveMutex {
public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock()
    {
        if (HeldByThisThread()) {
            ++m_depth;
            return;
        }
        m_lock.lock();
        Own();
    }
    bool try_lock()
    {
        if (HeldByThisThread()) {
            ++m_depth;
            return true;
        }
        if (!m_lock.try_lock()) return false;
        Own();
        return true;
    }
    void unlock()
    {
        if (--m_depth != 0) return;
        m_owner.store(0, std::memory_order_relaxed);
        m_lock.unlock();
    }

private:
    // Only the holder ever finds its own identifier here; another thread may read a stale value,
    // never its own.
    bool HeldByThisThread() const { return m_owner.load(std::memory_order_relaxed) == ::GetCurrentThreadId(); }
    void Own()
    {
        m_owner.store(::GetCurrentThreadId(), std::memory_order_relaxed);
        m_depth = 1;
    }

    Mutex m_lock;
    std::atomic<DWORD> m_owner{0};
    unsigned m_depth = 0;
};

}  // namespace zerova
