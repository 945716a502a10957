// Walks every window station and desktop of the machine and applies one procedure to every
// top-level window: start tray hosts, unload them, show or hide their icons, hand them plug-in
// messages, or trace the windows.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include "Lock.h"
#include "SupportServices.h"

class CVarnelUtils;
namespace control {
struct StationWalk;
}

class VARNEL_API CStationDesktopUtils {
public:
    // The module's walker (the module root's accessor, for callers outside the library).
    static CStationDesktopUtils* Instance();
    // Built by the module root; utils tells tray host executables apart.
    CStationDesktopUtils(const zerova::SupportServices& support, CVarnelUtils& utils);
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
    // Runs the walk: at once when this thread is walking already (nested at most 4 deep), else
    // once the walk of any other thread has ended.
    void Walk(control::StationWalk& walk);
    static BOOL CALLBACK EnumWindowStationProc(LPWSTR station, LPARAM walk);
    static BOOL CALLBACK EnumDesktopProc(LPWSTR desktop, LPARAM walk);
    static BOOL CALLBACK EnumWindowProc(HWND window, LPARAM walk);
    // What each kind of walk does with a top-level window; false ends the walk of the desktop.
    static bool Load_EnumWindowsProc(HWND window, control::StationWalk& walk);
    static bool Unload_EnumWindowsProc(HWND window, control::StationWalk& walk);
    static bool ShowHideTray_EnumWindowsProc(HWND window, control::StationWalk& walk);
    static bool PluginComm_EnumWindowsProc(HWND window, control::StationWalk& walk);
    static bool DebugTrace_EnumWindowsProc(HWND window, control::StationWalk& walk);
    void StartTrayHostFor(HWND taskbar, const wchar_t* className, const control::StationWalk& walk);
    bool IsTrayHostNotifyWindow(HWND window);
    bool IsWindowToSkip(HWND window);

    const zerova::SupportServices m_support;
    CVarnelUtils& m_utils;
    HWND m_mainAppWindow;
    wchar_t m_mainAppName[MAX_PATH];
    // One walk at a time: a walk switches the process's window station. A walk started on the
    // walking thread itself runs inside the first without it (see Walk).
    zerova::Mutex m_walkLock;
};
