// The tray menu model's item operations: a plug-in names its items by its own identifiers, the
// host by plain command identifiers.
#include "VarnelMenuUtils.h"

#include "MenuModelParts.h"
#include "MenuItemRecords.h"
#include "TrayResources.h"

#include "FileIO.h"
#include "MenuXP.h"
#include "PluginInterface.h"
#include "SafeString.h"

#include <cwchar>

using namespace menu::model;

// The result of the common frame of the item operations.
struct CVarnelMenuUtils::ItemLookup {
    CPlugin* plugin = nullptr;
    UINT command = 0;
    HMENU holding = nullptr;
    MENUITEMINFOW info{};
    wchar_t caption[MAX_PATH] = L"";
    CMenuXP::MENU_ITEM_DATA* record = nullptr;
};

bool CVarnelMenuUtils::SetMenuItemID(HMENU menu, int position, int newId)
{
    if (menu == nullptr) return false;
    const int count = ::GetMenuItemCount(menu);
    if (count <= 0 || position < 0 || position >= count) return false;
    MENUITEMINFOW info{};
    wchar_t caption[MAX_PATH];
    if (!ReadItem(menu, position, info, caption)) return true;
    info.wID = static_cast<UINT>(newId);
    // The item keeps its caption, state and data but no longer opens a list (the list is only
    // detached).
    info.fMask = (info.fMask & ~MIIM_STRING) | MIIM_SUBMENU;
    info.hSubMenu = nullptr;
    ::SetMenuItemInfoW(menu, static_cast<UINT>(position), TRUE, &info);
    ++g_renumberings;
    return true;
}

HMENU CVarnelMenuUtils::CreateMenu(const wchar_t* caption, int id, void* itemData)
{
    if (zerova::IsEmpty(caption)) return nullptr;
    wchar_t text[MAX_PATH];
    zerova::CopyString(text, MAX_PATH, caption);
    MENUITEMINFOW info;
    CMenuXP::InitMenuItemInfo(info, 0x163, text, 2);
    info.wID = static_cast<UINT>(id);
    info.dwItemData = reinterpret_cast<ULONG_PTR>(itemData);
    HMENU menu = ::CreateMenu();
    if (menu != nullptr) ::InsertMenuItemW(menu, 0, TRUE, &info);
    return menu;
}

bool CVarnelMenuUtils::PassesOwnerTest(void* handle, CPlugin** plugin)
{
    *plugin = nullptr;
    if (CPluginInterface::IsMainApp(handle)) return true;
    PLUGIN_DATA* record = nullptr;
    return m_registry.ValidatePlugin(handle, &record, plugin, true);
}

// The look-up of the item operations, after their readiness and owner tests: true when the
// command made from the handle and the item identifier is in the tray menu.
bool CVarnelMenuUtils::BeginItemOperation(void* handle, UINT itemId, ItemLookup& lookup)
{
    lookup.command = MakeCommandId(handle, static_cast<int>(itemId));
    lookup.info.dwTypeData = lookup.caption;
    return FindItemByCommand(TrayPopup(), lookup.command, lookup.holding, lookup.info, MAX_PATH, &lookup.record);
}

bool CVarnelMenuUtils::FailItemOperation(int code, CPlugin* plugin)
{
    ReportError(code, plugin);
    return false;
}

bool CVarnelMenuUtils::RemoveMenuItem(void* handle, UINT itemId)
{
    const auto guard = LockMenu();
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    if (!BeginItemOperation(handle, itemId, lookup)) return FailItemOperation(541, lookup.plugin);
    m_menu->ReleaseMenuItemImage(lookup.holding, lookup.command);
    ::RemoveMenu(lookup.holding, lookup.command, MF_BYCOMMAND);
    ReleaseItemRecord(lookup.record);
    RefreshMenuAvailability();
    return true;
}

bool CVarnelMenuUtils::SetMenuString(void* handle, UINT itemId, const wchar_t* caption)
{
    const auto guard = LockMenu();
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    if (zerova::IsEmpty(caption) || !BeginItemOperation(handle, itemId, lookup))
        return FailItemOperation(540, lookup.plugin);
    wchar_t text[MAX_PATH];
    zerova::CopyString(text, MAX_PATH, caption);
    MENUITEMINFOW info = lookup.info;
    info.fType = MFT_STRING;
    info.dwTypeData = text;
    info.cch = static_cast<UINT>(wcslen(text));
    // A string item opens no list: the list is detached.
    info.fMask |= MIIM_SUBMENU;
    info.hSubMenu = nullptr;
    if (!::SetMenuItemInfoW(lookup.holding, lookup.command, FALSE, &info)) return FailItemOperation(540, lookup.plugin);
    NoteItemChanged(lookup.command);
    return true;
}

