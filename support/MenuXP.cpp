#include "MenuXP.h"

#include "DebugTrace.h"
#include "SafeString.h"

namespace {
const wchar_t kSource[] = L"MenuXP.cpp";
const int kMaxDepth = 8;

int FindPosition(HMENU menu, HMENU* owner, UINT command, int depth)
{
    if (menu == nullptr || depth > kMaxDepth) return -1;
    const int count = ::GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        HMENU popup = ::GetSubMenu(menu, i);
        if (popup == nullptr && ::GetMenuItemID(menu, i) == command) {
            if (owner != nullptr) *owner = menu;
            return i;
        }
        if (popup != nullptr) {
            MENUITEMINFOW info{};
            info.cbSize = sizeof(info);
            info.fMask = MIIM_ID;
            if (::GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info) && info.wID == command) {
                if (owner != nullptr) *owner = menu;
                return i;
            }
            const int inner = FindPosition(popup, owner, command, depth + 1);
            if (inner >= 0) return inner;
        }
    }
    return -1;
}

void TraceItems(HMENU menu, int depth)
{
    if (menu == nullptr || depth > kMaxDepth) return;
    const int count = ::GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[MAX_PATH] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_STRING | MIIM_SUBMENU | MIIM_FTYPE;
        info.dwTypeData = text;
        info.cch = MAX_PATH;
        if (!::GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) continue;
        wchar_t line[512];
        zerova::FormatString(line, 512, L"menu item %d.%d: id=%u state=0x%X text=\"%s\"", depth, i, info.wID,
                             info.fState, (info.fType & MFT_SEPARATOR) ? L"----" : text);
        CDebugTrace::OutputDebugStringW(4, line, kSource, __LINE__);
        if (info.hSubMenu != nullptr) TraceItems(info.hSubMenu, depth + 1);
    }
}
}  // namespace

CMenuXP::CMenuXP() = default;
CMenuXP::~CMenuXP() = default;

int CMenuXP::FindMenuPositionByCommand(HMENU menu, HMENU* owner, UINT command)
{
    if (owner != nullptr) *owner = nullptr;
    return FindPosition(menu, owner, command, 0);
}

HMENU CMenuXP::FindMenuByCommand(HMENU menu, UINT command)
{
    HMENU owner = nullptr;
    return FindMenuPositionByCommand(menu, &owner, command) >= 0 ? owner : nullptr;
}

UINT CMenuXP::GetMenuItemID(HMENU menu, int position)
{
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID;
    if (menu == nullptr || !::GetMenuItemInfoW(menu, static_cast<UINT>(position), TRUE, &info)) return 0xFFFFFFFFu;
    return info.wID;
}

bool CMenuXP::GetMenuItemInfoW(HMENU menu, UINT item, bool byPosition, MENUITEMINFOW& info)
{
    info.cbSize = sizeof(info);
    return menu != nullptr && ::GetMenuItemInfoW(menu, item, byPosition ? TRUE : FALSE, &info) != FALSE;
}

void CMenuXP::InitMenuItemInfo(MENUITEMINFOW& info, UINT mask, wchar_t* text, int length)
{
    info = MENUITEMINFOW{};
    info.cbSize = sizeof(info);
    info.fMask = mask;
    info.fType = MFT_STRING;
    info.fState = MFS_ENABLED;
    info.dwTypeData = text;
    info.cch = text != nullptr && length > 0 ? static_cast<UINT>(length) : 0;
}

bool CMenuXP::SetMenuItemImage(HMENU menu, UINT command, const wchar_t* image, bool enabled)
{
    HMENU owner = nullptr;
    const int position = FindMenuPositionByCommand(menu, &owner, command);
    if (position < 0) return false;
    MENUITEMINFOW info{};
    info.fMask = MIIM_DATA;
    if (!GetMenuItemInfoW(owner, static_cast<UINT>(position), true, info) || info.dwItemData == 0) return false;
    auto* data = reinterpret_cast<MENU_ITEM_DATA*>(info.dwItemData);
    zerova::CopyString(data->image, MAX_PATH, image != nullptr ? image : L"");
    data->imageEnabled = enabled;
    return true;
}

void CMenuXP::DebugTraceMenuItemStates(HMENU menu) { TraceItems(menu, 0); }
