// The tray menu model's category flyouts: where they stand, their lists, their availability and
// the update item, hidden when disabled and brought back when items come.
#include "VarnelMenuUtils.h"

#include "MenuModelParts.h"
#include "MenuItemRecords.h"

#include "MenuXP.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "RegistryFlag.h"

#include <algorithm>

using namespace menu::model;

namespace {
// Set once per process when the first look-up of a flyout has taken out the template's placeholder.
bool g_placeholderRemoved[3] = {false, false, false};
}  // namespace

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
    zerova::UniqueMenu list;
    const auto detached = m_detachedLists.find(row->category);
    if (detached != m_detachedLists.end()) {
        HMENU kept = detached->second.Release();
        m_detachedLists.erase(detached);
        if (::IsMenu(kept)) list.Reset(kept);  // one the host destroyed is no longer ours
        // It held nothing but the template's placeholder.
        while (list && ::GetMenuItemCount(list.Get()) > 0) ::RemoveMenu(list.Get(), 0, MF_BYPOSITION);
    }
    if (!list) list.Reset(::CreatePopupMenu());
    if (!list) return nullptr;
    info.fMask = CMenuXP::ItemInfoMask & ~MIIM_STRING;
    info.hSubMenu = list.Get();
    if (!::SetMenuItemInfoW(popup, static_cast<UINT>(found), TRUE, &info)) return nullptr;
    return list.Release();  // the tray menu holds it now
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

void CVarnelMenuUtils::RefreshMenuAvailability()
{
    const auto guard = LockMenu();
    if (!IsMenuReady()) return;
    FollowTrayPopup();
    for (int each : {VARNEL_MENU_CATEGORY_A, VARNEL_MENU_CATEGORY_B, VARNEL_MENU_CATEGORY_C})
        EnableDisableFlyout(static_cast<VARNEL_MENU_CATEGORY>(each));
    m_availability.updaters = m_registry.GetNumberOfUpdaters();
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
    ::EnableMenuItem(TrayPopup(), tray::kUpdateCommand, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
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
    if (command == tray::kUpdateCommand) m_availability.updateUnsettled = true;
    if (const CategoryRow* row = RowOfFlyout(command)) m_availability.flyoutUnsettled[row->category] = true;
}

void CVarnelMenuUtils::NoteItemsRenumbered() { UnsettleAll(m_availability.popup); }

void CVarnelMenuUtils::EnableDisableFlyout(VARNEL_MENU_CATEGORY category)
{
    const auto guard = LockMenu();
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
                zerova::UniqueMenu& kept = m_detachedLists[category];
                if (kept.Get() != detached) kept.Reset(detached);
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
    const auto guard = LockMenu();
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
    const auto guard = LockMenu();
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
    m_support.Text(captionString, caption, MAX_PATH);
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
