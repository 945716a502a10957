// A helper process for the resilience tests: a tray that loads one plug-in and whatever that
// plug-in does to it.
//   PluginCrashPeer load SUBKEY   loads the plug-in registered under SUBKEY and sends it a plug-in
//                                 message; exits 0 when it is still alive after that
//   PluginCrashPeer start         starts the plug-in registry (which reads what ended processes
//                                 left) and ends
#include "OXIL_dllmain.h"
#include "PluginInterface.h"

#include <windows.h>

#include <cwchar>

// The host's own last word on a fault that ends it, run after the library's: it ends the process at
// once, as a host that shows no crash dialog would.
LONG WINAPI EndQuietly(EXCEPTION_POINTERS* exception)
{
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

int wmain(int argc, wchar_t** argv)
{
    SetUnhandledExceptionFilter(EndQuietly);
    if (argc >= 3 && std::wcscmp(argv[1], L"load") == 0) {
        void* handle = nullptr;
        CPluginInterface::Instance()->LoadPlugin(argv[2], &handle);
        CPluginInterface::Instance()->PluginComm(L"go", 1);
    } else if (argc < 2 || std::wcscmp(argv[1], L"start") != 0) {
        return 2;
    }
    CPluginInterface::Instance();
    delete COXIL_DllMain::Instance();
    return 0;
}
