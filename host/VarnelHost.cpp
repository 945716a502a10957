#include "VarnelHost.h"
#include "Supervisor.h"
#include "VarnelPrivateInterface.h"

#include "HostOutput.h"
#include "LoadTrace.h"
#include "MenuPick.h"
#include "PluginCheck.h"
#include "ReportRequest.h"

#include "DebugTrace.h"
#include "FileIO.h"
#include "ErrorMsg.h"
#include "Handles.h"
#include "Localize.h"
#include "MenuXP.h"
#include "OXIL_dllmain.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "PluginRequest.h"
#include "RequestSender.h"
#include "SafeString.h"
#include "StationDesktopUtils.h"
#include "SupportServices.h"
#include "ThreadManager.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

const wchar_t CVarnelHost::MainWindowClass[] = L"Zerova_VarnelWindowClass";
const wchar_t CVarnelHost::NotifyWindowClass[] = L"ZerovaFramework_NotifyIcon";

const wchar_t CVarnelHost::HelpText[] =
    L"Varnel.exe, the tray host of Varnel Security.\n"
    L"\n"
    L"usage:\n"
    L"  Varnel.exe [--log FILE] [--report] [--show WHAT] [--message TEXT]... [--headless]\n"
    L"      runs the tray of this desktop: loads the registered plug-ins and shows the tray icon\n"
    L"  Varnel.exe load_all     starts a tray host on every desktop that has a taskbar, on every window station\n"
    L"  Varnel.exe unload       tells every tray host to unload its plug-ins, and closes them\n"
    L"  Varnel.exe --check-plugin PATH [--log FILE]\n"
    L"      loads the plug-in library PATH in a host of its own (no other plug-in, no tray icon, not\n"
    L"      found by requests), says what happened, unloads it again and ends; varnelctl check-plugin\n"
    L"      runs this\n"
    L"  Varnel.exe --supervise [--restart-pauses-ms A,B,C] [--unanswered-ms N] [tray options]\n"
    L"      runs the tray as a process of its own and starts it again when it ends without being asked to\n"
    L"      or its notify-icon window has not answered for N ms (default 30000); the pauses before the\n"
    L"      first, second and later restarts are A, B and C ms (default 1000,5000,30000); after 5 restarts\n"
    L"      within 10 minutes it stops; it ends when the tray ends as asked (exit code 0)\n"
    L"  Varnel.exe --help       shows this text\n"
    L"\n"
    L"options:\n"
    L"  --log FILE       appends what the host does (start, requests and their results, end) to FILE, in UTF-8\n"
    L"  --report         with --log: the report (plug-ins, states, tray state, tray menu) after the start and after\n"
    L"                   each request; varnelctl report asks a running host for it without this option\n"
    L"  --show WHAT      once started, opens health (system health), about (the about box), history (the state\n"
    L"                   history of the first health line) or traymenu (the tray menu, first flyout with items open)\n"
    L"  --message TEXT   hands TEXT and the number 0 to the plug-ins once they are loaded (activity 7); repeatable\n"
    L"  --headless       accepted for scripts; it changes nothing\n"
    L"  ignorehwnd=N     refuses requests that name window N as their sender (the load walk gives it)\n"
    L"\n"
    L"exit codes:\n"
    L"  0  the tray ended, the walk was made, or the plug-in passed its check\n"
    L"  1  another tray host runs on this desktop\n"
    L"  2  the command line was not understood\n"
    L"  3  the GUI configuration or the tray menu of the language module could not be read\n"
    L"  4  the window classes could not be registered\n"
    L"  5  the host's windows could not be created (there is no desktop to show them on)\n"
    L"  6  --check-plugin: the plug-in would be refused, did not unload cleanly, or had errors recorded\n"
    L"  7  --check-plugin: the check could not be made\n"
    L"  8  --supervise: the tray ended or stopped answering 5 times within 10 minutes and was left ended\n"
    L"  9  --supervise: the tray host could not be started\n"
    L"     (a supervised tray that will not run, codes 1 to 7, ends the supervision with its code)\n"
    L"Each code but 0 is told in one line on the standard error (or the console that started the host)\n"
    L"and in the log.\n";

namespace {
const wchar_t kProxyWindowClass[] = L"Zerova_VarnelProxyWindow";
const UINT kSystemHealthCommand = 4000;
const UINT kAboutCommand = 4001;
const UINT kUpdateCommand = 4002;
const UINT kExitCommand = 4003;
const UINT kFirstSuiteCommand = 25001;
const UINT_PTR kOpenFlyoutTimer = 1;
const UINT kOpenFlyoutPeriodMs = 150;
const int kMaxOpenFlyoutSteps = 40;
int g_openFlyoutSteps = 0;
const DWORD kMessageRetryMs = 50;
const int kLogLineCapacity = 4096;
const int kMaxMenuDepth = 8;

CVarnelHost* g_host = nullptr;

const wchar_t kShowWords[][16] = {L"health", L"about", L"history", L"traymenu"};

// A string of the record is usable only when it ends within its 1024 units.
bool IsTerminated(const wchar_t* units, int count) { return wmemchr(units, L'\0', static_cast<size_t>(count)) != nullptr; }

const wchar_t kIgnoreWindowWord[] = L"ignorehwnd=";

// "ignorehwnd=<decimal handle>"; the handle is sign-extended as the walk wrote it with "%d".
bool ParseIgnoredWindow(const wchar_t* word, HWND& window)
{
    const size_t prefix = wcslen(kIgnoreWindowWord);
    if (wcsncmp(word, kIgnoreWindowWord, prefix) != 0) return false;
    window = reinterpret_cast<HWND>(static_cast<INT_PTR>(wcstoll(word + prefix, nullptr, 10)));
    return true;
}

// The record of a copy-data request, when the message carries a well-formed one: exactly the
// record's size, a string that ends within its units and a known reason.
bool ReadRequest(const COPYDATASTRUCT* data, CVarnelPrivateInterface::IPC_DATA& request)
{
    if (data == nullptr || data->cbData != sizeof(request) || data->lpData == nullptr) return false;
    memcpy(&request, data->lpData, sizeof(request));
    return IsTerminated(request.stringValue, CVarnelPrivateInterface::IPC_STRING_UNITS) && request.reason >= 1 &&
           request.reason <= 10;
}

// Whether an item with that command stands enabled in the menu or in one of its enabled flyouts.
bool HasEnabledItem(HMENU menu, UINT command, int depth)
{
    for (int position = 0; menu != nullptr && depth < kMaxMenuDepth && position < GetMenuItemCount(menu); ++position) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_FTYPE;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(position), TRUE, &info) || (info.fType & MFT_SEPARATOR)) continue;
        if (info.fState & MFS_DISABLED) continue;  // both bits: grayed or disabled
        if (info.hSubMenu != nullptr ? HasEnabledItem(info.hSubMenu, command, depth + 1) : info.wID == command) return true;
    }
    return false;
}

