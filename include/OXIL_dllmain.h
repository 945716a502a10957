// The library's module object and the root of its parts: it owns every long-lived part (the tray
// resources, tray process control, the plug-in registry, the menu model, the walker over window
// stations, the dialog thread manager, the private interface and the agent registry monitor),
// builds them when it is made and tears them down when it goes.
#pragma once

#include "Handles.h"
#include "SupportServices.h"
#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include <memory>

class CPluginInterface;
class CStationDesktopUtils;
class CThreadManager;
class CVarnelMenuUtils;
class CVarnelPrivateInterface;
class CVarnelUtils;
namespace menu {
class TrayResources;
}
namespace foundation {
class RegistryMonitor;
}

class VARNEL_API COXIL_DllMain {
public:
    // Made on the first call, once however many threads ask at once.
    static COXIL_DllMain* Instance();
    // Stops the registry monitor and tears down the library's other parts.
    ~COXIL_DllMain();
    COXIL_DllMain(const COXIL_DllMain&) = delete;
    COXIL_DllMain& operator=(const COXIL_DllMain&) = delete;

    // Reads the GUI subfolder and the tray title and loads the tray menu from the language module.
    bool LoadResources();

    HINSTANCE GetModuleInstance() const { return m_moduleInstance; }
    HMENU GetMenu() const;
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

    // ---- the parts, for the contract's accessors and the plain exports
    CPluginInterface& Registry() const { return *m_registry; }
    CVarnelMenuUtils& MenuModel() const { return *m_menu; }
    CThreadManager& Dialogs() const { return *m_dialogs; }
    CVarnelPrivateInterface& PrivateInterface() const { return *m_private; }
    CVarnelUtils& Utilities() const { return *m_utils; }
    CStationDesktopUtils& Walker() const { return *m_walker; }

private:
    COXIL_DllMain();
    // Builds the parts in the order they need each other; Unload tears them down.
    void Load();
    void Unload();
    bool ReportResourceError(UINT stringId);
    bool ReadRedirection();
    bool ReadTitle(const wchar_t* imagesFolder);

    HINSTANCE m_moduleInstance;
    wchar_t m_trayTitle[MAX_PATH];
    const zerova::SupportServices m_support;
    std::unique_ptr<menu::TrayResources> m_tray;
    std::unique_ptr<CVarnelUtils> m_utils;
    std::unique_ptr<CPluginInterface> m_registry;
    std::unique_ptr<CVarnelMenuUtils> m_menu;
    std::unique_ptr<CStationDesktopUtils> m_walker;
    std::unique_ptr<CThreadManager> m_dialogs;
    std::unique_ptr<CVarnelPrivateInterface> m_private;
    std::unique_ptr<foundation::RegistryMonitor> m_monitor;
};
