// The library's module object: its module instance, the GUI configuration, the tray menu and the
// icons of the tray states.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

class VARNEL_API COXIL_DllMain {
public:
    static COXIL_DllMain* Instance();
    ~COXIL_DllMain();

    // Reads the GUI configuration and loads the tray menu from the language module.
    bool LoadResources();

    HINSTANCE GetModuleInstance() const { return m_moduleInstance; }
    HMENU GetMenu() const { return m_trayMenu; }
    HMENU GetSubMenu() const;
    wchar_t* GetGUISubfolder(wchar_t* buffer, int length) const;
    wchar_t* GetTitle(wchar_t* buffer, int length) const;
    // The icon of a tray state (kept by the icon cache) and the name of its image file.
    HICON GetTrayIcon(int state, wchar_t* imageName, int length, int width, int height);
    HICON GetMenuIcon(int state, wchar_t* imageName, int length);

private:
    COXIL_DllMain();

    HINSTANCE m_moduleInstance;
    wchar_t m_guiSubfolder[MAX_PATH];
    wchar_t m_trayTitle[MAX_PATH];
    HMENU m_trayMenu;
};