// Only processes at the host's integrity level or above may send it copy-data requests: the
// operating system then refuses those of lower ones before they arrive, also the requests that name
// no sender window, which the host cannot check itself. Where the system has no such filter (older
// systems, Wine) the host goes on without it.
bool DisallowLowerIntegrityCopyData(HWND window)
{
    using ChangeFilter = BOOL(WINAPI*)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return false;
    auto change = reinterpret_cast<ChangeFilter>(
        reinterpret_cast<void*>(GetProcAddress(user32, "ChangeWindowMessageFilterEx")));
    if (change == nullptr) return false;
    CHANGEFILTERSTRUCT status{};
    status.cbSize = sizeof(status);
    return change(window, WM_COPYDATA, MSGFLT_DISALLOW, &status) != FALSE;
}
}  // namespace

CVarnelHost::CVarnelHost(HINSTANCE instance)
    : m_instance(instance), m_options(), m_title(), m_mainWindow(nullptr), m_notifyWindow(nullptr), m_defaultIcon(nullptr),
      m_shutDown(false), m_busyDepth(0), m_runningPendingWork(false)
{
    g_host = this;
}

CVarnelHost::~CVarnelHost() { g_host = nullptr; }


void CVarnelHost::Log(const wchar_t* format, ...)
{
    if (m_options.logFile.empty()) return;
    wchar_t line[kLogLineCapacity];
    va_list args;
    va_start(args, format);
    zerova::FormatStringV(line, kLogLineCapacity, format, args);
    va_end(args);
    hostoutput::AppendToLog(m_options.logFile, line);
}

int CVarnelHost::End(int code, const std::wstring& why, const std::wstring& logFile)
{
    const std::wstring line = L"Varnel: " + why + L" (exit code " + std::to_wstring(code) + L")";
    hostoutput::WriteLine(hostoutput::Stream::Error, line.c_str());
    hostoutput::AppendToLog(logFile, line.c_str());
    return code;
}

// A host started by a load walk gets "ignorehwnd=<n>" as its whole command line, which the run-time
// hands over as the program name (argv[0]): that word counts wherever it stands.
bool CVarnelHost::ParseCommandLine(int argc, wchar_t** argv)
{
    for (int i = 0; i < argc; ++i) {
        const std::wstring word = argv[i];
        if (ParseIgnoredWindow(argv[i], m_options.ignoredWindow) || i == 0) continue;
        if (word == L"load_all") {
            m_options.loadAll = true;
        } else if (word == L"unload") {
            m_options.unload = true;
        } else if (word == L"--headless") {
            m_options.headless = true;
        } else if (word == L"--report") {
            m_options.report = true;
        } else if (word == L"--help" || word == L"-h" || word == L"/?") {
            m_options.help = true;
        } else if (word == L"--supervise") {
            m_options.supervise = true;
            continue;
        } else if (word == L"--restart-pauses-ms" || word == L"--unanswered-ms") {
            if (i + 1 >= argc) {
                m_commandLineError = word + L" needs a value";
                return false;
            }
            if (!ParseSupervisorValue(word, argv[++i])) return false;
            continue;
        } else if (word == L"--show" || word == L"--message" || word == L"--log" || word == L"--check-plugin") {
            if (i + 1 >= argc) {
                m_commandLineError = word + L" needs a value";
                return false;
            }
            const std::wstring value = argv[++i];
            if (word == L"--show") m_options.show = value;
            if (word == L"--message") m_options.messages.push_back(value);
            if (word == L"--log") m_options.logFile = value;
            if (word == L"--check-plugin") m_options.checkPlugin = value;
            m_options.trayArguments += L" " + word + L" " + CSupervisor::Quote(value);
            continue;
        } else {
            m_commandLineError = L"unknown option \"" + word + L"\"";
            return false;
        }
        m_options.trayArguments += L" " + word;
    }
    if (!m_options.trayArguments.empty()) m_options.trayArguments.erase(0, 1);
    if (m_options.supervise && (m_options.loadAll || m_options.unload || !m_options.checkPlugin.empty())) {
        m_commandLineError = L"--supervise runs the tray only (not load_all, unload or --check-plugin)";
        return false;
    }
    const bool knownShow = m_options.show.empty() || std::any_of(std::begin(kShowWords), std::end(kShowWords),
                                                                  [&](const wchar_t* known) { return m_options.show == known; });
    if (!knownShow) {
        m_commandLineError = L"--show takes health, about, history or traymenu, not \"" + m_options.show + L"\"";
        return false;
    }
    return true;
}

int CVarnelHost::Run(int argc, wchar_t** argv)
{
    if (!ParseCommandLine(argc, argv))
        return End(ExitCommandLine, m_commandLineError + L"; \"Varnel.exe --help\" lists the options", m_options.logFile);
    if (m_options.help) {
        hostoutput::WriteLine(hostoutput::Stream::Output, HelpText);
        return ExitDone;
    }
    if (m_options.supervise) return RunSupervisor();
    if (!m_options.checkPlugin.empty()) {
        CPluginCheck check(m_instance, m_options.logFile);
        return check.Run(m_options.checkPlugin);
    }
    COXIL_DllMain* module = COXIL_DllMain::Instance();
    if (!module->LoadResources()) {
        wchar_t guiRoot[MAX_PATH] = L"";
        CVarnelPrivateInterface::GetGUIRootFolder(guiRoot, MAX_PATH);
        delete COXIL_DllMain::Instance();
        return End(ExitNoConfiguration,
                   std::wstring(L"the GUI configuration under \"") + guiRoot +
                       L"\" or the tray menu of the language module (ZerovaLanguage.dll) could not be read",
                   m_options.logFile);
    }
    module->GetTitle(m_title, MAX_PATH);
    if (!RegisterClasses()) {
        const DWORD error = GetLastError();
        delete COXIL_DllMain::Instance();
        return End(ExitNoWindowClasses, L"the window classes could not be registered (Windows error " +
                                            std::to_wstring(error) + L")", m_options.logFile);
    }
    const int result = m_options.loadAll || m_options.unload ? RunProxy() : RunTray();
    delete COXIL_DllMain::Instance();
    return result;
}

