// The tray menu model: its life and lock, the host's handles, the plug-ins' items taken out, the
// checksum and the tray look. Its other files: the placement index (MenuItemIndex.cpp), the item
// operations (MenuItemOperations.cpp) and the flyouts (MenuFlyouts.cpp).
#include "VarnelMenuUtils.h"

#include "MenuModelParts.h"
#include "MenuItemRecords.h"
#include "PluginMenu.h"
#include "TrayResources.h"

#include "MenuXP.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "RegistryFlag.h"
#include "SafeString.h"
#include "Tray.h"

using namespace menu::model;

std::atomic<unsigned> menu::model::g_renumberings{0};

bool menu::model::FindItemByCommand(HMENU popup, UINT command, HMENU& holding, MENUITEMINFOW& info,
                                    int captionLength, CMenuXP::MENU_ITEM_DATA** record)
{
    *record = nullptr;
    holding = nullptr;
    MENUITEMINFOW first{};
    first.fMask = MIIM_DATA;
    if (!CMenuXP::GetMenuItemInfoW(popup, command, false, first)) return false;
    CMenuXP::MENU_ITEM_DATA* own = zerova::OwnItemRecord(reinterpret_cast<const void*>(first.dwItemData));
    if (own != nullptr && own->menu != nullptr && own->commandId == command &&
        CMenuXP::GetMenuItemInfoW(own->menu, command, false, info, info.dwTypeData, captionLength) &&
        info.dwItemData == first.dwItemData) {
        holding = own->menu;
        *record = own;
        return true;
    }
    CMenuXP::MENU_ITEM_DATA* found = nullptr;
    if (!CMenuXP::FindMenuByCommand(popup, command, holding, info, captionLength, &found)) return false;
    *record = zerova::OwnItemRecord(found);
    return true;
}

// ---------------------------------------------------------------- life

CVarnelMenuUtils::CVarnelMenuUtils(const zerova::SupportServices& support, menu::TrayResources& tray,
                                   CPluginInterface& registry)
    : m_support(support), m_trayResources(tray), m_registry(registry),
      m_forRegistry(menu::MakePluginMenu(*this, tray)), m_mainWindow(nullptr), m_menu(nullptr), m_tray(nullptr),
      m_defaultTrayIcon(nullptr), m_defaultTrayTitle(),
      m_updateAllowed(std::make_unique<CRegistryFlag>(HKEY_LOCAL_MACHINE, tray::kFrameworkKey, L"VarnelAllowUpdate",
                                                      false)),
      m_renumberingsSeen(g_renumberings.load())
{
}

CVarnelMenuUtils::~CVarnelMenuUtils() = default;

std::unique_lock<zerova::RecursiveMutex> CVarnelMenuUtils::LockMenu()
{
    std::unique_lock<zerova::RecursiveMutex> guard(m_lock);
    const unsigned renumberings = g_renumberings.load();
    if (renumberings != m_renumberingsSeen) {
        m_renumberingsSeen = renumberings;
        NoteItemsRenumbered();
    }
    return guard;
}

HWND CVarnelMenuUtils::GetMainWindow()
{
    const auto guard = LockMenu();
    return m_mainWindow;
}

CMenuXP* CVarnelMenuUtils::GetMenuObject()
{
    const auto guard = LockMenu();
    return m_menu;
}

HMENU CVarnelMenuUtils::TrayPopup() { return m_trayResources.TrayPopup(); }

bool CVarnelMenuUtils::IsMenuReady()
{
    if (TrayPopup() != nullptr && m_tray != nullptr) return true;
    m_support.errors->Error(kMenuNotReady);
    return false;
}

void CVarnelMenuUtils::ReportError(int code, CPlugin* plugin) { m_registry.ReportPluginError(code, plugin); }

UINT CVarnelMenuUtils::MakeCommandId(void* handle, int itemId)
{
    if (handle == nullptr || handle == VARNEL_MAIN_APP_HANDLE) return static_cast<UINT>(itemId);
    // 32-bit arithmetic on both architectures: command identifiers are 32-bit.
    return static_cast<UINT>(reinterpret_cast<UINT_PTR>(handle)) + static_cast<UINT>(itemId);
}

CVarnelMenuUtils::PLUGIN_DATA* CVarnelMenuUtils::GetItemOwner(HMENU menu, int position, int& itemId)
{
    itemId = -1;
    if (menu == nullptr || position >= ::GetMenuItemCount(menu)) return nullptr;
    MENUITEMINFOW info{};
    if (!ReadItem(menu, position, info, nullptr)) return nullptr;
    const auto* record = zerova::OwnItemRecord(reinterpret_cast<const void*>(info.dwItemData));
    if (record == nullptr || record->owner == nullptr) return nullptr;
    itemId = static_cast<int>(info.wID - static_cast<UINT>(reinterpret_cast<UINT_PTR>(record->owner)));
    return static_cast<PLUGIN_DATA*>(record->owner);
}

void CVarnelMenuUtils::SetHandles(HWND mainWindow, CMenuXP* menu, CTray* tray)
{
    const auto guard = LockMenu();
    if (mainWindow == nullptr || menu == nullptr || tray == nullptr) {
        m_support.errors->Error(kMenuNotReady);
        return;
    }
    m_mainWindow = mainWindow;
    m_menu = menu;
    m_tray = tray;
    m_defaultTrayIcon = tray->GetTrayIcon();
    tray->GetTitle(m_defaultTrayTitle, MAX_PATH);
    // Numbering may give an identifier to a second item; the next reading of the menu tells.
    UnsettleAll(TrayPopup());
    for (const CategoryRow* row = kCategories; row->category != -1; ++row) {
        const int position = FindFlyoutPosition(static_cast<VARNEL_MENU_CATEGORY>(row->category));
        if (position >= 0) SetFlyoutId(position, static_cast<UINT>(row->flyoutId));
    }
    RefreshMenuAvailability();
}

