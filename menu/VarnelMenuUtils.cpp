// The tray menu model. So far: error reports against plug-ins and the tray title kept in memory;
// menu operations do nothing until the tray menu is wired in.
#include "VarnelMenuUtils.h"

#include "ErrorMsg.h"
#include "Localize.h"
#include "Plugin.h"
#include "SafeString.h"

namespace {
CVarnelMenuUtils* g_instance = nullptr;
}

CVarnelMenuUtils::CVarnelMenuUtils() : m_mainWindow(nullptr), m_trayIcon(nullptr), m_trayTitle() {}

CVarnelMenuUtils* CVarnelMenuUtils::Instance()
{
    if (g_instance == nullptr) g_instance = new CVarnelMenuUtils();
    return g_instance;
}

CVarnelMenuUtils::~CVarnelMenuUtils()
{
    if (g_instance == this) g_instance = nullptr;
}

void CVarnelMenuUtils::ReportError(int code, CPlugin* plugin)
{
    CErrorMsg::Instance()->Error(code);
    if (plugin != nullptr) {
        plugin->RecordError(code);
        return;
    }
    wchar_t text[MAX_PATH];
    CLocalize::Instance()->GetString(static_cast<UINT>(code), text, MAX_PATH);
    CErrorMsg::Instance()->Error(code, text);
}

void CVarnelMenuUtils::RemovePluginMenuItems(void*) {}
void CVarnelMenuUtils::RefreshMenuAvailability() {}
void CVarnelMenuUtils::CheckAndHideVarnelLegacyMenus() {}
bool CVarnelMenuUtils::SetMenuItemImage(void*, UINT, const wchar_t*, bool) { return false; }
bool CVarnelMenuUtils::SetSuiteMenuItemImage(void*, UINT, const wchar_t*, bool) { return false; }
HICON CVarnelMenuUtils::GetTrayIcon() { return m_trayIcon; }

wchar_t* CVarnelMenuUtils::GetTrayTitle(wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) {
        CErrorMsg::Instance()->Error(531);
        return buffer;
    }
    return zerova::CopyString(buffer, length, m_trayTitle);
}

void CVarnelMenuUtils::ModifyTrayTitle(const wchar_t* title) { zerova::CopyString(m_trayTitle, MAX_PATH, title); }
void CVarnelMenuUtils::ModifyTrayIcon(HICON icon) { m_trayIcon = icon; }