bool CVarnelHost::ParseSupervisorValue(const std::wstring& option, const std::wstring& value)
{
    std::vector<DWORD> numbers;
    if (!CSupervisor::ParsePauses(value, numbers) || (option == L"--unanswered-ms" && numbers.size() != 1)) {
        m_commandLineError = option + L" takes " + (option == L"--unanswered-ms" ? L"milliseconds" : L"milliseconds, "
                             L"separated by commas") + L", not \"" + value + L"\"";
        return false;
    }
    if (option == L"--unanswered-ms") m_options.unansweredMs = numbers.front();
    else m_options.restartPausesMs = numbers;
    return true;
}

// The supervisor starts this program again without --supervise; it loads no plug-in itself.
int CVarnelHost::RunSupervisor()
{
    wchar_t program[MAX_PATH] = L"";
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return End(CSupervisor::CouldNotStart, L"the path of Varnel.exe could not be read", m_options.logFile);
    CSupervisor::Settings settings;
    settings.program = program;
    settings.trayArguments = m_options.trayArguments;
    settings.logFile = m_options.logFile;
    settings.restartPausesMs = m_options.restartPausesMs;
    settings.unansweredMs = m_options.unansweredMs;
    CSupervisor supervisor(settings);
    return supervisor.Run();
}

bool CVarnelHost::RegisterClasses()
{
    for (auto entry : {std::make_pair(MainWindowClass, &CVarnelHost::MainWindowProc),
                       std::make_pair(NotifyWindowClass, &CVarnelHost::NotifyWindowProc),
                       std::make_pair(kProxyWindowClass, &CVarnelHost::MainWindowProc)}) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = entry.second;
        windowClass.hInstance = m_instance;
        windowClass.lpszClassName = entry.first;
        if (!RegisterClassExW(&windowClass)) return false;
    }
    return true;
}

HWND CVarnelHost::CreateHostWindow(const wchar_t* className, const wchar_t* title)
{
    return CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 300, 200, nullptr,
                           nullptr, m_instance, nullptr);
}

// Started as a proxy: load or unload the tray hosts on every window station and desktop, then end.
int CVarnelHost::RunProxy()
{
    HWND proxy = CreateHostWindow(kProxyWindowClass, m_title);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(proxy, m_title);
    Log(L"proxy: %s all tray hosts from window %d", m_options.loadAll ? L"loading" : L"unloading",
        static_cast<int>(reinterpret_cast<INT_PTR>(proxy)));
    CStationDesktopUtils::Instance()->LoadUnloadOnAllStationsAndDesktops(m_options.loadAll);
    DestroyWindow(proxy);
    return 0;
}

int CVarnelHost::RunTray()
{
    // One tray host per desktop: a second one leaves the first alone.
    if (HWND other = FindWindowW(NotifyWindowClass, m_title)) {
        DWORD process = 0;
        GetWindowThreadProcessId(other, &process);
        return End(ExitAnotherHost, L"another tray host runs on this desktop (process " + std::to_wstring(process) +
                                        L"); this one ends and leaves it alone", m_options.logFile);
    }
    {
        BusyScope busy(*this);
        if (!StartUp()) {
            const DWORD error = GetLastError();
            m_shutDown = true;
            return End(ExitNoWindows, L"the host's windows could not be created (Windows error " + std::to_wstring(error) +
                                          L"): there is no desktop to show them on (no display?)", m_options.logFile);
        }
    }
    RunMessageLoop();
    ShutDown();
    return ExitDone;
}

// GetMessageW answers -1 when it fails, and under Wine the status of a fault (negative too) when it
// cannot copy a sent message's data (a copy-data request of megabytes): neither is a reason to end,
// only WM_QUIT (0) is.
void CVarnelHost::RunMessageLoop()
{
    MSG message;
    bool failing = false;
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) return;
        if (got < 0) {
            if (!failing)
                Log(L"getting the next message failed (%d, error %lu); the host goes on", static_cast<int>(got), GetLastError());
            failing = true;
            Sleep(kMessageRetryMs);
            continue;
        }
        failing = false;
        // Posted to the thread when neither window was there to receive it.
        if (message.hwnd == nullptr && message.message == RestoreWindowsMessage) {
            OnRestoreWindows();
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

HWND CVarnelHost::CreateNotifyWindow()
{
    HWND window = CreateHostWindow(NotifyWindowClass, m_title);
    if (window == nullptr) return nullptr;
    if (DisallowLowerIntegrityCopyData(window))
        Log(L"copy-data requests of lower integrity levels are filtered out by the system");
    else
        Log(L"the system offers no message filter: copy-data requests are checked by the host alone");
    return window;
}

bool CVarnelHost::StartUp()
{
    m_mainWindow = CreateHostWindow(MainWindowClass, m_title);
    m_notifyWindow = CreateNotifyWindow();
    if (m_mainWindow == nullptr || m_notifyWindow == nullptr) return false;
    wchar_t image[MAX_PATH];
    m_defaultIcon = COXIL_DllMain::Instance()->GetTrayIcon(VARNEL_PLUGIN_STATE_OK, image, MAX_PATH, 16, 16);
    m_menu = std::make_unique<CMenuXP>();
    m_tray = std::make_unique<CTray>(m_notifyWindow, 1, TrayCallbackMessage, m_defaultIcon, m_title);
    CVarnelMenuUtils::Instance()->SetHandles(m_mainWindow, m_menu.get(), m_tray.get());
    CStationDesktopUtils::Instance()->SetMainAppHwnd(m_mainWindow, m_title);
    CVarnelPrivateInterface::Instance()->SplashScreen();
    Log(L"started: main window %u, notify window %u, ignoring window %u",
        static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_mainWindow)),
        static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_notifyWindow)),
        static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_options.ignoredWindow)));
    if (m_options.ignoredWindow != nullptr)
        ZEROVA_TRACE(4, L"Varnel: requests naming window %d as their sender are ignored",
                     static_cast<int>(reinterpret_cast<INT_PTR>(m_options.ignoredWindow)));
    CPluginInterface::Instance()->LoadPlugins();
    Log(L"plug-ins loaded: %d", CPluginInterface::Instance()->GetTotalNumberOfPlugins());
    for (const std::wstring& text : m_options.messages) {
        CPluginInterface::Instance()->PluginComm(text.c_str(), 0);
        Log(L"plug-in message \"%s\" delivered", text.c_str());
    }
    COXIL_DllMain::Instance()->SetupRegistryMonitor();
    Report(L"start");
    ShowRequestedDialog();
    Log(L"ready");
    return true;
}

