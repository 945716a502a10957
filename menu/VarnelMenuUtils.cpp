// The tray menu model: plug-in items in the category flyouts and their command identifiers, the
// item operations, the flyouts kept in step with their contents, the checksum and the tray look.
#include "VarnelMenuUtils.h"

#include "SingletonSlot.h"
#include "TrayResources.h"
#include "MenuItemRecords.h"

#include "DebugTrace.h"
#include "ErrorMsg.h"
#include "FileIO.h"
#include "Localize.h"
#include "MemoryManager.h"
#include "MenuXP.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "RegistryEx.h"
#include "RegistryFlag.h"
#include "SafeString.h"
#include "Tray.h"

#include <algorithm>
#include <cwchar>

namespace {
std::atomic<CVarnelMenuUtils*> g_instance{nullptr};
std::recursive_mutex g_instanceLock;

const wchar_t kFrameworkKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";
const UINT kUpdateCommand = 4002;
const UINT kMenuNotReady = 421;
const int kCommandTaken = 542;
const int kTraceCapacity = 520;

struct CategoryRow {
    int category;
    int flyoutId;
    int placeholderId;
    int ordinal;
    UINT captionString;
};

// Ends with the row whose category, placeholder and ordinal are -1.
const CategoryRow kCategories[] = {
    {VARNEL_MENU_CATEGORY_A, 7000, 7001, 0, 20},
    {VARNEL_MENU_CATEGORY_B, 7005, 7006, 1, 21},
    {VARNEL_MENU_CATEGORY_C, 7010, 7011, 2, 22},
    {-1, 0, -1, -1, 0},
};

// Set once per process when the first look-up of a flyout has taken out the template's placeholder.
bool g_placeholderRemoved[3] = {false, false, false};

const CategoryRow* FindRow(int category)
{
    for (const CategoryRow* row = kCategories; row->category != -1; ++row)
        if (row->category == category) return row;
    return nullptr;
}

// Asked before each plain line: a line nobody reads still costs a copy of the trace settings.
void TraceDisplayCall()
{
    if (CDebugTrace::IsWanted(4)) ZEROVA_TRACE(4, L">>>  DisplayVarnelLegacyMenus <<<");
}

const CategoryRow* RowOfFlyout(UINT id)
{
    for (const CategoryRow* row = kCategories; row->category != -1; ++row)
        if (id == static_cast<UINT>(row->flyoutId)) return row;
    return nullptr;
}

bool IsFlyoutId(UINT id) { return RowOfFlyout(id) != nullptr; }



void* const kMainApp = reinterpret_cast<void*>(static_cast<UINT_PTR>(0xDEADDEADu));

CPlugin* PluginObjectOfHandle(void* handle)
{
    return handle != nullptr ? static_cast<CPlugin*>(static_cast<VARNEL_PLUGIN_DATA*>(handle)->plugin)
                             : nullptr;
}

int ItemIdOf(const CMenuXP::MENU_ITEM_DATA* item)
{
    return static_cast<int>(item->commandId - static_cast<UINT>(reinterpret_cast<UINT_PTR>(item->owner)));
}

// Reads one item with its caption; false when there is no item at position.
bool ReadItem(HMENU menu, int position, MENUITEMINFOW& info, wchar_t* caption)
{
    return position >= 0 && CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(position), true, info, caption, MAX_PATH);
}

// Reads only what a scan of the tray pop-up menu looks at: the identifier and the state.
bool ReadIdAndState(HMENU menu, int position, MENUITEMINFOW& info)
{
    info = MENUITEMINFOW{};
    info.fMask = MIIM_ID | MIIM_STATE;
    return position >= 0 && CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(position), true, info);
}
// The first item of the tray menu with the command, as CMenuXP::FindMenuByCommand finds it, and
// its record when the model made it. An item of the model's knows its list, so two calls find it
// wherever it stands; the host's own items are looked for item by item.
bool FindItemByCommand(HMENU popup, UINT command, HMENU& holding, MENUITEMINFOW& info, int captionLength,
                       CMenuXP::MENU_ITEM_DATA** record)
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

}  // namespace

// The result of the common frame of the item operations.
struct CVarnelMenuUtils::ItemLookup {
    CPlugin* plugin = nullptr;
    UINT command = 0;
    HMENU holding = nullptr;
    MENUITEMINFOW info{};
    wchar_t caption[MAX_PATH] = L"";
    CMenuXP::MENU_ITEM_DATA* record = nullptr;
};

