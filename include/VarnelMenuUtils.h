// The tray menu model: plug-in items in the category flyouts, their command identifiers, the
// tray icon and title.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

class CPlugin;

class VARNEL_API CVarnelMenuUtils {
public:
    static CVarnelMenuUtils* Instance();
    ~CVarnelMenuUtils();

    HWND GetMainWindow() const { return m_mainWindow; }
    void ReportError(int code, CPlugin* plugin);
    void RemovePluginMenuItems(void* handle);
    void RefreshMenuAvailability();
    void CheckAndHideVarnelLegacyMenus();
    bool SetMenuItemImage(void* handle, UINT itemId, const wchar_t* image, bool report);
    bool SetSuiteMenuItemImage(void* handle, UINT commandId, const wchar_t* image, bool report);
    HICON GetTrayIcon();
    wchar_t* GetTrayTitle(wchar_t* buffer, int length);
    void ModifyTrayTitle(const wchar_t* title);
    void ModifyTrayIcon(HICON icon);

private:
    CVarnelMenuUtils();

    HWND m_mainWindow;
    HICON m_trayIcon;
    wchar_t m_trayTitle[MAX_PATH];
};
