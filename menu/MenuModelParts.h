// What the files of the tray menu model share: the category table, the readings of one item, and
// the count of SetMenuItemID's renumberings. Private to the model.
#pragma once

#include "MenuXP.h"
#include "TrayConstants.h"
#include "VarnelPluginContract.h"

#include "DebugTrace.h"

#include <atomic>

// Every line of the menu model names the model's source file, whichever of its files writes it.
#undef ZEROVA_SOURCE_FILE
#define ZEROVA_SOURCE_FILE L"VarnelMenuUtils.cpp"

class CPlugin;

namespace menu {
namespace model {

const UINT kMenuNotReady = 421;
const int kCommandTaken = 542;

// How many times SetMenuItemID gave an item of some menu a new identifier. It is static (the
// contract's function knows no model): each model compares it with what it saw last before it
// works, and takes nothing for granted about flyouts and identifiers after a change.
extern std::atomic<unsigned> g_renumberings;

struct CategoryRow {
    int category;
    int flyoutId;
    int placeholderId;
    int ordinal;
    UINT captionString;
};

// Ends with the row whose category, placeholder and ordinal are -1.
const CategoryRow kCategories[] = {
    {VARNEL_MENU_CATEGORY_A, static_cast<int>(tray::kFlyoutCommands[0]), 7001, 0, 20},
    {VARNEL_MENU_CATEGORY_B, static_cast<int>(tray::kFlyoutCommands[1]), 7006, 1, 21},
    {VARNEL_MENU_CATEGORY_C, static_cast<int>(tray::kFlyoutCommands[2]), 7011, 2, 22},
    {-1, 0, -1, -1, 0},
};

inline const CategoryRow* FindRow(int category)
{
    for (const CategoryRow* row = kCategories; row->category != -1; ++row)
        if (row->category == category) return row;
    return nullptr;
}

inline const CategoryRow* RowOfFlyout(UINT id)
{
    for (const CategoryRow* row = kCategories; row->category != -1; ++row)
        if (id == static_cast<UINT>(row->flyoutId)) return row;
    return nullptr;
}

inline bool IsFlyoutId(UINT id) { return RowOfFlyout(id) != nullptr; }

// Asked before each plain line: a line nobody reads still costs a copy of the trace settings.
inline void TraceDisplayCall()
{
    if (CDebugTrace::IsWanted(4)) ZEROVA_TRACE(4, L">>>  DisplayVarnelLegacyMenus <<<");
}

inline CPlugin* PluginObjectOfHandle(void* handle)
{
    return handle != nullptr ? static_cast<CPlugin*>(static_cast<VARNEL_PLUGIN_DATA*>(handle)->plugin) : nullptr;
}

inline int ItemIdOf(const CMenuXP::MENU_ITEM_DATA* item)
{
    return static_cast<int>(item->commandId - static_cast<UINT>(reinterpret_cast<UINT_PTR>(item->owner)));
}

// Reads one item with its caption; false when there is no item at position.
inline bool ReadItem(HMENU menu, int position, MENUITEMINFOW& info, wchar_t* caption)
{
    return position >= 0 && CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(position), true, info, caption, MAX_PATH);
}

// Reads only what a scan of the tray pop-up menu looks at: the identifier and the state.
inline bool ReadIdAndState(HMENU menu, int position, MENUITEMINFOW& info)
{
    info = MENUITEMINFOW{};
    info.fMask = MIIM_ID | MIIM_STATE;
    return position >= 0 && CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(position), true, info);
}

// The first item of the tray menu with the command, as CMenuXP::FindMenuByCommand finds it, and
// its record when the model made it. An item of the model's knows its list, so two calls find it
// wherever it stands; the host's own items are looked for item by item.
bool FindItemByCommand(HMENU popup, UINT command, HMENU& holding, MENUITEMINFOW& info, int captionLength,
                       CMenuXP::MENU_ITEM_DATA** record);

}  // namespace model
}  // namespace menu