void CVarnelHost::ShutDown()
{
    if (m_shutDown) return;
    m_shutDown = true;
    BusyScope busy(*this);
    CPluginInterface::Instance()->BroadcastActivity(VARNEL_ACTIVITY_EXIT, 0xFFFF);
    CPluginInterface::Instance()->UnloadPlugins(false);
    // The module's tear-down stops the registry monitor; sent notifications are let through.
    COXIL_DllMain::StopRegistryMonitor();
    m_tray.reset();
    if (IsWindow(m_notifyWindow)) DestroyWindow(m_notifyWindow);
    Log(L"stopped");
}

// ---------------------------------------------------------------- work that waits for the busy host

CVarnelHost::BusyScope::BusyScope(CVarnelHost& host) : m_host(host) { ++m_host.m_busyDepth; }

// The outermost scope runs what came meanwhile, so nothing waits longer than the work in progress.
CVarnelHost::BusyScope::~BusyScope()
{
    if (--m_host.m_busyDepth == 0) m_host.RunPendingWork();
}

bool CVarnelHost::Defer(const PendingWork& work)
{
    if (m_pending.size() >= MaxPendingWork) return false;
    m_pending.push_back(work);
    // The outermost busy scope runs it; the message is for a scope the host does not know of.
    PostMessageW(m_mainWindow, RunPendingWorkMessage, 0, 0);
    return true;
}

bool CVarnelHost::IsDeferred(PendingWork::Kind kind) const
{
    for (const PendingWork& work : m_pending)
        if (work.kind == kind) return true;
    return false;
}

void CVarnelHost::RunPendingWork()
{
    if (IsBusy() || m_runningPendingWork) return;
    m_runningPendingWork = true;
    while (!m_pending.empty()) {
        const PendingWork work = m_pending.front();
        m_pending.pop_front();
        BusyScope busy(*this);
        if (m_shutDown)
            Drop(work);
        else
            Run(work);
    }
    m_runningPendingWork = false;
}

void CVarnelHost::Run(const PendingWork& work)
{
    switch (work.kind) {
    case PendingWork::Kind::Request:
        RunRequest(work.request);
        break;
    case PendingWork::Kind::Command:
        RunWindowCommand(work.command, work.anyMenuItem);
        break;
    case PendingWork::Kind::Close:
        Close();
        break;
    case PendingWork::Kind::RestoreWindows:
        RestoreWindows();
        break;
    }
}

void CVarnelHost::Drop(const PendingWork& work)
{
    if (work.kind == PendingWork::Kind::Request)
        Log(L"request %u (%s) \"%s\" %d: dropped, the host is shutting down", work.request.reason,
            CVarnelPrivateInterface::ReasonName(work.request.reason), work.request.stringValue, work.request.intValue);
    else if (work.kind == PendingWork::Kind::Command)
        Log(L"command %u dropped, the host is shutting down", work.command);
}

// ---------------------------------------------------------------- windows

LRESULT CALLBACK CVarnelHost::MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_host != nullptr && window == g_host->m_mainWindow)
        return g_host->OnMainWindowMessage(window, message, wParam, lParam);
    // The proxy's window, and the main window while it is being made.
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CVarnelHost::OnMainWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:  // the documented way to end the host; the unload walk posts it
        OnClose();
        return 0;
    case WM_DESTROY:
        if (m_shutDown)
            PostQuitMessage(0);
        else
            Log(L"ignored: a destroy message to the main window");
        return 0;
    case WM_NCDESTROY:
        if (m_shutDown) return DefWindowProcW(window, message, wParam, lParam);
        OnWindowGone(window);
        return 0;
    case WM_TIMER:
        if (wParam == 0 && lParam == 0) Log(L"the last dialog has closed");
        return 0;
    case WM_COMMAND:
        OnWindowCommand(LOWORD(wParam));
        return 0;
    case menupick::MenuPickMessage:
        return AcceptMenuPick(static_cast<UINT>(wParam)) ? 1 : 0;
    case RunMenuPickMessage:
        OnWindowCommand(static_cast<UINT>(wParam), true);
        return 0;
    case ShowTrayMenuMessage:
        OnShowTrayMenu(true);
        return 0;
    case RunPendingWorkMessage:
        RunPendingWork();
        return 0;
    case RestoreWindowsMessage:
        OnRestoreWindows();
        return 0;
    case WM_MEASUREITEM:  // the tray menu's item images
        if (CMenuXP::MeasureItem(*reinterpret_cast<MEASUREITEMSTRUCT*>(lParam))) return TRUE;
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_DRAWITEM:
        if (CMenuXP::DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam))) return TRUE;
        return DefWindowProcW(window, message, wParam, lParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK CVarnelHost::NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Messages of the window's making go to the system until the host knows the window.
    if (g_host == nullptr || window != g_host->m_notifyWindow) return DefWindowProcW(window, message, wParam, lParam);
    return g_host->OnNotifyWindowMessage(window, message, wParam, lParam);
}

