// varnelctl: steers the tray hosts of this machine from the command line.
#include "HostOutput.h"
#include "HostReport.h"
#include "MenuPick.h"
#include "PluginCheckTool.h"
#include "PluginRequest.h"
#include "QuarantineTool.h"
#include "ToolOutput.h"

#include "DebugTrace.h"
#include "OXIL_dllmain.h"
#include "StationDesktopUtils.h"
#include "VarnelUtils.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const int kDone = 0;
const int kCommandLine = 2;

const wchar_t kUsage[] =
    L"usage: varnelctl COMMAND [ARGUMENTS]\n"
    L"\n"
    L"Requests to the tray host of this desktop:\n"
    L"  status                    tell whether a tray host runs\n"
    L"  report                    the running host's plug-ins (names, capabilities, states), tray state and\n"
    L"                            title, and tray menu with its command identifiers\n"
    L"  load-all                  load every plug-in registered and not loaded yet\n"
    L"  menu-pick ID              pick the enabled tray menu item whose command is ID (as varnelctl report lists\n"
    L"                            the menu: host items, suite entries and plug-in items), as a person would\n"
    L"  load-plugin PATH          load the plug-in whose library is PATH (a full path, or a library file name)\n"
    L"  unload-plugin PATH        unload the plug-in whose library is PATH\n"
    L"  quarantine list           the plug-ins kept out after repeated faults or hangs, with their reasons\n"
    L"  quarantine clear NAME     let the plug-in NAME (registry entry, library path or file name) load again,\n"
    L"                            and load it in the running tray host\n"
    L"\n"
    L"Requests to the tray hosts of every window station and desktop:\n"
    L"  show | hide               show or hide their tray icons\n"
    L"  plugin-comm TEXT VALUE    hand TEXT and VALUE to all their plug-ins\n"
    L"  start-all [FOLDER]        start a tray host on every desktop with a taskbar\n"
    L"  unload-all [FOLDER]       unload every tray host and close it\n"
    L"  trace                     list every top-level window of every desktop\n"
    L"\n"
    L"For plug-in authors:\n"
    L"  check-plugin PATH [FOLDER]  what the tray host makes of the plug-in library PATH: its architecture\n"
    L"                            against the host's, the entry points it exports, the libraries it needs,\n"
    L"                            its registry entry, and a dry run of its load and unload in a separate\n"
    L"                            host process (Varnel.exe --check-plugin), ending in a verdict\n"
    L"\n"
    L"FOLDER is the folder of Varnel.exe (default: this program's folder).\n"
    L"Exit codes: 0 done (check-plugin: the plug-in loads and unloads cleanly), 1 the request failed\n"
    L"(check-plugin: the plug-in would be refused or does not unload cleanly), 2 wrong command line,\n"
    L"3 check-plugin: the check could not be made. Each code but 0 is told in one line: on the standard\n"
    L"error, and for check-plugin in its last line, the verdict.\n";

using tooloutput::Fail;
using tooloutput::Print;

int Usage(const wchar_t* problem)
{
    if (problem != nullptr)
        hostoutput::WriteLine(hostoutput::Stream::Error, (L"varnelctl: " + std::wstring(problem) + L" (exit code " +
                                                          std::to_wstring(kCommandLine) + L")\n").c_str());
    std::wstring usage = kUsage;
    usage.pop_back();  // the line end comes with the writing
    hostoutput::WriteLine(problem != nullptr ? hostoutput::Stream::Error : hostoutput::Stream::Output, usage.c_str());
    return problem != nullptr ? kCommandLine : kDone;
}

void PrintTrace(int, const wchar_t* text, const wchar_t*, int, void*)
{
    if (wcsncmp(text, L"DebugTrace_EnumWindowsProc", 26) == 0 || wcsncmp(text, L"Enum", 4) == 0) Print(text);
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

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = L"";
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length < MAX_PATH ? length : 0);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
}

// The tray host's main window: the window of the host's process with the host's main window class.
HWND FindTrayMainWindow(DWORD hostProcess)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, L"Zerova_VarnelWindowClass", nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, L"Zerova_VarnelWindowClass", nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == hostProcess) return window;
    }
    return nullptr;
}

int Report()
{
    HWND host = nullptr;
    if (!CVarnelUtils::Instance()->IsVarnelRunning(host)) return Fail(L"no tray host runs on this desktop");
    std::vector<std::wstring> lines;
    std::wstring problem;
    if (!AskHostForReport(host, lines, problem)) return Fail(problem);
    for (const std::wstring& line : lines) Print(line);
    return kDone;
}

// Why the tray host will not act on a load or unload request for that library, before it is sent;
// empty when the request names a registered plug-in.
std::wstring WhyNotRegistered(const std::wstring& argument, bool load)
{
    pluginregistry::Entry entry;
    switch (NamingOf(argument.c_str())) {
    case PluginNaming::Invalid:
        return L"\"" + argument + L"\" is neither a full path (X:\\...) nor a library file name: the tray host refuses "
               L"relative, drive-relative, network, device and stream names";
    case PluginNaming::FileName:
        if (!pluginregistry::FindByFileName(argument, entry))
            return L"no registered plug-in has a library named \"" + argument + L"\", and no registry entry has that name";
        break;
    case PluginNaming::FullPath:
        if (pluginregistry::FindByPath(argument, false, entry)) break;
        if (pluginregistry::FindByPath(argument, true, entry))
            return L"the plug-in \"" + entry.subkey + L"\" with that library is registered in the " +
                   pluginregistry::ViewName(true) + L" only, which the tray host does not read; register it in the " +
                   pluginregistry::ViewName(false);
        return L"no plug-in is registered with the library \"" + argument + L"\" (the tray host loads and unloads only "
               L"plug-ins whose registry entry under HKEY_LOCAL_MACHINE\\SOFTWARE\\Zerova\\Varnel\\Plugins has that \"Path\")";
    }
    if (load && entry.doNotLoad)
        return L"the plug-in \"" + entry.subkey + L"\" has \"DoNotLoadMe\" set in its registry entry: the tray host skips it";
    return std::wstring();
}