// ---------------------------------------------------------------- life

CVarnelMenuUtils::CVarnelMenuUtils()
    : m_mainWindow(nullptr), m_menu(nullptr), m_tray(nullptr), m_defaultTrayIcon(nullptr), m_defaultTrayTitle(),
      m_updateAllowed(new CRegistryFlag(HKEY_LOCAL_MACHINE, kFrameworkKey, L"VarnelAllowUpdate", false))
{
}

CVarnelMenuUtils* CVarnelMenuUtils::Instance()
{
    return zerova::CreateOnce(g_instance, g_instanceLock, [] { return new CVarnelMenuUtils(); });
}

CVarnelMenuUtils::~CVarnelMenuUtils()
{
    for (const auto& detached : m_detachedLists) ::DestroyMenu(detached.second);
    delete m_updateAllowed;
    if (g_instance == this) g_instance = nullptr;
}

HWND CVarnelMenuUtils::GetMainWindow()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_mainWindow;
}

CMenuXP* CVarnelMenuUtils::GetMenuObject()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_menu;
}

HMENU CVarnelMenuUtils::TrayPopup() { return tray::TrayPopup(); }

// ---------------------------------------------------------------- shared helpers

bool CVarnelMenuUtils::IsMenuReady()
{
    if (TrayPopup() != nullptr && m_tray != nullptr) return true;
    CErrorMsg::Instance()->Error(kMenuNotReady);
    return false;
}

void CVarnelMenuUtils::ReportError(int code, CPlugin* plugin) { CPluginInterface::ReportPluginError(code, plugin); }

