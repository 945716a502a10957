// The reference tray host: the main window, the notification icon with its window, the tray menu,
// the copy-data requests of other processes, and the proxy command lines.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "VarnelPrivateInterface.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

class CMenuXP;
class CTray;

class CVarnelHost {
public:
    explicit CVarnelHost(HINSTANCE instance);
    ~CVarnelHost();
    CVarnelHost(const CVarnelHost&) = delete;
    CVarnelHost& operator=(const CVarnelHost&) = delete;

    // Runs the host for the given command line; the result is the process exit code.
    int Run(int argc, wchar_t** argv);

    // The process's exit codes. Each but ExitDone is told in one line when it happens (on the
    // standard error, or the console of the starting process, and in the log).
    enum ExitCode : int {
        ExitDone = 0,             // the tray ended, the proxy walked, the help was shown, the plug-in passed its check
        ExitAnotherHost = 1,      // another tray host runs on this desktop
        ExitCommandLine = 2,      // an option is not known or lacks its value
        ExitNoConfiguration = 3,  // the GUI configuration or the tray menu could not be read
        ExitNoWindowClasses = 4,  // the window classes could not be registered
        ExitNoWindows = 5,        // the host's windows could not be created (no desktop to show them on)
        ExitPluginRefused = 6,    // --check-plugin: the plug-in would not load, or not unload cleanly
        ExitCheckNotMade = 7,     // --check-plugin: the check could not be made
        ExitSupervisorGaveUp = 8,  // --supervise: the tray ended or stopped answering too often
        ExitTrayNotStarted = 9,    // --supervise: the tray host could not be started
    };
    // Says why the process ends, as "Varnel: <why> (exit code N)", and gives the code back.
    static int End(int code, const std::wstring& why, const std::wstring& logFile = std::wstring());
    static const wchar_t HelpText[];

    static const wchar_t MainWindowClass[];
    static const wchar_t NotifyWindowClass[];
    static const UINT TrayCallbackMessage = WM_APP + 1;
    // Posted to the main window by --show traymenu, so that the menu opens from the message loop.
    static const UINT ShowTrayMenuMessage = WM_APP + 2;
    // Posted to the main window when work waits: it runs once the host is no longer busy.
    static const UINT RunPendingWorkMessage = WM_APP + 3;
    // Posted when one of the host's windows has gone while the host is not shutting down.
    static const UINT RestoreWindowsMessage = WM_APP + 4;
    // Posted by the host to itself for a pick another program asked for (MenuPick.h): wParam is the
    // item's command.
    static const UINT RunMenuPickMessage = WM_APP + 6;
    // Work that may wait for the host at most; more requests are refused.
    static const size_t MaxPendingWork = 64;

private:
    struct Options {
        bool loadAll = false;
        bool unload = false;
        bool headless = false;
        bool report = false;
        bool help = false;
        std::wstring checkPlugin;  // --check-plugin: the library to load in a host of its own
        bool supervise = false;    // --supervise: run the tray as a process of its own and restart it
        std::vector<DWORD> restartPausesMs{1000, 5000, 30000};
        DWORD unansweredMs = 30000;
        std::wstring trayArguments;  // what a supervised tray is started with
        std::wstring show;  // what to open once started: health, about, history or traymenu
        std::vector<std::wstring> messages;  // plug-in messages to deliver once the plug-ins are loaded
        HWND ignoredWindow = nullptr;
        std::wstring logFile;
    };

    // Work that reached the host while its user-interface thread was busy; it runs in arrival order
    // once the outermost busy scope has ended.
    struct PendingWork {
        enum class Kind { Request, Command, Close, RestoreWindows };
        Kind kind = Kind::Request;
        CVarnelPrivateInterface::IPC_DATA request{};  // Kind::Request
        UINT command = 0;                             // Kind::Command
        bool anyMenuItem = false;                     // Kind::Command: a plug-in's item may be picked
    };

    // The user-interface thread is busy while one lives (a request, a command, the tray menu,
    // start-up, shut-down); when the outermost one ends, the work that waits runs.
    class BusyScope {
    public:
        explicit BusyScope(CVarnelHost& host);
        ~BusyScope();
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

    private:
        CVarnelHost& m_host;
    };

