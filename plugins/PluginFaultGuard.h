// Runs plug-in code so that a fault in it ends the call, not the process.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace plugins {

// How a guarded call ended when the plug-in faulted.
struct PluginFault {
    DWORD code = 0;                  // the exception code
    const void* address = nullptr;   // where it was raised
};

// The exception code a C++ exception of the host's own compiler is reported with when it leaves
// plug-in code.
constexpr DWORD kCxxExceptionCode = 0xE06D7363;

class CrashDumps;

// Where the guard writes the dump of a fault it takes (named after tag), and the path it wrote.
struct FaultDump {
    const CrashDumps* dumps = nullptr;
    const wchar_t* tag = nullptr;
    std::wstring* written = nullptr;
    // Called before the dump is written: the time it takes is not the plug-in's call hanging.
    void (*beforeWrite)(void* context) = nullptr;
    void* context = nullptr;
};

// Calls run(argument). False when the call ended in a fault of the plug-in's (see the handler's
// rules in the source): *fault says which, and with dump a crash dump of it is written while the
// faulting state is still there. A fault raised in the library's own code is not caught here and
// ends the process as before.
bool CallGuarded(void (*run)(void*), void* argument, PluginFault* fault, const FaultDump* dump = nullptr);

// Records, for the guarded call running on this thread, that a C++ exception ended it.
void ReportCxxException();

// The same for any callable: call() runs inside the guard.
template <class Call>
bool RunGuarded(Call& call, PluginFault* fault, const FaultDump* dump = nullptr)
{
    struct Trampoline {
        static void Run(void* argument)
        {
            // Nothing of C++ may leave through the guard's frame, which has no unwind tables of
            // GCC's: what is thrown here ends the call as a fault.
            try {
                (*static_cast<Call*>(argument))();
            } catch (...) {
                ReportCxxException();
            }
        }
    };
    return CallGuarded(&Trampoline::Run, &call, fault, dump);
}

// A text buffer handed to plug-in code. Marks follow its end up to a page boundary, and an
// inaccessible page follows the marks: a write a little past the end shows in the marks, a write
// far past it faults in the plug-in's code at the boundary, before anything of the host is
// overwritten, whatever its length.
class GuardedTextBuffer {
public:
    explicit GuardedTextBuffer(size_t characters);
    ~GuardedTextBuffer();
    GuardedTextBuffer(const GuardedTextBuffer&) = delete;
    GuardedTextBuffer& operator=(const GuardedTextBuffer&) = delete;

    // Null when no memory could be had.
    wchar_t* Data() const { return m_text; }
    size_t Capacity() const { return m_characters; }
    // Nothing was written past the buffer's end.
    bool MarksIntact() const;

private:
    void* m_block = nullptr;
    wchar_t* m_text = nullptr;
    size_t m_characters = 0;
    size_t m_marks = 0;
};

}  // namespace plugins
