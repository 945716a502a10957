#include "PluginMenu.h"

#include "MenuItemRecords.h"
#include "TrayConstants.h"

#include "DebugTrace.h"
#include "MemoryManager.h"
#include "MenuXP.h"
#include "Plugin.h"
#include "PluginEvents.h"
#include "TrayResources.h"
#include "VarnelMenuUtils.h"

#include <cwchar>

namespace {
using tray::kSystemHealthCommand;

class MenuModelForPlugins final : public IPluginMenu {
public:
    MenuModelForPlugins(CVarnelMenuUtils& model, menu::TrayResources& tray) : m_model(model), m_tray(tray) {}

    void PluginsLoaded() override
    {
        CMenuXP::DebugTraceMenuItemStates(m_tray.TrayPopup());
        m_model.CheckAndHideVarnelLegacyMenus();
    }

    // The suite entry stands above the item before system health, with the image of its state.
    void InsertSuiteEntry(CPlugin* plugin) override
    {
        auto menuLock = m_model.LockMenu();
        HMENU menu = m_tray.TrayPopup();
        HMENU owner = nullptr;
        const int position = CMenuXP::FindMenuPositionByCommand(menu, &owner, kSystemHealthCommand) - 1;
        if (owner == nullptr) {
            ZEROVA_TRACE(4, L"Failed to find menu item System health");
            return;
        }
        auto* item = zerova::MakeItemRecord();
        if (item == nullptr) return;
        item->menu = menu;
        item->commandId = plugin->GetSuiteMenuId();
        item->kind = 1;
        ZEROVA_TRACE(4, L"CPluginInterface::LoadPlugins - Inserting Suite Menu \"%p\"", static_cast<void*>(item));

        wchar_t text[MAX_PATH];
        plugin->GetSuiteMenuText(text, MAX_PATH);
        MENUITEMINFOW info;
        CMenuXP::InitMenuItemInfo(info, 0x63, text, static_cast<int>(wcslen(text)));
        info.wID = item->commandId;
        info.dwItemData = reinterpret_cast<ULONG_PTR>(item);
        if (!::InsertMenuItemW(menu, static_cast<UINT>(position), TRUE, &info)) {
            ZEROVA_TRACE(4, L"failed to insert suite menu item");
            zerova::FreeItemRecord(item);
            return;
        }
        ZEROVA_TRACE(4, L"Inserted suite menu item successfully");
        // The loader asked for the entry's image before the entry was in the menu.
        ShowSuiteEntryState(plugin->GetHandle(), item->commandId, plugin->GetState(), false);
    }

    void RemoveSuiteEntry(CPlugin* plugin) override
    {
        auto menuLock = m_model.LockMenu();
        HMENU owner = nullptr;
        const int position = CMenuXP::FindMenuPositionByCommand(m_tray.TrayPopup(), &owner, plugin->GetSuiteMenuId());
        if (position == -1) {
            ZEROVA_TRACE(4, L"Cannot find the Suite menu item in the main menu. ERROR");
            return;
        }
        MENUITEMINFOW info{};
        info.fMask = MIIM_DATA;
        CMenuXP::GetMenuItemInfoW(owner, static_cast<UINT>(position), true, info);
        void* item = reinterpret_cast<void*>(info.dwItemData);
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - Item data : \"%p\"", item);
        zerova::FreeItemRecord(item);
        ::RemoveMenu(owner, static_cast<UINT>(position), MF_BYPOSITION);
    }

    void ShowSuiteEntryState(void* handle, UINT commandId, VARNEL_PLUGIN_STATE state, bool report) override
    {
        wchar_t image[MAX_PATH] = L"";
        m_tray.MenuIcon(state, image, MAX_PATH);
        m_model.SetSuiteMenuItemImage(handle, commandId, image, report);
    }

    void RemovePluginItems(void* handle) override { m_model.RemovePluginMenuItems(handle); }

    void PluginUnloaded(void* handle) override
    {
        m_model.RemoveItemsLeftBehind(handle);
        m_model.CheckAndHideVarnelLegacyMenus();
    }

    void RefreshAvailability() override { m_model.RefreshMenuAvailability(); }

    void ShowTrayState(VARNEL_PLUGIN_STATE state, const wchar_t* title) override
    {
        auto menuLock = m_model.LockMenu();
        // Most changes leave the merged state as it was: when the tray and the system-health item
        // still show what was set last for this state, setting them again would change nothing.
        if (IsShown(state, title)) return;
        wchar_t image[MAX_PATH] = L"";
        HICON icon = m_tray.TrayIcon(state, image, MAX_PATH, 16, 16);
        if (icon == nullptr) return;
        m_model.ModifyTrayIcon(icon);
        m_tray.MenuIcon(state, image, MAX_PATH);
        const bool imageSet = m_model.SetMenuItemImage(VARNEL_MAIN_APP_HANDLE, kSystemHealthCommand, image, true);
        m_model.ModifyTrayTitle(title);
        m_shown.valid = imageSet;
        m_shown.image = CMenuXP::GetMenuItemImage(m_tray.TrayPopup(), kSystemHealthCommand);
        m_shown.state = state;
        m_shown.icon = icon;
        m_shown.title.Assign(title);
    }

    void CopyTrayTitle(wchar_t* title, int length) override { m_model.GetTrayTitle(title, length); }

private:
    struct Shown {
        bool valid = false;
        VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
        HICON icon = nullptr;
        // The system-health item's image as set: the host may replace it, or the item, meanwhile.
        HBITMAP image = nullptr;
        zerova::BoundedText<MAX_PATH> title;
    };

    bool IsShown(VARNEL_PLUGIN_STATE state, const wchar_t* title)
    {
        if (!m_shown.valid || m_shown.state != state || !m_shown.title.Equals(title)) return false;
        wchar_t current[MAX_PATH] = L"";
        m_model.GetTrayTitle(current, MAX_PATH);
        return m_model.GetTrayIcon() == m_shown.icon && m_shown.title.Equals(current) &&
               CMenuXP::GetMenuItemImage(m_tray.TrayPopup(), kSystemHealthCommand) == m_shown.image;
    }

    CVarnelMenuUtils& m_model;
    menu::TrayResources& m_tray;
    Shown m_shown;
};
}  // namespace

std::unique_ptr<IPluginMenu> menu::MakePluginMenu(CVarnelMenuUtils& model, TrayResources& tray)
{
    return std::make_unique<MenuModelForPlugins>(model, tray);
}