UINT CVarnelMenuUtils::MakeCommandId(void* handle, int itemId)
{
    if (handle == nullptr || handle == kMainApp) return static_cast<UINT>(itemId);
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

int CVarnelMenuUtils::FindFlyoutPosition(VARNEL_MENU_CATEGORY category)
{
    const CategoryRow* row = FindRow(category);
    HMENU popup = TrayPopup();
    if (row == nullptr || popup == nullptr) return -1;
    const int count = ::GetMenuItemCount(popup);
    int withList = 0;
    for (int position = 0; position < count; ++position) {
        if (::GetSubMenu(popup, position) == nullptr) continue;
        if (withList == row->ordinal) return position;
        ++withList;
    }
    return -1;
}

void CVarnelMenuUtils::SetFlyoutId(int position, UINT id)
{
    HMENU popup = TrayPopup();
    MENUITEMINFOW info{};
    if (!ReadItem(popup, position, info, nullptr)) return;
    info.wID = id;
    info.fMask = MIIM_ID;  // the pop-up list stays
    ::SetMenuItemInfoW(popup, static_cast<UINT>(position), TRUE, &info);
}

// Where the flyouts stand after the model inserted (+1) or removed (-1) an item of the tray
// pop-up menu at position; a removed flyout is absent.
void CVarnelMenuUtils::ShiftFlyoutPositions(int position, int by)
{
    for (int& known : m_flyoutPositions) {
        if (by < 0 && known == position) known = kFlyoutAbsent;
        else if (known >= position) known += by;
    }
}

// One reading of the whole tray pop-up menu: where each flyout's first item stands, or that it has
// none, and whether some flyout identifier stands twice.
void CVarnelMenuUtils::ReadFlyoutPositions(HMENU popup)
{
    for (int& known : m_flyoutPositions) known = kFlyoutAbsent;
    bool twice = false;
    const int count = ::GetMenuItemCount(popup);
    for (int i = 0; i < count; ++i) {
        MENUITEMINFOW info{};
        const CategoryRow* row = ReadIdAndState(popup, i, info) ? RowOfFlyout(info.wID) : nullptr;
        if (row == nullptr) continue;
        int& known = m_flyoutPositions[row->category];
        twice = twice || known != kFlyoutAbsent;
        if (known == kFlyoutAbsent) known = i;
    }
    m_availability.flyoutIdTwice = twice;
    ++m_menuReadings;
}

// The flyout's item in the tray pop-up menu, found by its command: where it stood last time (one
// read), else by reading the menu. While m_trustAbsent is set, a flyout that the last reading did
// not find is taken as still missing.
int CVarnelMenuUtils::FindFlyoutItem(HMENU popup, int category, UINT flyoutId, MENUITEMINFOW& info)
{
    const int last = m_flyoutPositions[category];
    if (ReadItem(popup, last, info, nullptr) && info.wID == flyoutId) return last;
    if (last == kFlyoutAbsent && m_trustAbsent) return -1;
    ReadFlyoutPositions(popup);
    const int found = m_flyoutPositions[category];
    return ReadItem(popup, found, info, nullptr) ? found : -1;
}

bool CVarnelMenuUtils::IsFlyoutMissing(int category)
{
    const CategoryRow* row = FindRow(category);
    MENUITEMINFOW info{};
    return row != nullptr && FindFlyoutItem(TrayPopup(), row->category, static_cast<UINT>(row->flyoutId), info) < 0;
}

HMENU CVarnelMenuUtils::GetCategoryFlyout(VARNEL_MENU_CATEGORY category, bool create, int* ordinal, int* position,
                                          int* placeholderId, int* flyoutId)
{
    int unusedOrdinal, unusedPosition, unusedPlaceholder, unusedFlyout;
    ordinal = ordinal != nullptr ? ordinal : &unusedOrdinal;
    position = position != nullptr ? position : &unusedPosition;
    placeholderId = placeholderId != nullptr ? placeholderId : &unusedPlaceholder;
    flyoutId = flyoutId != nullptr ? flyoutId : &unusedFlyout;
    *ordinal = *position = *placeholderId = *flyoutId = -1;

    if (!IsMenuReady()) return nullptr;
    const CategoryRow* row = FindRow(category);
    if (row == nullptr) return nullptr;
    *ordinal = row->ordinal;
    *placeholderId = row->placeholderId;
    *flyoutId = row->flyoutId;

    HMENU popup = TrayPopup();
    MENUITEMINFOW info{};
    const int found = FindFlyoutItem(popup, row->category, static_cast<UINT>(row->flyoutId), info);
    if (found < 0) return nullptr;
    *position = found;

    if (info.hSubMenu != nullptr) {
        if (!g_placeholderRemoved[row->category]) {
            ::DeleteMenu(info.hSubMenu, 0, MF_BYPOSITION);
            g_placeholderRemoved[row->category] = true;
        }
        return info.hSubMenu;
    }
    if (!create) return nullptr;
    // The list detached when the flyout last emptied comes back, so a host that kept it sees it live.
    HMENU list = nullptr;
    const auto detached = m_detachedLists.find(row->category);
    if (detached != m_detachedLists.end()) {
        if (::IsMenu(detached->second)) list = detached->second;
        m_detachedLists.erase(detached);
        // It held nothing but the template's placeholder.
        while (list != nullptr && ::GetMenuItemCount(list) > 0) ::RemoveMenu(list, 0, MF_BYPOSITION);
    }
    if (list == nullptr) list = ::CreatePopupMenu();
    if (list == nullptr) return nullptr;
    info.fMask = CMenuXP::ItemInfoMask & ~MIIM_STRING;
    info.hSubMenu = list;
    if (!::SetMenuItemInfoW(popup, static_cast<UINT>(found), TRUE, &info)) {
        ::DestroyMenu(list);
        return nullptr;
    }
    return list;
}

// ---------------------------------------------------------------- the model

void CVarnelMenuUtils::SetHandles(HWND mainWindow, CMenuXP* menu, CTray* tray)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (mainWindow == nullptr || menu == nullptr || tray == nullptr) {
        CErrorMsg::Instance()->Error(kMenuNotReady);
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

bool CVarnelMenuUtils::AddMenuItem(void* handle, const wchar_t* caption, int itemId, VARNEL_MENU_CATEGORY category)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!IsMenuReady()) return false;
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!CPluginInterface::Instance()->ValidatePlugin(handle, &record, &plugin, true)) return false;
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

// The list of the flyout an add goes into. A missing flyout is brought back first; leftOut: the
// categories whose missing flyouts BringBackFlyouts left out.
HMENU CVarnelMenuUtils::FlyoutForAdd(VARNEL_MENU_CATEGORY category, UINT command, unsigned& leftOut)
{
    int ordinal = -1;
    const unsigned readingsBefore = m_menuReadings;
    HMENU list = GetCategoryFlyout(category, true, &ordinal);
    if (list != nullptr && ordinal != -1) return list;
    ZEROVA_TRACE(0, list == nullptr ? L"hMenu is NULL" : L"index is -1");
    // What the look-up just read of the menu holds until the flyouts are back: a flyout it did not
    // find is not looked for again.
    m_trustAbsent = m_menuReadings != readingsBefore;
    leftOut = BringBackFlyouts(category, command);
    m_trustAbsent = false;
    list = GetCategoryFlyout(category, true, &ordinal);
    return ordinal != -1 ? list : nullptr;
}

