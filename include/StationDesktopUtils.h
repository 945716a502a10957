// Walks every window station and desktop of the machine and applies one procedure to every
// top-level window: start tray hosts, unload them, show or hide their icons, hand them plug-in
// messages, or trace the windows.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include <mutex>

class VARNEL_API CStationDesktopUtils {
public:
    static CStationDesktopUtils* Instance();
    ~CStationDesktopUtils();
    CStationDesktopUtils(const CStationDesktopUtils&) = delete;
    CStationDesktopUtils& operator=(const CStationDesktopUtils&) = delete;

    // The tray host's own window (never messaged; the sender of the copy-data messages) and the
    // title by which the notify-icon windows of tray hosts are recognised.
    void SetMainAppHwnd(HWND window, const wchar_t* name);
    HWND GetMainAppHwnd();

    // load: start a tray host on every desktop that shows a taskbar; otherwise tell every tray host
    // to unload and close the main windows of tray hosts.
    void LoadUnloadOnAllStationsAndDesktops(bool load);
    void ShowHideTrayOnAllStationsAndDesktops(bool show);
    void PluginComm(const wchar_t* text, int value);
    void DebugTrace();

    // ---- security helpers
    // The logon SID of a token, copied into a process-heap block freed with FreeLogonSid.
    static bool GetLogonSid(HANDLE token, PSID* sid);
    static void FreeLogonSid(PSID sid);
    static bool AddAceToWindowStation(HWINSTA station, PSID sid);
    static bool AddAceToDesktop(HDESK desktop, PSID sid);

private:
    class WalkScope;

    CStationDesktopUtils();
    void Walk(WNDENUMPROC procedure);
    void RunWalk(WNDENUMPROC procedure);
    static BOOL CALLBACK EnumWindowStationProc(LPWSTR station, LPARAM);
    static BOOL CALLBACK EnumDesktopProc(LPWSTR desktop, LPARAM);
    static BOOL CALLBACK Load_EnumWindowsProc(HWND window, LPARAM desktop);
    static BOOL CALLBACK Unload_EnumWindowsProc(HWND window, LPARAM desktop);
    static BOOL CALLBACK ShowHideTray_EnumWindowsProc(HWND window, LPARAM desktop);
    static BOOL CALLBACK PluginComm_EnumWindowsProc(HWND window, LPARAM desktop);
    static BOOL CALLBACK DebugTrace_EnumWindowsProc(HWND window, LPARAM desktop);
    void StartTrayHostFor(HWND taskbar, const wchar_t* className, const wchar_t* desktop);
    bool IsTrayHostNotifyWindow(HWND window);
    bool IsWindowToSkip(HWND window);

    WNDENUMPROC m_windowProcedure;
    bool m_show;
    wchar_t m_messageText[MAX_PATH];
    int m_messageValue;
    HWND m_mainAppWindow;
    wchar_t m_mainAppName[MAX_PATH];
    HWINSTA m_currentStation;
    HDESK m_currentDesktop;
    // One walk at a time: a walk switches the process's window station. A walk started on the
    // walking thread itself (a plug-in answering a plug-in message with another one) runs inside
    // the first, which gets its parameters back afterwards; m_walkDepth counts them.
    std::recursive_mutex m_walkLock;
    int m_walkDepth;
};
