#include "Tray.h"

#include "SafeString.h"

#include <shellapi.h>

#include <mutex>

CTray::CTray(HWND window, UINT id, UINT callbackMessage, HICON icon, const wchar_t* title)
    : m_window(window), m_id(id), m_callbackMessage(callbackMessage), m_icon(icon), m_title(), m_shown(false), m_hidden(false)
{
    zerova::CopyString(m_title, MAX_PATH, title);
    Show();
}

CTray::~CTray()
{
    if (m_shown) Notify(NIM_DELETE);
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
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return m_icon;
}

wchar_t* CTray::GetTitle(wchar_t* buffer, int length)
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return zerova::CopyString(buffer, length, m_title);
}

bool CTray::ModifyIcon(HICON icon)
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    m_icon = icon;
    if (m_hidden) return false;
    return m_shown ? Notify(NIM_MODIFY) : (m_shown = Notify(NIM_ADD));
}

bool CTray::ModifyTitle(const wchar_t* title)
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    zerova::CopyString(m_title, MAX_PATH, title);
    if (m_hidden) return false;
    return m_shown ? Notify(NIM_MODIFY) : (m_shown = Notify(NIM_ADD));
}

bool CTray::Show()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    m_hidden = false;
    m_shown = Notify(NIM_ADD) || Notify(NIM_MODIFY);
    return m_shown;
}

void CTray::Hide()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    if (m_shown) Notify(NIM_DELETE);
    m_shown = false;
    m_hidden = true;
}

bool CTray::IsHidden()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return m_hidden;
}

bool CTray::IsShown()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return m_shown;
}