// DisplayVarnelLegacyMenus for the three categories, as an add whose flyout is missing calls it.
// The other missing flyouts are left out: back without a list, they would be disabled and hidden
// again before the add returns, so the menu ends the same without them, with this flyout where it
// stands once they are gone. Returns the categories left out; none where the add's flyout is there
// (an add that will fail) or the command is a flyout's (the add would meet it).
unsigned CVarnelMenuUtils::BringBackFlyouts(VARNEL_MENU_CATEGORY category, UINT command)
{
    const CategoryRow* own = FindRow(category);
    if (own == nullptr || IsFlyoutId(command) || !IsFlyoutMissing(own->category)) {
        for (int each : {VARNEL_MENU_CATEGORY_A, VARNEL_MENU_CATEGORY_B, VARNEL_MENU_CATEGORY_C})
            DisplayVarnelLegacyMenus(static_cast<VARNEL_MENU_CATEGORY>(each));
        return 0;
    }
    unsigned leftOut = 0;
    int leftOutBefore = 0;  // the table's order is the flyouts' order in the menu
    for (const CategoryRow* row = kCategories; row->category != -1; ++row) {
        if (row == own || !IsFlyoutMissing(row->category)) continue;
        leftOut |= 1u << row->category;
        if (row < own) ++leftOutBefore;
    }
    for (const CategoryRow* row = kCategories; row->category != -1; ++row) {
        if (row != own && (leftOut & (1u << row->category)) == 0) {
            DisplayVarnelLegacyMenus(static_cast<VARNEL_MENU_CATEGORY>(row->category));
            continue;
        }
        TraceDisplayCall();
        if (row == own) InsertFlyoutItem(own->category, own->ordinal + 1 - leftOutBefore);
    }
    return leftOut;
}

// An add that left flyouts out failed after all: the menu gets what DisplayVarnelLegacyMenus for
// the three categories would have left, the add's flyout (with the list it got) among them.
void CVarnelMenuUtils::PutBackLeftOutFlyouts(unsigned leftOut, VARNEL_MENU_CATEGORY category)
{
    const CategoryRow* own = FindRow(category);
    if (leftOut == 0 || own == nullptr) return;
    HMENU popup = TrayPopup();
    MENUITEMINFOW info{};
    const int at = FindFlyoutItem(popup, own->category, static_cast<UINT>(own->flyoutId), info);
    HMENU list = at >= 0 ? info.hSubMenu : nullptr;
    if (at >= 0) {
        ::RemoveMenu(popup, static_cast<UINT>(at), MF_BYPOSITION);
        ShiftFlyoutPositions(at, -1);
    }
    for (const CategoryRow* row = kCategories; row->category != -1; ++row)
        if (row == own || (leftOut & (1u << row->category)) != 0) InsertFlyoutItem(row->category, row->ordinal + 1);
    MENUITEMINFOW attach{};
    attach.cbSize = sizeof(attach);
    attach.fMask = MIIM_SUBMENU;
    attach.hSubMenu = list;
    if (list != nullptr) ::SetMenuItemInfoW(popup, static_cast<UINT>(m_flyoutPositions[own->category]), TRUE, &attach);
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

// ---------------------------------------------------------------- where items stand

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

CVarnelMenuUtils::PLUGIN_DATA* CVarnelMenuUtils::FindPluginByCommand(UINT command, int& itemId)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
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
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    const bool ready = IsMenuReady();
    const bool removed =
        ready && CPluginInterface::Instance()->ValidatePlugin(handle, &record, &plugin, false) && RemoveItemsOf(plugin);
    // Every case ends with the availability refresh (which reports a menu that is not ready once
    // more). Where no item left, only what may differ from the refresh's result is redone.
    if (removed || !ready) RefreshMenuAvailability();
    else SettleAvailability(nullptr);
}

void CVarnelMenuUtils::RemoveItemsLeftBehind(void* handle)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!IsMenuReady() || CPluginInterface::Instance()->ValidatePlugin(handle, &record, &plugin, false) ||
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
    if (CVarnelMenuUtils* model = g_instance.load()) model->NoteItemsRenumbered();
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

// ---------------------------------------------------------------- item operations

