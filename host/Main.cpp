// Varnel.exe, the reference tray host. "Varnel.exe --help" lists its command lines, options and exit
// codes (CVarnelHost::HelpText).
#include "VarnelHost.h"

#include <shellapi.h>

namespace {
// The tray menu and the dialogs are laid out at the DPI of the monitor they stand on rather than
// drawn at 96 DPI and scaled up by the system. The call exists from Windows 10 1703 on; older
// systems get system DPI awareness.
void BecomeDpiAware()
{
    using SetAwarenessContext = BOOL(WINAPI*)(HANDLE);
    const HANDLE perMonitorV2 = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4));
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    auto setContext = reinterpret_cast<SetAwarenessContext>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
    if (setContext != nullptr && setContext(perMonitorV2)) return;
    SetProcessDPIAware();
}

// A fault nothing took ends the tray at once with the fault's code, after the library has written
// its crash dump (its filter comes first and hands on to this one): no error dialog waits for a
// person while a supervisor could start the tray again.
// Ended here, not unwound: after such a fault nothing of the process (its loader lock, its heap) can
// be trusted to run the library's detach code.
LONG WINAPI EndWithTheFaultsCode(EXCEPTION_POINTERS* exception)
{
    ::TerminateProcess(::GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    SetUnhandledExceptionFilter(&EndWithTheFaultsCode);
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    BecomeDpiAware();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return CVarnelHost::End(CVarnelHost::ExitCommandLine, L"the command line could not be read");
    int result = 0;
    {
        CVarnelHost host(instance);
        result = host.Run(argc, argv);
    }
    LocalFree(argv);
    return result;
}
