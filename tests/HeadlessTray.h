// A tray host without a user at the screen, for the programs that drive the library outside the
// test suites (stress, endurance, benchmarks): the module's resources, a main window, the tray
// menu object and icon handed to the menu model; torn down with every plug-in unloaded, the
// module's singletons deleted and the history file removed.
#pragma once

#include "MenuXP.h"
#include "OXIL_dllmain.h"
#include "PluginInterface.h"
#include "PluginStateHistory.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"

#include <memory>

class HeadlessTray {
public:
    explicit HeadlessTray(const wchar_t* title)
    {
        m_resourcesLoaded = COXIL_DllMain::Instance()->LoadResources();
        m_window = CreateWindowExW(0, L"STATIC", title, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        m_menu = std::make_unique<CMenuXP>();
        m_tray = std::make_unique<CTray>(m_window, 1, WM_APP, nullptr, title);
        CVarnelMenuUtils::Instance()->SetHandles(m_window, m_menu.get(), m_tray.get());
    }
    ~HeadlessTray()
    {
        CPluginInterface::Instance()->UnloadPlugins(false);
        delete COXIL_DllMain::Instance();
        m_tray.reset();
        m_menu.reset();
        DestroyWindow(m_window);
        CPluginStateHistory::DeleteHistoryFile();
    }
    HeadlessTray(const HeadlessTray&) = delete;
    HeadlessTray& operator=(const HeadlessTray&) = delete;

    HWND Window() const { return m_window; }
    bool ResourcesLoaded() const { return m_resourcesLoaded; }

private:
    bool m_resourcesLoaded = false;
    HWND m_window = nullptr;
    std::unique_ptr<CMenuXP> m_menu;
    std::unique_ptr<CTray> m_tray;
};