bool CVarnelMenuUtils::PassesOwnerTest(void* handle, CPlugin** plugin)
{
    *plugin = nullptr;
    if (CPluginInterface::IsMainApp(handle)) return true;
    PLUGIN_DATA* record = nullptr;
    return CPluginInterface::Instance()->ValidatePlugin(handle, &record, plugin, true);
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
    std::lock_guard<std::recursive_mutex> guard(m_lock);
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
    std::lock_guard<std::recursive_mutex> guard(m_lock);
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
    std::lock_guard<std::recursive_mutex> guard(m_lock);
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
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    if (!BeginItemOperation(handle, itemId, lookup)) return FailItemOperation(538, lookup.plugin);
    checkMark = (lookup.info.fState & MFS_CHECKED) != 0;
    enabled = (lookup.info.fState & (MFS_DISABLED | MFS_GRAYED)) == 0;
    return true;
}

bool CVarnelMenuUtils::CheckMenuItem(void* handle, UINT itemId, UINT flags)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    if (!BeginItemOperation(handle, itemId, lookup)) return FailItemOperation(537, lookup.plugin);
    ::CheckMenuItem(lookup.holding, lookup.command, flags & ~static_cast<UINT>(MF_BYPOSITION));
    return true;
}

bool CVarnelMenuUtils::EnableMenuItem(void* handle, UINT itemId, UINT flags)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ItemLookup lookup;
    if (!IsMenuReady() || !PassesOwnerTest(handle, &lookup.plugin)) return false;
    if (!BeginItemOperation(handle, itemId, lookup)) return FailItemOperation(536, lookup.plugin);
    ::EnableMenuItem(lookup.holding, lookup.command, flags & ~static_cast<UINT>(MF_BYPOSITION));
    NoteItemChanged(lookup.command);
    return true;
}

bool CVarnelMenuUtils::DoesMenuItemExist(void* handle, UINT itemId)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
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
    tray::ImageFilename(nullptr, image, path, length);
    return CFileIO::FileExists(path);
}

bool CVarnelMenuUtils::SetMenuItemImage(void* handle, UINT itemId, HICON icon, bool report)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    CPlugin* plugin = nullptr;
    if (!IsMenuReady() || icon == nullptr || !PassesOwnerTest(handle, &plugin)) return false;
    if (m_menu->SetMenuItemImage(icon, TrayPopup(), MakeCommandId(handle, static_cast<int>(itemId)))) return true;
    if (report) ReportError(558, plugin);
    return false;
}

bool CVarnelMenuUtils::SetMenuItemImage(void* handle, UINT itemId, const wchar_t* image, bool report)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
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
    std::lock_guard<std::recursive_mutex> guard(m_lock);
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
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!IsMenuReady()) return false;
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!CPluginInterface::Instance()->ValidatePlugin(handle, &record, &plugin, true)) return false;
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

// ---------------------------------------------------------------- flyouts

void CVarnelMenuUtils::RefreshMenuAvailability()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!IsMenuReady()) return;
    FollowTrayPopup();
    for (int each : {VARNEL_MENU_CATEGORY_A, VARNEL_MENU_CATEGORY_B, VARNEL_MENU_CATEGORY_C})
        EnableDisableFlyout(static_cast<VARNEL_MENU_CATEGORY>(each));
    m_availability.updaters = CPluginInterface::Instance()->GetNumberOfUpdaters();
    ShowUpdateItem(m_availability.updaters > 0 && m_updateAllowed->Read());
}

void CVarnelMenuUtils::SettleAvailability(CPlugin* adder)
{
    FollowTrayPopup();
    for (const CategoryRow* row = kCategories; row->category != -1; ++row)
        if (m_availability.flyoutUnsettled[row->category])
            EnableDisableFlyout(static_cast<VARNEL_MENU_CATEGORY>(row->category));
    // An adding updater counts even before the refresh that ends its load has counted it. Without
    // an updater the item is grayed whatever the flag says, so the flag is read only with one.
    const bool updaters = m_availability.updaters > 0 || (adder != nullptr && adder->IsUpdater());
    const bool enable = updaters && m_updateAllowed->Read();
    if (m_availability.updateUnsettled || enable != m_availability.updateEnabled) ShowUpdateItem(enable);
}

