// The tray menu model's additions: the index of placed items (per list and owner, the item
// identifiers in order) and the add that places an item through it.
#include "VarnelMenuUtils.h"

#include "MenuModelParts.h"
#include "MenuItemRecords.h"

#include "MenuXP.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "SafeString.h"

#include <cwchar>
#include <mutex>

using namespace menu::model;

bool CVarnelMenuUtils::AddMenuItem(void* handle, const wchar_t* caption, int itemId, VARNEL_MENU_CATEGORY category)
{
    const auto guard = LockMenu();
    if (!IsMenuReady()) return false;
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!m_registry.ValidatePlugin(handle, &record, &plugin, true)) return false;
    if (zerova::IsEmpty(caption)) return false;

    unsigned leftOut = 0;
    HMENU list = FlyoutForAdd(category, MakeCommandId(handle, itemId), leftOut);
    if (list == nullptr || !InsertItem(list, plugin, handle, caption, itemId, category)) {
        PutBackLeftOutFlyouts(leftOut, category);
        return false;
    }
    // The refresh and the hiding of disabled flyouts that follow every add, for what they would
    // change: this flyout when it had no item before, flyouts brought back, and whatever changed
    // since the last refresh.
    SettleAvailability(plugin);
    if (m_availability.disabledFlyoutShown) HideDisabledFlyouts();
    return true;
}

// The item made, placed and noted for its owner; false when it is refused or cannot be made.
bool CVarnelMenuUtils::InsertItem(HMENU list, CPlugin* plugin, void* handle, const wchar_t* caption, int itemId,
                                  VARNEL_MENU_CATEGORY category)
{
    wchar_t pluginName[MAX_PATH];
    plugin->GetName(pluginName, MAX_PATH);
    const UINT command = MakeCommandId(handle, itemId);
    if (CommandStandsForAnother(command, handle)) {
        ZEROVA_TRACE(4, L"CVarnelMenuUtils::AddMenuItem - plugin: \"%s\" item \"%s\" - \"%d\": command %u already stands for another item",
                    pluginName, caption, itemId, command);
        ReportError(kCommandTaken, plugin);
        return false;
    }
    const bool wasEmpty = FlyoutWasEmpty(list);

    auto* item = zerova::MakeItemRecord();
    if (item == nullptr) return false;
    wchar_t text[MAX_PATH];
    zerova::CopyString(text, MAX_PATH, caption);
    MENUITEMINFOW info;
    CMenuXP::InitMenuItemInfo(info, 0x163, text, 2);
    item->owner = handle;
    item->menu = list;
    item->commandId = command;
    item->kind = 0;
    info.wID = item->commandId;
    info.dwItemData = reinterpret_cast<ULONG_PTR>(item);

    if (!InsertPlaced(list, handle, itemId, caption, info)) {
        zerova::FreeItemRecord(item);
        return false;
    }
    ZEROVA_TRACE(0, L"CVarnelMenuUtils::AddMenuItem\r\n    plugin: \"%s\"\r\n    caption: \"%s\"\r\n    ID: %d",
                pluginName, caption, itemId);
    {
        std::lock_guard<zerova::Mutex> items(plugin->MenuItemsLock());
        std::list<void*>& owned = plugin->GetMenuItems();
        NotePlaced(item, owned.insert(owned.end(), item));
    }
    if (wasEmpty) m_availability.flyoutUnsettled[category] = true;
    return true;
}

bool CVarnelMenuUtils::CommandStandsForAnother(UINT command, void* owner)
{
    MENUITEMINFOW present{};
    present.fMask = MIIM_DATA;
    // By command, Windows looks through the pop-up lists as well: one call for the whole menu.
    if (!CMenuXP::GetMenuItemInfoW(TrayPopup(), command, false, present)) return false;
    const CMenuXP::MENU_ITEM_DATA* record = zerova::OwnItemRecord(reinterpret_cast<const void*>(present.dwItemData));
    return record == nullptr || record->owner != owner;
}

bool CVarnelMenuUtils::FlyoutWasEmpty(HMENU list)
{
    const int count = ::GetMenuItemCount(list);
    if (count <= 0) return true;
    if (count > 1) return false;
    MENUITEMINFOW only{};
    only.fMask = MIIM_DATA;
    return !CMenuXP::GetMenuItemInfoW(list, 0, true, only) ||
           zerova::OwnItemRecord(reinterpret_cast<const void*>(only.dwItemData)) == nullptr;
}