    // False with the reason in m_commandLineError when a word is not understood.
    bool ParseCommandLine(int argc, wchar_t** argv);
    bool ParseSupervisorValue(const std::wstring& option, const std::wstring& value);
    int RunProxy();
    int RunSupervisor();
    int RunTray();
    // Dispatches messages until the quit message; a failure to get one is logged and waited out.
    void RunMessageLoop();
    bool StartUp();
    void ShutDown();
    bool RegisterClasses();
    HWND CreateHostWindow(const wchar_t* className, const wchar_t* title);
    HWND CreateNotifyWindow();

    bool IsBusy() const { return m_busyDepth > 0; }
    // Keeps work for later; false when the queue is full.
    bool Defer(const PendingWork& work);
    bool IsDeferred(PendingWork::Kind kind) const;
    void RunPendingWork();
    void Run(const PendingWork& work);
    void Drop(const PendingWork& work);

    static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMainWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnNotifyWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnClose();
    void Close();
    // WM_NCDESTROY of the main or the notify-icon window: while the host is not shutting down, the
    // window is made anew.
    void OnWindowGone(HWND window);
    void OnRestoreWindows();
    void RestoreWindows();
    bool RestoreMainWindow();
    bool RestoreNotifyWindow(std::unique_ptr<CTray>& oldTray);
    // Gives the library the current windows and tray again, keeping the tray's look.
    void HandOverWindows();

    LRESULT OnCopyData(HWND sender, const COPYDATASTRUCT* data);
    // A report request (reportrequest::ReportRequest): the report goes back to the sender window.
    LRESULT OnReportRequest(HWND sender, const COPYDATASTRUCT* data);
    bool QueueRequest(const CVarnelPrivateInterface::IPC_DATA& request);
    // Acts on a request, logs its result and reports; true when it was accepted.
    bool RunRequest(const CVarnelPrivateInterface::IPC_DATA& request);
    bool Dispatch(const CVarnelPrivateInterface::IPC_DATA& request);
    void Refuse(const CVarnelPrivateInterface::IPC_DATA& request, const wchar_t* why);
    bool LoadPluginNamed(const wchar_t* pathOrName);
    void ReportUnregisteredLibrary(const wchar_t* pathOrName);
    bool UnloadPluginNamed(const wchar_t* pathOrName);
    // The tray menu where a tray shows it, as a right click on the icon opens it. With a flyout
    // to open, the keyboard opens the first flyout that holds items once the menu stands.
    void ShowTrayMenu(bool openFlyout = false);
    // The tray menu unless the host is busy (a menu inside the work in progress is not opened).
    void OnShowTrayMenu(bool openFlyout);
    static void CALLBACK OpenFlyoutStep(HWND window, UINT message, UINT_PTR timer, DWORD time);
    void OnCommand(UINT command);
    // A WM_COMMAND, which any program on the desktop may post: it acts only for an enabled item of
    // the tray menu that is one of the host's own commands.
    void OnWindowCommand(UINT command, bool anyMenuItem = false);
    // The answer to MenuPickMessage: true when command is an enabled item, whose pick is then posted.
    bool AcceptMenuPick(UINT command);
    void RunWindowCommand(UINT command, bool anyMenuItem);
    static bool IsEnabledHostCommand(UINT command);
    static bool IsEnabledMenuItem(UINT command);

    void Log(const wchar_t* format, ...);
    // With --report: the lines of the report in the log.
    void Report(const wchar_t* occasion);
    // The plug-ins with their names, capabilities and states, the tray state and title, the tray
    // menu tree with the command identifiers, and why the last load request was refused.
    std::vector<std::wstring> ReportLines();
    static void ReportMenu(HMENU menu, int depth, std::vector<std::wstring>& lines);
    // Opens the dialog named by --show (for screenshots and demonstrations).
    void ShowRequestedDialog();
    static void CascadeHistoryOver(HWND health);

    HINSTANCE m_instance;
    Options m_options;
    wchar_t m_title[MAX_PATH];
    HWND m_mainWindow;
    HWND m_notifyWindow;
    HICON m_defaultIcon;
    std::unique_ptr<CMenuXP> m_menu;
    std::unique_ptr<CTray> m_tray;
    bool m_shutDown;
    int m_busyDepth;
    bool m_runningPendingWork;
    std::deque<PendingWork> m_pending;
    std::wstring m_commandLineError;
    // Why the last load request that named a plug-in was refused; empty after one that loaded.
    std::wstring m_lastLoadRefusal;
};