// The window by whose class and title requests find the host: no other process may close, rename
// or end it, nor make it look destroyed.
LRESULT CVarnelHost::OnNotifyWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COPYDATA:
        return OnCopyData(reinterpret_cast<HWND>(wParam), reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case TrayCallbackMessage:
        if (lParam == WM_RBUTTONUP || lParam == WM_CONTEXTMENU) OnShowTrayMenu(false);
        return 0;
    case RestoreWindowsMessage:
        OnRestoreWindows();
        return 0;
    case WM_CLOSE:
        Log(L"ignored: a close message to the notify-icon window");
        return 0;
    case WM_DESTROY:
        if (!m_shutDown) Log(L"ignored: a destroy message to the notify-icon window");
        return 0;
    case WM_NCDESTROY:
        if (m_shutDown) return DefWindowProcW(window, message, wParam, lParam);
        OnWindowGone(window);
        return 0;
    case WM_SETTEXT:
        Log(L"ignored: a new title for the notify-icon window");
        return FALSE;
    case WM_NCCREATE:  // sent from outside: it would give the window the title it carries
        return FALSE;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void CVarnelHost::OnClose()
{
    if (m_shutDown) return;
    if (IsBusy()) {
        PendingWork close;
        close.kind = PendingWork::Kind::Close;
        if (!IsDeferred(PendingWork::Kind::Close) && Defer(close)) Log(L"closing once the work in progress ends");
        return;
    }
    BusyScope busy(*this);
    Close();
}

void CVarnelHost::Close()
{
    Log(L"closing");
    ShutDown();
    DestroyWindow(m_mainWindow);
}

// A message of the window's end: a real one (plug-in code on this thread destroyed the window) or
// one posted from outside. Either way a request to restore goes to the other window (or, when
// that is gone too, to the thread); it finds nothing to do while both windows stand.
void CVarnelHost::OnWindowGone(HWND window)
{
    HWND other = window == m_mainWindow ? m_notifyWindow : m_mainWindow;
    if (!IsWindow(other) || !PostMessageW(other, RestoreWindowsMessage, 0, 0))
        PostThreadMessageW(GetCurrentThreadId(), RestoreWindowsMessage, 0, 0);
}

void CVarnelHost::OnRestoreWindows()
{
    if (m_shutDown) return;
    if (IsBusy()) {
        PendingWork restore;
        restore.kind = PendingWork::Kind::RestoreWindows;
        if (!IsDeferred(PendingWork::Kind::RestoreWindows)) Defer(restore);
        return;
    }
    BusyScope busy(*this);
    RestoreWindows();
}

void CVarnelHost::RestoreWindows()
{
    if (m_shutDown) return;
    const bool mainGone = !IsWindow(m_mainWindow);
    const bool notifyGone = !IsWindow(m_notifyWindow);
    const bool mainMade = mainGone && RestoreMainWindow();
    // The old tray stays until the library has the new one.
    std::unique_ptr<CTray> oldTray;
    const bool notifyMade = notifyGone && RestoreNotifyWindow(oldTray);
    if (!mainMade && !notifyMade) return;
    HandOverWindows();
    if (mainMade) Log(L"the main window was made anew: %u", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_mainWindow)));
    if (notifyMade)
        Log(L"the notify-icon window was made anew: %u", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_notifyWindow)));
}

bool CVarnelHost::RestoreMainWindow()
{
    HWND window = CreateHostWindow(MainWindowClass, m_title);
    if (window == nullptr) {
        Log(L"the main window could not be made anew, error %lu", GetLastError());
        return false;
    }
    m_mainWindow = window;
    return true;
}

// A new notify-icon window with a tray icon of its own that shows what the old one showed.
bool CVarnelHost::RestoreNotifyWindow(std::unique_ptr<CTray>& oldTray)
{
    HWND window = CreateNotifyWindow();
    if (window == nullptr) {
        Log(L"the notify-icon window could not be made anew, error %lu", GetLastError());
        return false;
    }
    auto menuLock = CVarnelMenuUtils::Instance()->LockMenu();
    wchar_t title[MAX_PATH] = L"";
    m_tray->GetTitle(title, MAX_PATH);
    auto tray = std::make_unique<CTray>(window, 1, TrayCallbackMessage, m_tray->GetTrayIcon(), title);
    if (m_tray->IsHidden()) tray->Hide();
    m_notifyWindow = window;
    oldTray = std::move(m_tray);
    m_tray = std::move(tray);
    return true;
}

void CVarnelHost::HandOverWindows()
{
    auto menuLock = CVarnelMenuUtils::Instance()->LockMenu();
    wchar_t title[MAX_PATH] = L"";
    m_tray->GetTitle(title, MAX_PATH);
    HICON icon = m_tray->GetTrayIcon();
    // The library takes the tray's icon and title of this moment as its defaults.
    m_tray->ModifyIcon(m_defaultIcon);
    m_tray->ModifyTitle(m_title);
    CVarnelMenuUtils::Instance()->SetHandles(m_mainWindow, m_menu.get(), m_tray.get());
    m_tray->ModifyIcon(icon);
    m_tray->ModifyTitle(title);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(m_mainWindow, m_title);
}

// ---------------------------------------------------------------- requests of other processes

LRESULT CVarnelHost::OnCopyData(HWND sender, const COPYDATASTRUCT* data)
{
    if (data != nullptr && data->dwData == reportrequest::ReportRequest) return OnReportRequest(sender, data);
    CVarnelPrivateInterface::IPC_DATA request;
    if (!ReadRequest(data, request)) {
        Log(L"refused: malformed request");
        return 0;
    }
    if (const wchar_t* refusal = RefusalText(JudgeSender(sender, m_options.ignoredWindow))) {
        Refuse(request, refusal);
        return 0;
    }
    if (m_shutDown) {
        Refuse(request, L"the host is shutting down");
        return 0;
    }
    // Inside a call of the host's (a plug-in's, a modal loop's), a request would run in the middle
    // of it: it waits instead, and its sender, which cannot wait for it, hears that it was taken.
    if (IsBusy()) return QueueRequest(request) ? 1 : 0;
    BusyScope busy(*this);
    return RunRequest(request) ? 1 : 0;
}

// A report changes nothing and calls no plug-in, so it is answered also while the host is busy: the
// sender, which waits in its own send, takes the report's message meanwhile.
LRESULT CVarnelHost::OnReportRequest(HWND sender, const COPYDATASTRUCT* data)
{
    if (data->cbData != 0) {
        Log(L"refused: malformed report request");
        return 0;
    }
    const SenderVerdict verdict = JudgeSender(sender, m_options.ignoredWindow);
    if (verdict != SenderVerdict::Accepted) {
        const wchar_t* why = RefusalText(verdict);
        Log(L"refused: report request, %s", why != nullptr ? why : L"it names no window to send the report to");
        return 0;
    }
    if (m_shutDown) {
        Log(L"refused: report request, the host is shutting down");
        return 0;
    }
    std::wstring text;
    for (const std::wstring& line : ReportLines()) text += line + L"\n";
    COPYDATASTRUCT reply{};
    reply.dwData = reportrequest::ReportReply;
    reply.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    reply.lpData = &text[0];
    const LRESULT taken = SendMessageW(sender, WM_COPYDATA, reinterpret_cast<WPARAM>(m_notifyWindow),
                                       reinterpret_cast<LPARAM>(&reply));
    Log(L"report sent to window %u: %s", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(sender)),
        taken == 1 ? L"taken" : L"not taken");
    return taken == 1 ? 1 : 0;
}

