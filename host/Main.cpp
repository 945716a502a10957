// Varnel.exe, the reference tray host.
//   Varnel.exe [--headless] [--log FILE]   run the tray
//   Varnel.exe load_all | unload           start or unload the tray hosts of every desktop
//   Varnel.exe ignorehwnd=<handle>         run the tray, started by another host's load walk
#include "VarnelHost.h"

#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
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
