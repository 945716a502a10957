// A plain value of each thread, kept in a slot of the system's thread-local storage.
//
// The tool chain's `thread_local` goes through its threads library on every access: a lookup under
// a spin lock of the thread's own record (a plug-in thread was once seen spinning there for good),
// and for objects with destructors a clean-up that runs after their storage was freed. A slot of
// the system has neither: reading it takes no lock, so it may also be read inside an exception
// handler, and there is nothing to destroy when the thread ends.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>
#include <type_traits>

namespace zerova {

template <typename T>
class ThreadValue {
    static_assert(sizeof(T) <= sizeof(void*) && std::is_trivially_copyable<T>::value,
                  "a thread value is a plain value no larger than a pointer");

public:
    // Made when the module loads, before any thread of the module's can use it.
    ThreadValue() : m_slot(::TlsAlloc()) {}
    ~ThreadValue()
    {
        if (m_slot != TLS_OUT_OF_INDEXES) ::TlsFree(m_slot);
    }
    ThreadValue(const ThreadValue&) = delete;
    ThreadValue& operator=(const ThreadValue&) = delete;

    // Reading a slot clears the thread's last error; the caller's is kept.
    T Get() const
    {
        const DWORD lastError = ::GetLastError();
        void* raw = m_slot != TLS_OUT_OF_INDEXES ? ::TlsGetValue(m_slot) : nullptr;
        ::SetLastError(lastError);
        T value;
        std::memcpy(&value, &raw, sizeof(T));
        return value;
    }
    void Set(T value)
    {
        void* raw = nullptr;
        std::memcpy(&raw, &value, sizeof(T));
        if (m_slot != TLS_OUT_OF_INDEXES) ::TlsSetValue(m_slot, raw);
    }

private:
    const DWORD m_slot;
};

}  // namespace zerova