// The host's own word on the last refused load, from its report.
std::wstring HostsReasonForRefusal(HWND host)
{
    std::vector<std::wstring> lines;
    std::wstring problem;
    if (!AskHostForReport(host, lines, problem)) return std::wstring();
    const std::wstring prefix = L"last load request refused: ";
    for (const std::wstring& line : lines)
        if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    return std::wstring();
}

int PickMenuItem(UINT id)
{
    HWND notify = nullptr;
    if (!CVarnelUtils::Instance()->IsVarnelRunning(notify)) return Fail(L"no tray host runs on this desktop");
    DWORD hostProcess = 0;
    GetWindowThreadProcessId(notify, &hostProcess);
    HWND main = FindTrayMainWindow(hostProcess);
    if (main == nullptr) return Fail(L"the tray host's main window was not found");
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(main, menupick::MenuPickMessage, id, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                             menupick::AnswerTimeoutMs, &answer))
        return Fail(L"the tray host did not answer within " + std::to_wstring(menupick::AnswerTimeoutMs / 1000) +
                    L" s: its thread is busy (a plug-in's call may hang there)");
    if (answer == 0)
        return Fail(L"not picked: no enabled item of the tray menu has the command " + std::to_wstring(id) +
                    L" (varnelctl report lists the menu with its commands)");
    Print(L"picked: " + std::to_wstring(id));
    return kDone;
}

int LoadOrUnload(bool load, const std::wstring& argument)
{
    CVarnelUtils* utils = CVarnelUtils::Instance();
    HWND host = nullptr;
    if (!utils->IsVarnelRunning(host)) return Fail(L"no tray host runs on this desktop");
    const std::wstring why = WhyNotRegistered(argument, load);
    if (!why.empty()) return Fail((load ? L"not loaded: " : L"not unloaded: ") + why);
    if (load && !utils->LoadPlugin(argument.c_str())) {
        const std::wstring reason = HostsReasonForRefusal(host);
        return Fail(L"the tray host did not load the plug-in" + (reason.empty() ? std::wstring() : L": " + reason) +
                    L" (varnelctl check-plugin tells more)");
    }
    if (!load && !utils->UnloadPlugin(argument.c_str()))
        return Fail(L"the tray host did not unload the plug-in: it is not loaded (varnelctl report lists what is)");
    Print((load ? L"loaded: " : L"unloaded: ") + argument);
    return kDone;
}

int RunCommand(const std::wstring& command, int argc, wchar_t** argv)
{
    CVarnelUtils* utils = CVarnelUtils::Instance();
    const wchar_t* argument = argc > 2 ? argv[2] : nullptr;
    if (command == L"status") {
        HWND host = nullptr;
        if (!utils->IsVarnelRunning(host)) return Fail(L"no tray host runs on this desktop");
        Print(L"a tray host runs (notify window " + std::to_wstring(static_cast<unsigned>(reinterpret_cast<UINT_PTR>(host))) + L")");
        return kDone;
    }
    if (command == L"report") return Report();
    if (command == L"load-all") {
        if (!utils->LoadPlugins()) return Fail(L"no tray host took the request (is one running?)");
        Print(L"the tray host loads every registered plug-in");
        return kDone;
    }
    if (command == L"load-plugin" || command == L"unload-plugin") {
        if (argc != 3) return Usage(L"a plug-in path is needed");
        return LoadOrUnload(command == L"load-plugin", argument);
    }
    if (command == L"menu-pick") {
        if (argc != 3) return Usage(L"menu-pick needs the item's command identifier");
        wchar_t* end = nullptr;
        const unsigned long long id = wcstoull(argument, &end, 10);
        if (end == argument || *end != L'\0' || argument[0] == L'-' || id == 0 || id > 0xFFFFFFFFull)
            return Usage(L"ID must be a command identifier of the tray menu, a number from 1 to 4294967295");
        return PickMenuItem(static_cast<UINT>(id));
    }
    if (command == L"quarantine") {
        if (argc == 3 && std::wstring(argument) == L"list") return ListQuarantine();
        if (argc == 4 && std::wstring(argument) == L"clear") return ClearQuarantine(argv[3]);
        return Usage(L"quarantine takes list, or clear NAME");
    }
    if (command == L"check-plugin") {
        if (argc != 3 && argc != 4) return Usage(L"check-plugin needs PATH and takes FOLDER");
        return CheckPlugin(argument, argc == 4 ? argv[3] : ProgramFolder());
    }
    if (command == L"start-all" || command == L"unload-all") {
        const bool start = command == L"start-all";
        if (!(start ? utils->LoadAllVarnels(argument) : utils->UnloadAllVarnels(argument)))
            return Fail(L"Varnel.exe could not be started");
        Print(start ? L"tray hosts are being started" : L"every tray host was asked to unload");
        return kDone;
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
        Print(L"sent to every tray host");
        return kDone;
    }
    if (command == L"trace") {
        CDebugTrace::SetTraceHook(&PrintTrace, nullptr);
        CStationDesktopUtils::Instance()->DebugTrace();
        CDebugTrace::SetTraceHook(nullptr, nullptr);
        return kDone;
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
