// The slot of a module singleton that the module deletes at its end and may make anew later:
// however many threads ask first at once, exactly one object is made.
#pragma once

#include <atomic>
#include <mutex>

namespace zerova {

// make() is called at most once while the slot is empty, under the slot's lock; recursive, so that
// a constructor that asks for its own singleton again finds the lock, not a deadlock.
template <class T, class Make>
T* CreateOnce(std::atomic<T*>& slot, std::recursive_mutex& lock, Make make)
{
    if (T* existing = slot.load(std::memory_order_acquire)) return existing;
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (T* existing = slot.load(std::memory_order_acquire)) return existing;
    T* created = make();
    slot.store(created, std::memory_order_release);
    return created;
}

}  // namespace zerova