void CVarnelMenuUtils::ShowUpdateItem(bool enable)
{
    ::EnableMenuItem(TrayPopup(), kUpdateCommand, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
    m_availability.updateEnabled = enable;
    m_availability.updateUnsettled = false;
}

// A tray menu loaded anew has nothing of what was settled in the one before.
void CVarnelMenuUtils::FollowTrayPopup()
{
    HMENU popup = TrayPopup();
    if (popup != m_availability.popup) UnsettleAll(popup);
}

void CVarnelMenuUtils::UnsettleAll(HMENU popup)
{
    const int updaters = m_availability.updaters;
    m_availability = Availability{};
    m_availability.popup = popup;
    m_availability.updaters = updaters;
    // Another item may now carry a flyout's identifier before the one found last time.
    for (int& known : m_flyoutPositions) known = kFlyoutUnknown;
}

void CVarnelMenuUtils::NoteItemChanged(UINT command)
{
    if (command == kUpdateCommand) m_availability.updateUnsettled = true;
    if (const CategoryRow* row = RowOfFlyout(command)) m_availability.flyoutUnsettled[row->category] = true;
}

void CVarnelMenuUtils::NoteItemsRenumbered()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    UnsettleAll(m_availability.popup);
}

void CVarnelMenuUtils::EnableDisableFlyout(VARNEL_MENU_CATEGORY category)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!IsMenuReady()) return;
    if (const CategoryRow* row = FindRow(category)) m_availability.flyoutUnsettled[row->category] = false;
    int position = -1;
    int placeholderId = -1;
    int flyoutId = -1;
    HMENU list = GetCategoryFlyout(category, false, nullptr, &position, &placeholderId, &flyoutId);
    if (flyoutId == -1 || position < 0) return;

    HMENU popup = TrayPopup();
    MENUITEMINFOW info{};
    wchar_t caption[MAX_PATH] = L"";
    if (!ReadItem(popup, position, info, caption)) return;
    const int count = list != nullptr ? ::GetMenuItemCount(list) : -1;
    const bool empty =
        count <= 0 || (count == 1 && CMenuXP::GetMenuItemID(list, 0) == static_cast<UINT>(placeholderId));

    if (empty) {
        ZEROVA_TRACE(0, L"CVarnelMenuUtils::EnableDisableFlyout - DISABLING \"%s\"", caption);
        if (info.hSubMenu != nullptr) {
            HMENU detached = info.hSubMenu;
            info.fMask = MIIM_SUBMENU;
            info.hSubMenu = nullptr;
            if (::SetMenuItemInfoW(popup, static_cast<UINT>(position), TRUE, &info)) {
                // Detached, not destroyed: a host may still hold the list.
                HMENU& kept = m_detachedLists[category];
                if (kept != nullptr && kept != detached) ::DestroyMenu(kept);
                kept = detached;
            } else
                ZEROVA_TRACE(0, L"CVarnelMenuUtils::EnableDisableFlyout - SetMenuItemInfo FAILED");
        }
        if (::EnableMenuItem(popup, static_cast<UINT>(position), MF_BYPOSITION | MF_DISABLED | MF_GRAYED) == -1)
            ZEROVA_TRACE(4, L"CVarnelMenuUtils::EnableDisableFlyout - EnableMenuItem FAILED");
        m_availability.disabledFlyoutShown = true;
        return;
    }
    ZEROVA_TRACE(0, L"CVarnelMenuUtils::EnableDisableFlyout - ENABLING \"%s\"", caption);
    if (::EnableMenuItem(popup, static_cast<UINT>(position), MF_BYPOSITION | MF_ENABLED) == -1)
        ZEROVA_TRACE(4, L"CVarnelMenuUtils::EnableDisableFlyout - EnableMenuItem FAILED");
}

void CVarnelMenuUtils::CheckAndHideVarnelLegacyMenus()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    HMENU popup = TrayPopup();
    if (popup == nullptr) return;
    int count = ::GetMenuItemCount(popup);
    // One pass: the items before a removed one were looked at already and stay as they were, so
    // starting again from the top would remove nothing more.
    for (int position = 0; position < count;) {
        MENUITEMINFOW info{};
        if (ReadIdAndState(popup, position, info) && IsFlyoutId(info.wID) &&
            // The disabled bit alone (0x2): MFS_DISABLED is 0x3 and would take a flyout the host
            // only grayed (0x1) out with every item in it.
            (info.fState & MF_DISABLED) != 0) {
            ::RemoveMenu(popup, static_cast<UINT>(position), MF_BYPOSITION);
            ShiftFlyoutPositions(position, -1);
            count = ::GetMenuItemCount(popup);
            continue;
        }
        ++position;
    }
    m_availability.disabledFlyoutShown = false;
}

