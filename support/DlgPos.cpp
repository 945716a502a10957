#include "DlgPos.h"

#include "RegistryEx.h"
#include "SafeString.h"

CDlgPos::CDlgPos() : m_window(nullptr), m_key() {}
CDlgPos::~CDlgPos() = default;

bool CDlgPos::Load(HWND window, const wchar_t* key, bool restore)
{
    m_window = window;
    zerova::CopyString(m_key, MAX_PATH, key);
    if (!restore || !::IsWindow(window) || m_key[0] == L'\0') return false;
    DWORD left = 0;
    DWORD top = 0;
    if (!CRegistryEx::Get(HKEY_CURRENT_USER, m_key, L"Left", left) ||
        !CRegistryEx::Get(HKEY_CURRENT_USER, m_key, L"Top", top))
        return false;
    const POINT corner{static_cast<LONG>(static_cast<int>(left)), static_cast<LONG>(static_cast<int>(top))};
    if (::MonitorFromPoint(corner, MONITOR_DEFAULTTONULL) == nullptr) return false;
    return ::SetWindowPos(window, nullptr, corner.x, corner.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) !=
           FALSE;
}

bool CDlgPos::SavePosition()
{
    if (!::IsWindow(m_window) || m_key[0] == L'\0') return false;
    RECT bounds{};
    ::GetWindowRect(m_window, &bounds);
    return CRegistryEx::Set(HKEY_CURRENT_USER, m_key, L"Left", static_cast<DWORD>(bounds.left)) &&
           CRegistryEx::Set(HKEY_CURRENT_USER, m_key, L"Top", static_cast<DWORD>(bounds.top));
}
