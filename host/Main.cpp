// Varnel.exe, the reference tray host.
//   Varnel.exe [--headless] [--log FILE]   run the tray
//              [--message TEXT]...         deliver plug-in messages once the plug-ins are loaded
//              [--show health|about|history|traymenu]
//                                          open that once started (for demonstrations and screenshots;
//                                          traymenu opens the first flyout that holds items)
//   Varnel.exe load_all | unload           start or unload the tray hosts of every desktop
//   Varnel.exe ignorehwnd=<handle>         run the tray, started by another host's load walk
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
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    BecomeDpiAware();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return 2;
    int result = 0;
    {
        CVarnelHost host(instance);
        result = host.Run(argc, argv);
    }
    LocalFree(argv);
    return result;
}
