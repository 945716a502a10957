// varnelctl: steers the tray hosts of this machine from the command line.
#include "DebugTrace.h"
#include "OXIL_dllmain.h"
#include "StationDesktopUtils.h"
#include "VarnelUtils.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const wchar_t kUsage[] =
    L"usage: varnelctl COMMAND [ARGUMENTS]\n"
    L"\n"
    L"Requests to the tray host of this desktop:\n"
    L"  status                    tell whether a tray host runs\n"
    L"  load-all                  load every plug-in registered and not loaded yet\n"
    L"  load-plugin PATH          load the plug-in whose library is PATH\n"
    L"  unload-plugin PATH        unload the plug-in whose library is PATH\n"
    L"\n"
    L"Requests to the tray hosts of every window station and desktop:\n"
    L"  show | hide               show or hide their tray icons\n"
    L"  plugin-comm TEXT VALUE    hand TEXT and VALUE to all their plug-ins\n"
    L"  start-all [FOLDER]        start a tray host on every desktop with a taskbar\n"
    L"  unload-all [FOLDER]       unload every tray host and close it\n"
    L"  trace                     list every top-level window of every desktop\n"
    L"\n"
    L"FOLDER is the folder of Varnel.exe (default: this program's folder).\n"
    L"Exit code: 0 done, 1 the request failed, 2 wrong command line.\n";

int Fail(const wchar_t* message)
{
    fwprintf(stderr, L"varnelctl: %ls\n", message);
    return 1;
}

int Usage(const wchar_t* problem)
{
    if (problem != nullptr) fwprintf(stderr, L"varnelctl: %ls\n\n", problem);
    fwprintf(problem != nullptr ? stderr : stdout, L"%ls", kUsage);
    return problem != nullptr ? 2 : 0;
}

void PrintTrace(int, const wchar_t* text, const wchar_t*, int, void*)
{
    if (wcsncmp(text, L"DebugTrace_EnumWindowsProc", 26) == 0 || wcsncmp(text, L"Enum", 4) == 0)
        wprintf(L"%ls\n", text);
}

// The walks recognise tray hosts by the tray title, which the GUI configuration gives.
bool PrepareWalk()
{
    if (!COXIL_DllMain::Instance()->LoadResources()) return false;
    wchar_t title[MAX_PATH];
    COXIL_DllMain::Instance()->GetTitle(title, MAX_PATH);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(nullptr, title);
    return true;
}

int RunCommand(const std::wstring& command, int argc, wchar_t** argv)
{
    CVarnelUtils* utils = CVarnelUtils::Instance();
    const wchar_t* argument = argc > 2 ? argv[2] : nullptr;
    if (command == L"status") {
        HWND host = nullptr;
        if (!utils->IsVarnelRunning(host)) return Fail(L"no tray host runs on this desktop");
        wprintf(L"a tray host runs (notify window %u)\n", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(host)));
        return 0;
    }
    if (command == L"load-all") {
        if (!utils->LoadPlugins()) return Fail(L"no tray host took the request (is one running?)");
        wprintf(L"the tray host loads every registered plug-in\n");
        return 0;
    }
    if (command == L"load-plugin" || command == L"unload-plugin") {
        if (argc != 3) return Usage(L"a plug-in path is needed");
        const bool load = command == L"load-plugin";
        if (!(load ? utils->LoadPlugin(argument) : utils->UnloadPlugin(argument)))
            return Fail(load ? L"the tray host did not load the plug-in" : L"the tray host did not unload the plug-in");
        wprintf(L"%ls: %ls\n", load ? L"loaded" : L"unloaded", argument);
        return 0;
    }
    if (command == L"start-all" || command == L"unload-all") {
        const bool start = command == L"start-all";
        if (!(start ? utils->LoadAllVarnels(argument) : utils->UnloadAllVarnels(argument)))
            return Fail(L"Varnel.exe could not be started");
        wprintf(L"%ls\n", start ? L"tray hosts are being started" : L"every tray host was asked to unload");
        return 0;
    }
    if (command == L"show" || command == L"hide" || command == L"plugin-comm") {
        if (!PrepareWalk()) return Fail(L"the GUI configuration could not be read");
        if (command == L"plugin-comm") {
            if (argc != 4) return Usage(L"plugin-comm needs TEXT and VALUE");
            wchar_t* end = nullptr;
            const long value = wcstol(argv[3], &end, 10);
            if (end == argv[3] || *end != L'\0') return Usage(L"VALUE must be a whole number");
            CStationDesktopUtils::Instance()->PluginComm(argument, static_cast<int>(value));
        } else {
            CStationDesktopUtils::Instance()->ShowHideTrayOnAllStationsAndDesktops(command == L"show");
        }
        wprintf(L"sent to every tray host\n");
        return 0;
    }
    if (command == L"trace") {
        CDebugTrace::SetTraceHook(&PrintTrace, nullptr);
        CStationDesktopUtils::Instance()->DebugTrace();
        CDebugTrace::SetTraceHook(nullptr, nullptr);
        return 0;
    }
    return Usage((L"unknown command: " + command).c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return Usage(L"a command is needed");
    const std::wstring command = argv[1];
    if (command == L"--help" || command == L"-h" || command == L"help") return Usage(nullptr);
    const int result = RunCommand(command, argc, argv);
    delete COXIL_DllMain::Instance();
    return result;
}
