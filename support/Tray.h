// The notification icon of the tray: its icon and its title (the tool tip).
#pragma once
#include "SupportAPI.h"
#include "Lock.h"

class ZEROVA_SUPPORT_API CTray {
public:
    // The icon of window in the notification area; the shell sends callbackMessage to window.
    // The icon is added at once; where the shell has no notification area (no desktop) it is
    // kept all the same and every later change is remembered.
    CTray(HWND window, UINT id, UINT callbackMessage, HICON icon, const wchar_t* title);
    // Takes the icon out of the notification area.
    ~CTray();
    CTray(const CTray&) = delete;
    CTray& operator=(const CTray&) = delete;

    HWND GetHwnd() const { return m_window; }
    HICON GetTrayIcon();
    wchar_t* GetTitle(wchar_t* buffer, int length);
    // True when the shell took the change; the new icon or title is kept either way.
    bool ModifyIcon(HICON icon);
    bool ModifyTitle(const wchar_t* title);
    // Adds the icon again (after a Hide, or after the shell restarted); true when the shell shows it.
    bool Show();
    // Takes the icon out of the notification area until Show; changes are kept meanwhile.
    void Hide();
    bool IsShown();
    bool IsHidden();

private:
    bool Notify(DWORD message);

    HWND m_window;
    UINT m_id;
    UINT m_callbackMessage;
    HICON m_icon;
    wchar_t m_title[MAX_PATH];
    bool m_shown;
    bool m_hidden;
    zerova::Mutex m_lock;  // the icon, the title and the shown and hidden marks
};