bool CVarnelHost::QueueRequest(const CVarnelPrivateInterface::IPC_DATA& request)
{
    PendingWork work;
    work.kind = PendingWork::Kind::Request;
    work.request = request;
    if (!Defer(work)) {
        wchar_t why[64];
        Refuse(request, zerova::FormatString(why, 64, L"%u requests wait already", static_cast<unsigned>(MaxPendingWork)));
        return false;
    }
    Log(L"request %u (%s) \"%s\" %d: queued until the work in progress ends", request.reason,
        CVarnelPrivateInterface::ReasonName(request.reason), request.stringValue, request.intValue);
    return true;
}

bool CVarnelHost::RunRequest(const CVarnelPrivateInterface::IPC_DATA& request)
{
    const bool accepted = Dispatch(request);
    // A refused load says why, as the report and varnelctl do.
    std::wstring outcome = accepted ? L"accepted" : L"refused";
    if (!accepted && request.reason == CVarnelPrivateInterface::IPC_LOAD_PLUGIN && !m_lastLoadRefusal.empty())
        outcome += L": " + m_lastLoadRefusal;
    Log(L"request %u (%s) \"%s\" %d: %s", request.reason, CVarnelPrivateInterface::ReasonName(request.reason),
        request.stringValue, request.intValue, outcome.c_str());
    if (request.reason != CVarnelPrivateInterface::IPC_AGENT_REGKEY_CHANGE)
        Report(CVarnelPrivateInterface::ReasonName(request.reason));
    return accepted;
}

// A refused request leaves a line in the host's log and in the trace.
void CVarnelHost::Refuse(const CVarnelPrivateInterface::IPC_DATA& request, const wchar_t* why)
{
    Log(L"refused: %s", why);
    ZEROVA_TRACE(4, L"Varnel: request %u (%s) refused: %s", request.reason,
                 CVarnelPrivateInterface::ReasonName(request.reason), why);
}

bool CVarnelHost::Dispatch(const CVarnelPrivateInterface::IPC_DATA& request)
{
    CPluginInterface* plugins = CPluginInterface::Instance();
    switch (request.reason) {
    case CVarnelPrivateInterface::IPC_LOAD:
    case CVarnelPrivateInterface::IPC_LOAD_ALL:
        plugins->LoadPlugins();
        return true;
    case CVarnelPrivateInterface::IPC_UNLOAD:
        plugins->BroadcastActivity(VARNEL_ACTIVITY_EXIT, 0xFFFF);
        plugins->UnloadPlugins(false);
        return true;
    case CVarnelPrivateInterface::IPC_SHOW:
        m_tray->Show();
        return true;
    case CVarnelPrivateInterface::IPC_HIDE:
        m_tray->Hide();
        return true;
    case CVarnelPrivateInterface::IPC_LOAD_PLUGIN:
        return LoadPluginNamed(request.stringValue);
    case CVarnelPrivateInterface::IPC_UNLOAD_PLUGIN:
        return UnloadPluginNamed(request.stringValue);
    case CVarnelPrivateInterface::IPC_VERIFY_PLUGIN:
        return plugins->VerifyPlugin(request.stringValue);
    case CVarnelPrivateInterface::IPC_PLUGIN_COMM:
        return plugins->PluginComm(request.stringValue, request.intValue);
    case CVarnelPrivateInterface::IPC_AGENT_REGKEY_CHANGE:
        COXIL_DllMain::Instance()->HandleRegistryNotification();
        return true;
    default:
        return false;
    }
}

// A full path loads the registered plug-in whose "Path" is that file and nothing when none is; a
// bare name loads the registered plug-in whose library has that name, else the registry entry of
// that name.
bool CVarnelHost::LoadPluginNamed(const wchar_t* pathOrName)
{
    std::wstring subkey;
    switch (NamingOf(pathOrName)) {
    case PluginNaming::FullPath:
        subkey = RegisteredSubkeyForPath(pathOrName);
        break;
    case PluginNaming::FileName:
        subkey = RegisteredSubkeyForFileName(pathOrName);
        if (subkey.empty()) subkey = pathOrName;
        break;
    case PluginNaming::Invalid:
        break;
    }
    if (subkey.empty()) {
        m_lastLoadRefusal = L"\"" + std::wstring(pathOrName) + L"\": " +
                            (NamingOf(pathOrName) == PluginNaming::Invalid
                                 ? L"neither a full path (X:\\...) nor a library file name"
                                 : L"no plug-in is registered with that library");
        if (NamingOf(pathOrName) != PluginNaming::Invalid) ReportUnregisteredLibrary(pathOrName);
        return false;
    }
    void* handle = nullptr;
    CLoadTrace trace(CLoadTrace::Threads::ThisOne);
    const bool loaded = CPluginInterface::Instance()->LoadPlugin(&subkey[0], &handle);
    m_lastLoadRefusal.clear();
    if (!loaded) {
        m_lastLoadRefusal = L"\"" + std::wstring(pathOrName) + L"\" (registry entry \"" + subkey + L"\"): ";
        const auto errors = trace.Errors();
        if (errors.empty())
            m_lastLoadRefusal += L"not loaded, and no error was recorded (a \"DoNotLoadMe\" flag, a library "
                                 L"that does not exist, or a PluginInit result other than 0 to 3)";
        for (size_t i = 0; i < errors.size(); ++i)
            m_lastLoadRefusal += (i > 0 ? L"; error " : L"error ") + std::to_wstring(errors[i].code) + L": " + errors[i].text;
    }
    return loaded;
}

// The error loggers hear of a load request for a library no plug-in entry names, with the number
// an author finds in the guide.
void CVarnelHost::ReportUnregisteredLibrary(const wchar_t* pathOrName)
{
    const UINT kUnregisteredLibraryString = 453;
    const std::wstring text = zerova::SupportServices::OfProcess().Formatted(kUnregisteredLibraryString, pathOrName);
    if (!text.empty()) CErrorMsg::Instance()->Error(static_cast<int>(kUnregisteredLibraryString), text.c_str());
}

// A full path unloads the loaded plug-in whose library is the file, and only when that file is a
// registered plug-in's "Path"; a bare name unloads the first loaded plug-in whose library has it.
bool CVarnelHost::UnloadPluginNamed(const wchar_t* pathOrName)
{
    CPluginInterface* plugins = CPluginInterface::Instance();
    switch (NamingOf(pathOrName)) {
    case PluginNaming::FullPath: {
        if (RegisteredSubkeyForPath(pathOrName).empty()) return false;
        void* handle = LoadedPluginWithPath(pathOrName);
        return handle != nullptr && plugins->UnloadPlugin(handle);
    }
    case PluginNaming::FileName:
        return plugins->UnloadPlugin(pathOrName);
    case PluginNaming::Invalid:
        return false;
    }
    return false;
}

