// The library's module object: its module instance, the GUI configuration, the tray menu, the
// icons of the tray states and the agent registry monitor.
#pragma once

#include "Handles.h"
#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

class VARNEL_API COXIL_DllMain {
public:
    static COXIL_DllMain* Instance();
    // Stops the registry monitor and tears down the library's other singletons.
    ~COXIL_DllMain();
    COXIL_DllMain(const COXIL_DllMain&) = delete;
    COXIL_DllMain& operator=(const COXIL_DllMain&) = delete;

    // Reads the GUI subfolder and the tray title and loads the tray menu from the language module.
    bool LoadResources();

    HINSTANCE GetModuleInstance() const { return m_moduleInstance; }
    HMENU GetMenu() const { return m_trayMenu.Get(); }
    // The popup the tray shows: position 0 of the tray menu.
    HMENU GetSubMenu() const;
    wchar_t* GetGUISubfolder(wchar_t* buffer, int length) const;
    wchar_t* GetTitle(wchar_t* buffer, int length) const;
    // The icon of a tray state (kept by the icon cache, not to be destroyed) and the name of its
    // image file. Null buffer or length below 1: null, nothing loaded.
    HICON GetTrayIcon(int state, wchar_t* imageName, int length, int width, int height);
    HICON GetMenuIcon(int state, wchar_t* imageName, int length);

    // ---- the agent registry monitor
    // Starts the thread that watches the agent's registry key and asks the tray host (copy-data
    // reason 10) to re-evaluate the agent item. At most once per process.
    void SetupRegistryMonitor();
    // On the host's user-interface thread: adds command 4004 after 4000 in agent mode, removes it
    // otherwise.
    void HandleRegistryNotification();
    // Stops the monitor thread if one runs. Sent messages are let through while it waits, so the
    // thread can finish a notification sent to this very thread.
    static void StopRegistryMonitor();
    static bool IsAgentMode();

private:
    COXIL_DllMain();
    void Unload();
    bool ReportResourceError(UINT stringId);

    HINSTANCE m_moduleInstance;
    wchar_t m_guiSubfolder[MAX_PATH];
    wchar_t m_trayTitle[MAX_PATH];
    zerova::UniqueMenu m_trayMenu;
};