// Before the owner's first item whose identifier is not lower, else at the end: the owner's items
// stay in the order of their identifiers; the same identifier with the same caption is refused.
CVarnelMenuUtils::Placement CVarnelMenuUtils::PlaceItem(HMENU list, void* owner, int itemId, const wchar_t* caption,
                                                        UINT& beforeCommand)
{
    const auto placed = m_placedItems.find({list, owner});
    if (placed == m_placedItems.end()) return Placement::AtEnd;
    const auto next = placed->second.lower_bound(itemId);
    if (next == placed->second.end()) return Placement::AtEnd;
    beforeCommand = MakeCommandId(owner, *next);
    // The item the index names must still stand in the list: inserting before a command that is
    // not there fails on Windows and appends under Wine.
    MENUITEMINFOW info{};
    wchar_t existing[MAX_PATH] = L"";
    if (!CMenuXP::GetMenuItemInfoW(list, beforeCommand, false, info, existing, MAX_PATH)) return Placement::Unknown;
    if (*next != itemId) return Placement::Before;
    return wcscmp(existing, caption) == 0 ? Placement::Duplicate : Placement::Before;
}

CVarnelMenuUtils::Placement CVarnelMenuUtils::PlaceItemByReading(HMENU list, void* owner, int itemId,
                                                                 const wchar_t* caption, int& position)
{
    std::multiset<int>& ids = m_placedItems[{list, owner}];
    ids.clear();
    const int count = ::GetMenuItemCount(list);
    position = -1;
    Placement placement = Placement::AtEnd;
    for (int at = 0; at < count; ++at) {
        int ownItemId = -1;
        if (GetItemOwner(list, at, ownItemId) != owner) continue;
        ids.insert(ownItemId);
        if (position >= 0 || ownItemId < itemId) continue;
        wchar_t existing[MAX_PATH] = L"";
        MENUITEMINFOW info{};
        ReadItem(list, at, info, existing);
        placement = ownItemId == itemId && wcscmp(existing, caption) == 0 ? Placement::Duplicate : Placement::Before;
        position = at;
    }
    if (position < 0) position = count;
    if (ids.empty()) m_placedItems.erase({list, owner});
    return placement;
}

bool CVarnelMenuUtils::InsertPlaced(HMENU list, void* owner, int itemId, const wchar_t* caption, MENUITEMINFOW& info)
{
    UINT beforeCommand = 0;
    Placement placement = PlaceItem(list, owner, itemId, caption, beforeCommand);
    if (placement == Placement::Before && ::InsertMenuItemW(list, beforeCommand, FALSE, &info) != FALSE) return true;
    if (placement == Placement::AtEnd &&
        ::InsertMenuItemW(list, static_cast<UINT>(::GetMenuItemCount(list)), TRUE, &info) != FALSE)
        return true;
    if (placement != Placement::Duplicate) {
        // The index no longer matches the menu (the host changed the list): read the list.
        int position = -1;
        placement = PlaceItemByReading(list, owner, itemId, caption, position);
        if (placement != Placement::Duplicate)
            return ::InsertMenuItemW(list, static_cast<UINT>(position), TRUE, &info) != FALSE;
    }
    wchar_t pluginName[MAX_PATH] = L"";
    if (CPlugin* plugin = PluginObjectOfHandle(owner)) plugin->GetName(pluginName, MAX_PATH);
    ZEROVA_TRACE(4, L"CVarnelMenuUtils::AddMenuItem - plugin: \"%s\" attempted to add duplicate menu item \"%s\" - \"%d\"",
                pluginName, caption, itemId);
    return false;
}

void CVarnelMenuUtils::NotePlaced(void* itemRecord, std::list<void*>::iterator inOwnersList)
{
    const auto* item = static_cast<const CMenuXP::MENU_ITEM_DATA*>(itemRecord);
    m_placedItems[{item->menu, item->owner}].insert(ItemIdOf(item));
    m_ownersListPlaces[item] = inOwnersList;
}

void CVarnelMenuUtils::ForgetPlaced(const void* itemRecord)
{
    const auto* item = static_cast<const CMenuXP::MENU_ITEM_DATA*>(itemRecord);
    m_ownersListPlaces.erase(item);
    const auto placed = m_placedItems.find({item->menu, item->owner});
    if (placed == m_placedItems.end()) return;
    const auto id = placed->second.find(ItemIdOf(item));
    if (id != placed->second.end()) placed->second.erase(id);
    if (placed->second.empty()) m_placedItems.erase(placed);
}