// ---------------------------------------------------------------- the state report

void CVarnelHost::Report(const wchar_t* occasion)
{
    if (!m_options.report) return;
    Log(L"report after %s:", occasion);
    for (const std::wstring& line : ReportLines()) Log(L"  %s", line.c_str());
}

std::vector<std::wstring> CVarnelHost::ReportLines()
{
    std::vector<std::wstring> lines;
    wchar_t line[kLogLineCapacity];
    for (CVarnelPrivateInterface::PLUGIN_DATA* record : CPluginInterface::Instance()->GetPluginList()) {
        auto* plugin = static_cast<CPlugin*>(record->plugin);
        if (plugin == nullptr) continue;
        // An unloaded plug-in has forgotten its names; its registry entry stays.
        wchar_t subkey[MAX_PATH], shown[MAX_PATH], text[MAX_PATH];
        plugin->GetRegistrySubkey(subkey, MAX_PATH);
        const wchar_t* name = CFileIO::GetFilename(subkey);
        plugin->GetDisplayName(shown, MAX_PATH);
        plugin->GetStateText(text, MAX_PATH);
        lines.push_back(zerova::FormatString(line, kLogLineCapacity,
                                             L"plug-in \"%s\" shown as \"%s\": %s, capabilities 0x%03X, state %d \"%s\"",
                                             name, shown, plugin->IsLoaded() ? L"loaded" : L"unloaded",
                                             plugin->GetFlags(), static_cast<int>(plugin->GetState()), text));
    }
    VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
    wchar_t title[MAX_PATH] = L"";
    CPluginInterface::Instance()->GetTrayState(state, title, MAX_PATH);
    lines.push_back(zerova::FormatString(line, kLogLineCapacity, L"tray state %d, title \"%s\", icon %s",
                                         static_cast<int>(state), title,
                                         m_tray && m_tray->IsHidden() ? L"hidden" : L"shown"));
    if (!m_lastLoadRefusal.empty()) lines.push_back(L"last load request refused: " + m_lastLoadRefusal);
    lines.push_back(L"tray menu:");
    auto menuLock = CVarnelMenuUtils::Instance()->LockMenu();
    ReportMenu(COXIL_DllMain::Instance()->GetSubMenu(), 1, lines);
    return lines;
}

void CVarnelHost::ReportMenu(HMENU menu, int depth, std::vector<std::wstring>& lines)
{
    if (depth > kMaxMenuDepth) return;
    for (int position = 0; menu != nullptr && position < GetMenuItemCount(menu); ++position) {
        wchar_t caption[MAX_PATH] = L"";
        MENUITEMINFOW info{};
        CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(position), true, info, caption, MAX_PATH);
        const wchar_t* indent = L"                ";
        const int spaces = depth * 2 < 16 ? depth * 2 : 16;
        wchar_t line[kLogLineCapacity];
        if (info.fType & MFT_SEPARATOR) {
            lines.push_back(zerova::FormatString(line, kLogLineCapacity, L"%.*s----", spaces, indent));
            continue;
        }
        lines.push_back(zerova::FormatString(line, kLogLineCapacity, L"%.*s[%u] %s%s%s", spaces, indent, info.wID, caption,
                                             (info.fState & MFS_GRAYED) ? L" (grayed)" : L"",
                                             (info.fState & MFS_CHECKED) ? L" (checked)" : L""));
        if (info.hSubMenu != nullptr) ReportMenu(info.hSubMenu, depth + 1, lines);
    }
}

void CVarnelHost::ShowRequestedDialog()
{
    if (m_options.show == L"traymenu") {
        PostMessageW(m_mainWindow, ShowTrayMenuMessage, 0, 0);
        return;
    }
    if (m_options.show == L"about") {
        CPluginInterface::Instance()->DisplayAboutBox(m_mainWindow);
        return;
    }
    if (m_options.show != L"health" && m_options.show != L"history") return;
    CPluginInterface::Instance()->DisplaySystemHealth(m_mainWindow);
    if (m_options.show != L"history") return;
    // The history of the first line, as a user's selection and click would open it.
    HWND health = nullptr;
    for (int tries = 0; tries < 200 && health == nullptr; ++tries) {
        health = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_SYSTEMHEALTH, nullptr);
        if (health == nullptr) Sleep(20);
    }
    if (health == nullptr) return;
    LVITEMW select{};
    select.stateMask = LVIS_SELECTED;
    select.state = LVIS_SELECTED;
    SendDlgItemMessageW(health, 1000, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&select));
    PostMessageW(health, WM_COMMAND, 5001, 0);
    CascadeHistoryOver(health);
}

namespace {
struct OwnedWindowSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<OwnedWindowSearch*>(context);
    if (GetWindow(window, GW_OWNER) != search->owner || !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}
}  // namespace