CVarnelMenuUtils::PLUGIN_DATA* CVarnelMenuUtils::FindPluginByCommand(UINT command, int& itemId)
{
    const auto guard = LockMenu();
    itemId = 0;
    if (!IsMenuReady()) return nullptr;
    HMENU holding = nullptr;
    MENUITEMINFOW info{};
    CMenuXP::MENU_ITEM_DATA* record = nullptr;
    if (!FindItemByCommand(TrayPopup(), command, holding, info, 0, &record)) return nullptr;
    if (record == nullptr || record->owner == nullptr) return nullptr;
    itemId = static_cast<int>(info.wID - static_cast<UINT>(reinterpret_cast<UINT_PTR>(record->owner)));
    return static_cast<PLUGIN_DATA*>(record->owner);
}

void CVarnelMenuUtils::RemovePluginMenuItems(void* handle)
{
    const auto guard = LockMenu();
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    const bool ready = IsMenuReady();
    const bool removed =
        ready && m_registry.ValidatePlugin(handle, &record, &plugin, false) && RemoveItemsOf(plugin);
    // Every case ends with the availability refresh (which reports a menu that is not ready once
    // more). Where no item left, only what may differ from the refresh's result is redone.
    if (removed || !ready) RefreshMenuAvailability();
    else SettleAvailability(nullptr);
}

void CVarnelMenuUtils::RemoveItemsLeftBehind(void* handle)
{
    const auto guard = LockMenu();
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!IsMenuReady() || m_registry.ValidatePlugin(handle, &record, &plugin, false) ||
        plugin == nullptr)
        return;
    if (RemoveItemsOf(plugin)) RefreshMenuAvailability();
}

bool CVarnelMenuUtils::RemoveItemsOf(CPlugin* plugin)
{
    std::lock_guard<zerova::Mutex> items(plugin->MenuItemsLock());
    if (plugin->GetMenuItems().empty()) return false;
    for (void* address : plugin->GetMenuItems()) {
        auto* item = static_cast<CMenuXP::MENU_ITEM_DATA*>(address);
        if (item == nullptr) continue;
        ForgetPlaced(item);
        if (item->menu != nullptr && item->commandId != 0) {
            if (m_menu != nullptr) m_menu->ReleaseMenuItemImage(item->menu, item->commandId);
            ::RemoveMenu(item->menu, item->commandId, MF_BYCOMMAND);
        }
        zerova::FreeItemRecord(item);  // the item is gone: its record goes with it
    }
    plugin->GetMenuItems().clear();
    return true;
}

// Takes a removed item's record off its owner's list and frees it. Suite entries belong to the
// plug-in registry, which frees them itself.
void CVarnelMenuUtils::ReleaseItemRecord(void* address)
{
    auto* item = zerova::OwnItemRecord(address);
    if (item == nullptr || item->kind != 0) return;
    CPlugin* owner = PluginObjectOfHandle(item->owner);
    if (owner != nullptr) {
        std::lock_guard<zerova::Mutex> items(owner->MenuItemsLock());
        const auto place = m_ownersListPlaces.find(item);
        if (place != m_ownersListPlaces.end()) owner->GetMenuItems().erase(place->second);
    }
    ForgetPlaced(item);
    zerova::FreeItemRecord(item);
}

void CVarnelMenuUtils::Checksum(HMENU menu, __int64& sum)
{
    if (menu == nullptr) return;
    const int count = ::GetMenuItemCount(menu);
    for (int position = 0; position < count; ++position) {
        MENUITEMINFOW info{};
        wchar_t caption[MAX_PATH] = L"";
        CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(position), true, info, caption, MAX_PATH);
        sum += static_cast<__int64>(static_cast<unsigned __int64>(info.fMask));
        sum += static_cast<__int64>(static_cast<unsigned __int64>(info.fState));
        sum += static_cast<__int64>(static_cast<unsigned __int64>(info.fType));
        sum += static_cast<__int64>(static_cast<unsigned __int64>(info.wID));
        for (const wchar_t* unit = caption; *unit != L'\0'; ++unit) sum += static_cast<unsigned short>(*unit);
        if (info.hSubMenu != nullptr) Checksum(info.hSubMenu, sum);
    }
}

void CVarnelMenuUtils::RefreshMenuLook()
{
    const auto guard = LockMenu();
    IsMenuReady();
}

HICON CVarnelMenuUtils::GetTrayIcon()
{
    const auto guard = LockMenu();
    return m_tray != nullptr ? m_tray->GetTrayIcon() : nullptr;
}

wchar_t* CVarnelMenuUtils::GetTrayTitle(wchar_t* buffer, int length)
{
    const auto guard = LockMenu();
    if (buffer == nullptr || length < 1) {
        m_support.errors->Error(531);
        return buffer;
    }
    if (m_tray == nullptr) return zerova::CopyString(buffer, length, L"");
    return m_tray->GetTitle(buffer, length);
}

void CVarnelMenuUtils::ModifyTrayTitle(const wchar_t* title)
{
    const auto guard = LockMenu();
    if (m_tray != nullptr) m_tray->ModifyTitle(title != nullptr ? title : m_defaultTrayTitle);
}

void CVarnelMenuUtils::ModifyTrayIcon(HICON icon)
{
    const auto guard = LockMenu();
    if (m_tray != nullptr) m_tray->ModifyIcon(icon != nullptr ? icon : m_defaultTrayIcon);
}