// The hiding of disabled flyouts after an add.
void CVarnelMenuUtils::HideDisabledFlyouts()
{
    if (!HideKnownDisabledFlyouts()) CheckAndHideVarnelLegacyMenus();
}

// What CheckAndHideVarnelLegacyMenus does, reading only the flyouts, where the model knows where
// each stands and no flyout identifier stands twice; false where that knowledge ends.
bool CVarnelMenuUtils::HideKnownDisabledFlyouts()
{
    HMENU popup = TrayPopup();
    if (popup == nullptr || m_availability.flyoutIdTwice) return false;
    for (const CategoryRow* row = kCategories; row->category != -1; ++row) {
        const int at = m_flyoutPositions[row->category];
        if (at == kFlyoutAbsent) continue;
        MENUITEMINFOW info{};
        if (!ReadIdAndState(popup, at, info) || info.wID != static_cast<UINT>(row->flyoutId)) return false;
        if ((info.fState & MF_DISABLED) == 0) continue;
        ::RemoveMenu(popup, static_cast<UINT>(at), MF_BYPOSITION);
        ShiftFlyoutPositions(at, -1);
    }
    m_availability.disabledFlyoutShown = false;
    return true;
}

void CVarnelMenuUtils::DisplayVarnelLegacyMenus(VARNEL_MENU_CATEGORY category)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    TraceDisplayCall();
    const CategoryRow* row = FindRow(category);
    if (row == nullptr) {
        ZEROVA_TRACE(4, L">>>  DisplayVarnelLegacyMenus pCategory == NULL <<<");
        return;
    }
    HMENU popup = TrayPopup();
    MENUITEMINFOW info{};
    if (popup != nullptr && FindFlyoutItem(popup, row->category, static_cast<UINT>(row->flyoutId), info) >= 0) {
        if (CDebugTrace::IsWanted(4)) ZEROVA_TRACE(4, L">>>  DisplayVarnelLegacyMenus found category return <<<");
        return;
    }
    InsertFlyoutItem(row->category, row->ordinal + 1);
}

// A flyout's item put into the tray pop-up menu at position (appended beyond the last item),
// without a list and enabled: the next refresh disables it unless an item comes.
void CVarnelMenuUtils::InsertFlyoutItem(int category, int position)
{
    const CategoryRow& row = *FindRow(category);
    HMENU popup = TrayPopup();
    wchar_t caption[MAX_PATH] = L"";
    const UINT captionString = row.flyoutId == 7000 ? 20u : row.flyoutId == 7005 ? 21u : row.flyoutId == 7010 ? 22u : 0u;
    CLocalize::Instance()->GetString(captionString, caption, MAX_PATH);
    const int at = std::min(position, ::GetMenuItemCount(popup));
    if (!::InsertMenuW(popup, static_cast<UINT>(position), MF_BYPOSITION | MF_STRING,
                       static_cast<UINT_PTR>(row.flyoutId), caption)) {
        ZEROVA_TRACE(4, L">>>  DisplayVarnelLegacyMenus InsertMenu failed <<<");
        return;
    }
    ShiftFlyoutPositions(at, +1);
    m_flyoutPositions[row.category] = at;
    m_availability.flyoutUnsettled[row.category] = true;
}

// ---------------------------------------------------------------- checksum and tray look

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
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    IsMenuReady();
}

HICON CVarnelMenuUtils::GetTrayIcon()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_tray != nullptr ? m_tray->GetTrayIcon() : nullptr;
}

wchar_t* CVarnelMenuUtils::GetTrayTitle(wchar_t* buffer, int length)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (buffer == nullptr || length < 1) {
        CErrorMsg::Instance()->Error(531);
        return buffer;
    }
    if (m_tray == nullptr) return zerova::CopyString(buffer, length, L"");
    return m_tray->GetTitle(buffer, length);
}

void CVarnelMenuUtils::ModifyTrayTitle(const wchar_t* title)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_tray != nullptr) m_tray->ModifyTitle(title != nullptr ? title : m_defaultTrayTitle);
}

void CVarnelMenuUtils::ModifyTrayIcon(HICON icon)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_tray != nullptr) m_tray->ModifyIcon(icon != nullptr ? icon : m_defaultTrayIcon);
}