int CVarnelMenuUtils::GetMenuStringW(void* handle, UINT itemId, wchar_t* buffer, int length)
{
    const auto guard = LockMenu();
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return 0;
    if (buffer == nullptr || length < 1 || !BeginItemOperation(handle, itemId, lookup)) {
        FailItemOperation(539, lookup.plugin);
        return 0;
    }
    zerova::CopyString(buffer, length, lookup.caption);
    return 1;
}

bool CVarnelMenuUtils::GetMenuItemState(void* handle, UINT itemId, bool& checkMark, bool& enabled)
{
    const auto guard = LockMenu();
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    if (!BeginItemOperation(handle, itemId, lookup)) return FailItemOperation(538, lookup.plugin);
    checkMark = (lookup.info.fState & MFS_CHECKED) != 0;
    enabled = (lookup.info.fState & (MFS_DISABLED | MFS_GRAYED)) == 0;
    return true;
}

bool CVarnelMenuUtils::CheckMenuItem(void* handle, UINT itemId, UINT flags)
{
    const auto guard = LockMenu();
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    if (!BeginItemOperation(handle, itemId, lookup)) return FailItemOperation(537, lookup.plugin);
    ::CheckMenuItem(lookup.holding, lookup.command, flags & ~static_cast<UINT>(MF_BYPOSITION));
    return true;
}

bool CVarnelMenuUtils::EnableMenuItem(void* handle, UINT itemId, UINT flags)
{
    const auto guard = LockMenu();
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    if (!BeginItemOperation(handle, itemId, lookup)) return FailItemOperation(536, lookup.plugin);
    ::EnableMenuItem(lookup.holding, lookup.command, flags & ~static_cast<UINT>(MF_BYPOSITION));
    NoteItemChanged(lookup.command);
    return true;
}

bool CVarnelMenuUtils::DoesMenuItemExist(void* handle, UINT itemId)
{
    const auto guard = LockMenu();
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    return BeginItemOperation(handle, itemId, lookup);
}

bool CVarnelMenuUtils::ResolveImagePath(const wchar_t* image, wchar_t* path, int length)
{
    if (zerova::IsEmpty(image)) return false;
    if (CFileIO::FileExists(image)) {
        zerova::CopyString(path, length, image);
        return true;
    }
    if (path == nullptr || length < 1) return false;
    m_trayResources.ImageFilename(nullptr, image, path, length);
    return CFileIO::FileExists(path);
}

bool CVarnelMenuUtils::SetMenuItemImage(void* handle, UINT itemId, HICON icon, bool report)
{
    const auto guard = LockMenu();
    CPlugin* plugin = nullptr;
    if (!IsMenuReady() || icon == nullptr || !PassesOwnerTest(handle, &plugin)) return false;
    if (m_menu->SetMenuItemImage(icon, TrayPopup(), MakeCommandId(handle, static_cast<int>(itemId)))) return true;
    if (report) ReportError(558, plugin);
    return false;
}

bool CVarnelMenuUtils::SetMenuItemImage(void* handle, UINT itemId, const wchar_t* image, bool report)
{
    const auto guard = LockMenu();
    CPlugin* plugin = nullptr;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &plugin)) return false;
    wchar_t path[MAX_PATH] = L"";
    ResolveImagePath(image, path, MAX_PATH);
    if (m_menu->SetMenuItemImage(path, TrayPopup(), MakeCommandId(handle, static_cast<int>(itemId)))) return true;
    if (report) ReportError(568, plugin);
    return false;
}

bool CVarnelMenuUtils::SetMenuItemImage(void* handle, const wchar_t* caption, const wchar_t* image, bool report)
{
    const auto guard = LockMenu();
    CPlugin* plugin = nullptr;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &plugin)) return false;
    wchar_t path[MAX_PATH] = L"";
    if (!ResolveImagePath(image, path, MAX_PATH)) {
        if (report) ReportError(558, plugin);
        return false;
    }
    if (m_menu->SetMenuItemImage(path, TrayPopup(), caption)) return true;
    if (report) ReportError(568, plugin);
    return false;
}

bool CVarnelMenuUtils::SetSuiteMenuItemImage(void* handle, UINT commandId, const wchar_t* image, bool report)
{
    const auto guard = LockMenu();
    if (!IsMenuReady()) return false;
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!m_registry.ValidatePlugin(handle, &record, &plugin, true)) return false;
    wchar_t path[MAX_PATH] = L"";
    const bool found = ResolveImagePath(image, path, MAX_PATH);
    if (m_menu->SetMenuItemImage(path, TrayPopup(), commandId)) return true;
    // An entry that is not in the menu yet (the loader asks before the registry inserts it) has
    // refused nothing: the registry sets the image when it inserts the entry.
    HMENU holding = nullptr;
    const bool present = CMenuXP::FindMenuPositionByCommand(TrayPopup(), &holding, commandId) >= 0;
    if (found && present && report) ReportError(568, plugin);
    return false;
}
