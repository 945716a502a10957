// A critical section object: taken again by the thread that holds it, released when every
// Await has been left. Also Lockable, so std::lock_guard takes it.
#pragma once
#include "SupportAPI.h"
#include "Lock.h"

class ZEROVA_SUPPORT_API CCriticalSectionEx {
public:
    CCriticalSectionEx();
    ~CCriticalSectionEx();
    CCriticalSectionEx(const CCriticalSectionEx&) = delete;
    CCriticalSectionEx& operator=(const CCriticalSectionEx&) = delete;

    void Await();
    void Leave();
    void lock() { Await(); }
    void unlock() { Leave(); }

private:
    zerova::RecursiveMutex m_lock;
};
