#include "Tray.h"

#include "SafeString.h"

#include <shellapi.h>

namespace {
class Locked {
public:
    explicit Locked(CRITICAL_SECTION& lock) : m_lock(lock) { ::EnterCriticalSection(&m_lock); }
    ~Locked() { ::LeaveCriticalSection(&m_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& m_lock;
};
}  // namespace

CTray::CTray(HWND window, UINT id, UINT callbackMessage, HICON icon, const wchar_t* title)
    : m_window(window), m_id(id), m_callbackMessage(callbackMessage), m_icon(icon), m_title(), m_shown(false), m_hidden(false)
{
    ::InitializeCriticalSection(&m_lock);
    zerova::CopyString(m_title, MAX_PATH, title);
    Show();
}

CTray::~CTray()
{
    if (m_shown) Notify(NIM_DELETE);
    ::DeleteCriticalSection(&m_lock);
}

bool CTray::Notify(DWORD message)
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = m_window;
    data.uID = m_id;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = m_callbackMessage;
    data.hIcon = m_icon;
    zerova::CopyString(data.szTip, ARRAYSIZE(data.szTip), m_title);
    return m_window != nullptr && ::Shell_NotifyIconW(message, &data) != FALSE;
}

HICON CTray::GetTrayIcon()
{
    Locked guard(m_lock);
    return m_icon;
}

wchar_t* CTray::GetTitle(wchar_t* buffer, int length)
{
    Locked guard(m_lock);
    return zerova::CopyString(buffer, length, m_title);
}

bool CTray::ModifyIcon(HICON icon)
{
    Locked guard(m_lock);
    m_icon = icon;
    if (m_hidden) return false;
    return m_shown ? Notify(NIM_MODIFY) : (m_shown = Notify(NIM_ADD));
}

bool CTray::ModifyTitle(const wchar_t* title)
{
    Locked guard(m_lock);
    zerova::CopyString(m_title, MAX_PATH, title);
    if (m_hidden) return false;
    return m_shown ? Notify(NIM_MODIFY) : (m_shown = Notify(NIM_ADD));
}

bool CTray::Show()
{
    Locked guard(m_lock);
    m_hidden = false;
    m_shown = Notify(NIM_ADD) || Notify(NIM_MODIFY);
    return m_shown;
}

void CTray::Hide()
{
    Locked guard(m_lock);
    if (m_shown) Notify(NIM_DELETE);
    m_shown = false;
    m_hidden = true;
}

bool CTray::IsHidden()
{
    Locked guard(m_lock);
    return m_hidden;
}

bool CTray::IsShown()
{
    Locked guard(m_lock);
    return m_shown;
}