// Moves the state history down and to the right of the health dialog, so that both show. (Under
// Wine without a window manager a dialog that opens wholly inside another stays unpainted.)
void CVarnelHost::CascadeHistoryOver(HWND health)
{
    OwnedWindowSearch search{health, nullptr};
    const DWORD thread = GetWindowThreadProcessId(health, nullptr);
    for (int tries = 0; tries < 200 && search.found == nullptr; ++tries) {
        EnumThreadWindows(thread, &FindOwnedWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr) Sleep(20);
    }
    HWND history = search.found;
    if (history == nullptr) return;
    RECT healthRect{}, historyRect{}, area{};
    GetWindowRect(health, &healthRect);
    GetWindowRect(history, &historyRect);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    const int width = historyRect.right - historyRect.left;
    const int height = historyRect.bottom - historyRect.top;
    const int left = std::max<int>(area.left, std::min<int>(healthRect.left + 160, area.right - width));
    const int top = std::max<int>(area.top, std::min<int>(healthRect.top + 140, area.bottom - height));
    SetWindowPos(history, HWND_TOP, left, top, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
}

// ---------------------------------------------------------------- the tray menu

namespace {
// Position of the first enabled flyout of the tray menu that holds items; -1 when there is none.
int FirstFlyoutWithItems(HMENU menu)
{
    for (int position = 0; menu != nullptr && position < GetMenuItemCount(menu); ++position) {
        HMENU flyout = GetSubMenu(menu, position);
        const UINT state = GetMenuState(menu, static_cast<UINT>(position), MF_BYPOSITION);
        if (flyout != nullptr && GetMenuItemCount(flyout) > 0 && (state & (MF_GRAYED | MF_DISABLED)) == 0)
            return position;
    }
    return -1;
}
}  // namespace

void CVarnelHost::OnShowTrayMenu(bool openFlyout)
{
    if (m_shutDown) return;
    if (IsBusy()) {
        Log(L"the tray menu is not opened while the host is busy");
        return;
    }
    BusyScope busy(*this);
    ShowTrayMenu(openFlyout);
}

void CVarnelHost::ShowTrayMenu(bool openFlyout)
{
    POINT at{};
    UINT flags = TPM_RETURNCMD | TPM_RIGHTBUTTON;
    if (openFlyout) {
        // The notification area stands at the bottom right of the work area.
        RECT area{};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
        at = {area.right - 1, area.bottom - 1};
        flags |= TPM_RIGHTALIGN | TPM_BOTTOMALIGN;
        g_openFlyoutSteps = 0;
        SetTimer(m_mainWindow, kOpenFlyoutTimer, kOpenFlyoutPeriodMs, &CVarnelHost::OpenFlyoutStep);
    } else {
        GetCursorPos(&at);
    }
    m_menu->LineUpItemTexts(COXIL_DllMain::Instance()->GetSubMenu());
    SetForegroundWindow(m_mainWindow);
    const UINT command = static_cast<UINT>(
        TrackPopupMenu(COXIL_DllMain::Instance()->GetSubMenu(), flags, at.x, at.y, 0, m_mainWindow, nullptr));
    KillTimer(m_mainWindow, kOpenFlyoutTimer);
    // The menu loop leaves posted keys behind when it ends before they arrive.
    MSG key;
    while (PeekMessageW(&key, m_mainWindow, WM_KEYDOWN, WM_KEYDOWN, PM_REMOVE)) {
    }
    if (command != 0) OnCommand(command);
}

// Runs inside the menu loop: moves the selection down, as the arrow key does, until the flyout is
// selected, then opens it with the right arrow key.
void CALLBACK CVarnelHost::OpenFlyoutStep(HWND window, UINT, UINT_PTR timer, DWORD)
{
    HMENU menu = COXIL_DllMain::Instance()->GetSubMenu();
    const int flyout = FirstFlyoutWithItems(menu);
    if (flyout < 0 || ++g_openFlyoutSteps > kMaxOpenFlyoutSteps) {
        KillTimer(window, timer);
        if (g_host != nullptr) g_host->Log(L"tray menu shown; no flyout could be opened");
        return;
    }
    if ((GetMenuState(menu, static_cast<UINT>(flyout), MF_BYPOSITION) & MF_HILITE) == 0) {
        PostMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
        return;
    }
    KillTimer(window, timer);
    PostMessageW(window, WM_KEYDOWN, VK_RIGHT, 0);
    if (g_host != nullptr) g_host->Log(L"tray menu shown with flyout %u open", CMenuXP::GetMenuItemID(menu, flyout));
}

void CVarnelHost::OnWindowCommand(UINT command, bool anyMenuItem)
{
    if (m_shutDown) return;
    if (IsBusy()) {
        PendingWork work;
        work.kind = PendingWork::Kind::Command;
        work.command = command;
        work.anyMenuItem = anyMenuItem;
        if (Defer(work))
            Log(L"command %u queued until the work in progress ends", command);
        else
            Log(L"ignored: command %u, %u pieces of work wait already", command, static_cast<unsigned>(MaxPendingWork));
        return;
    }
    BusyScope busy(*this);
    RunWindowCommand(command, anyMenuItem);
}

void CVarnelHost::RunWindowCommand(UINT command, bool anyMenuItem)
{
    if (!(anyMenuItem ? IsEnabledMenuItem(command) : IsEnabledHostCommand(command))) {
        Log(anyMenuItem ? L"ignored: command %u is no enabled item of the tray menu"
                        : L"ignored: command %u is no enabled host item of the tray menu",
            command);
        return;
    }
    OnCommand(command);
}

bool CVarnelHost::AcceptMenuPick(UINT command)
{
    if (m_shutDown || command == 0 || !IsEnabledMenuItem(command)) {
        Log(L"refused: menu pick %u, no enabled item of the tray menu has that command", command);
        return false;
    }
    Log(L"menu pick %u accepted", command);
    return PostMessageW(m_mainWindow, RunMenuPickMessage, command, 0) != FALSE;
}

bool CVarnelHost::IsEnabledMenuItem(UINT command)
{
    auto menuLock = CVarnelMenuUtils::Instance()->LockMenu();
    return HasEnabledItem(COXIL_DllMain::Instance()->GetSubMenu(), command, 0);
}

// Plug-in items are left out: their 32-bit commands do not fit in a WM_COMMAND.
bool CVarnelHost::IsEnabledHostCommand(UINT command)
{
    const bool hostCommand = (command >= kSystemHealthCommand && command <= kExitCommand) || command >= kFirstSuiteCommand;
    return hostCommand && IsEnabledMenuItem(command);
}

void CVarnelHost::OnCommand(UINT command)
{
    int itemId = 0;
    if (CVarnelPrivateInterface::PLUGIN_DATA* owner = CVarnelMenuUtils::Instance()->FindPluginByCommand(command, itemId)) {
        auto* plugin = static_cast<CPlugin*>(owner->plugin);
        if (plugin != nullptr && CPluginInterface::Instance()->ValidatePlugin(owner))
            plugin->CallActivity(VARNEL_ACTIVITY_MENU_COMMAND, itemId, 0);
        return;
    }
    if (command >= kFirstSuiteCommand) {
        CPluginInterface::Instance()->NotifySuiteMenuAction(command);
        return;
    }
    switch (command) {
    case kUpdateCommand:
        CPluginInterface::Instance()->BroadcastUpdate();
        break;
    case kExitCommand:
        PostMessageW(m_mainWindow, WM_CLOSE, 0, 0);
        break;
    case kSystemHealthCommand:
        CPluginInterface::Instance()->DisplaySystemHealth(m_mainWindow);
        break;
    case kAboutCommand:
        CPluginInterface::Instance()->DisplayAboutBox(m_mainWindow);
        break;
    default:
        break;
    }
}
