// Runs plug-in code so that a fault in it ends the call, not the process.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace plugins {

// How a guarded call ended when the plug-in faulted.
struct PluginFault {
    DWORD code = 0;                  // the exception code
    const void* address = nullptr;   // where it was raised
};

// The exception code a C++ exception of the host's own compiler is reported with when it leaves
// plug-in code.
constexpr DWORD kCxxExceptionCode = 0xE06D7363;

// Calls run(argument). False when the call ended in a fault of the plug-in's (see the handler's
// rules in the source): *fault says which. A fault raised in the library's own code is not
// caught here and ends the process as before.
bool CallGuarded(void (*run)(void*), void* argument, PluginFault* fault);

// Records, for the guarded call running on this thread, that a C++ exception ended it.
void ReportCxxException();

// The same for any callable: call() runs inside the guard.
template <class Call>
bool RunGuarded(Call& call, PluginFault* fault)
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
    return CallGuarded(&Trampoline::Run, &call, fault);
}

}  // namespace plugins
