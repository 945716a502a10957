#include "MenuXP.h"

#include "MenuItemRecords.h"

#include "DebugTrace.h"
#include "GdiPlusSession.h"
#include "SafeString.h"

#include <mutex>
#include <set>

namespace {
const wchar_t kSource[] = L"MenuXP.cpp";
const int kMaxDepth = 8;
const int kImageSize = 16;

// Position of the first string item whose caption is exactly caption, depth first.
int FindPositionByCaption(HMENU menu, HMENU* owner, const wchar_t* caption, int depth)
{
    if (menu == nullptr || depth > kMaxDepth) return -1;
    const int count = ::GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[MAX_PATH] = L"";
        MENUITEMINFOW info{};
        if (CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(i), true, info, text, MAX_PATH) &&
            (info.fType & MFT_SEPARATOR) == 0 && wcscmp(text, caption) == 0) {
            *owner = menu;
            return i;
        }
        if (info.hSubMenu != nullptr) {
            const int inner = FindPositionByCaption(info.hSubMenu, owner, caption, depth + 1);
            if (inner >= 0) return inner;
        }
    }
    return -1;
}

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

// The bitmaps this menu object made for item images; destroyed when replaced and at the end.
struct CMenuXP::Images {
    std::mutex lock;
    std::set<HBITMAP> owned;
};

CMenuXP::CMenuXP() : m_images(std::make_unique<Images>()) {}

CMenuXP::~CMenuXP()
{
    for (HBITMAP bitmap : m_images->owned) ::DeleteObject(bitmap);
}

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

bool CMenuXP::FindMenuByCommand(HMENU menu, UINT command, HMENU& holdingMenu, MENUITEMINFOW& info,
                                int captionLength, MENU_ITEM_DATA** record)
{
    holdingMenu = nullptr;
    if (record != nullptr) *record = nullptr;
    wchar_t* caption = info.dwTypeData;
    HMENU owner = nullptr;
    const int position = FindMenuPositionByCommand(menu, &owner, command);
    if (position < 0 || owner == nullptr) return false;
    if (!GetMenuItemInfoW(owner, static_cast<UINT>(position), true, info, caption, captionLength)) return false;
    holdingMenu = owner;
    if (record != nullptr) *record = reinterpret_cast<MENU_ITEM_DATA*>(info.dwItemData);
    return true;
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

bool CMenuXP::GetMenuItemInfoW(HMENU menu, UINT item, bool byPosition, MENUITEMINFOW& info, wchar_t* caption,
                               int captionLength)
{
    info = MENUITEMINFOW{};
    info.fMask = ItemInfoMask;
    if (caption != nullptr && captionLength > 0) {
        caption[0] = L'\0';
        info.dwTypeData = caption;
        info.cch = static_cast<UINT>(captionLength);
    }
    const bool ok = GetMenuItemInfoW(menu, item, byPosition, info);
    if (caption != nullptr && captionLength > 0) caption[captionLength - 1] = L'\0';
    info.dwTypeData = caption;
    return ok;
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

void CMenuXP::ReleaseMenuItemImage(HMENU menu, UINT command)
{
    HBITMAP bitmap = GetMenuItemImage(menu, command);
    if (bitmap == nullptr) return;
    std::lock_guard<std::mutex> guard(m_images->lock);
    if (m_images->owned.erase(bitmap) == 0) return;  // not one of ours
    HMENU holding = nullptr;
    MENUITEMINFOW info{};
    if (FindMenuByCommand(menu, command, holding, info, 0, nullptr)) {
        MENUITEMINFOW update{};
        update.cbSize = sizeof(update);
        update.fMask = MIIM_BITMAP;
        update.hbmpItem = nullptr;
        ::SetMenuItemInfoW(holding, command, FALSE, &update);
    }
    ::DeleteObject(bitmap);
}

bool CMenuXP::SetItemBitmap(HMENU holdingMenu, UINT item, bool byPosition, HBITMAP bitmap, const wchar_t* imagePath)
{
    if (bitmap == nullptr) return false;
    std::lock_guard<std::mutex> guard(m_images->lock);
    MENUITEMINFOW info{};
    info.fMask = MIIM_BITMAP | MIIM_DATA;
    if (!GetMenuItemInfoW(holdingMenu, item, byPosition, info)) {
        ::DeleteObject(bitmap);
        return false;
    }
    HBITMAP previous = info.hbmpItem;
    MENUITEMINFOW update{};
    update.cbSize = sizeof(update);
    update.fMask = MIIM_BITMAP;
    update.hbmpItem = bitmap;
    if (!::SetMenuItemInfoW(holdingMenu, item, byPosition ? TRUE : FALSE, &update)) {
        ::DeleteObject(bitmap);
        return false;
    }
    m_images->owned.insert(bitmap);
    if (m_images->owned.erase(previous) != 0) ::DeleteObject(previous);
    if (auto* record = zerova::OwnItemRecord(reinterpret_cast<const void*>(info.dwItemData))) {
        zerova::CopyString(record->image, MAX_PATH, imagePath != nullptr ? imagePath : L"");
        record->imageEnabled = true;
    }
    return true;
}

bool CMenuXP::SetMenuItemImage(HICON icon, HMENU menu, UINT command)
{
    HMENU owner = nullptr;
    const int position = FindMenuPositionByCommand(menu, &owner, command);
    if (position < 0 || icon == nullptr) return false;
    return SetItemBitmap(owner, static_cast<UINT>(position), true, zerova::IconToBitmap(icon, kImageSize, kImageSize),
                         L"");
}

bool CMenuXP::SetMenuItemImage(const wchar_t* imagePath, HMENU menu, UINT command)
{
    HMENU owner = nullptr;
    const int position = FindMenuPositionByCommand(menu, &owner, command);
    if (position < 0) return false;
    // A missing file gives no bitmap, and no bitmap is set.
    return SetItemBitmap(owner, static_cast<UINT>(position), true,
                         zerova::LoadImageBitmap(imagePath, kImageSize, kImageSize), imagePath);
}

bool CMenuXP::SetMenuItemImage(const wchar_t* imagePath, HMENU menu, const wchar_t* caption)
{
    if (zerova::IsEmpty(caption)) return false;
    HMENU owner = nullptr;
    const int position = FindPositionByCaption(menu, &owner, caption, 0);
    if (position < 0) return false;
    return SetItemBitmap(owner, static_cast<UINT>(position), true,
                         zerova::LoadImageBitmap(imagePath, kImageSize, kImageSize), imagePath);
}

HBITMAP CMenuXP::GetMenuItemImage(HMENU menu, UINT command)
{
    HMENU owner = nullptr;
    const int position = FindMenuPositionByCommand(menu, &owner, command);
    if (position < 0) return nullptr;
    MENUITEMINFOW info{};
    info.fMask = MIIM_BITMAP;
    return GetMenuItemInfoW(owner, static_cast<UINT>(position), true, info) ? info.hbmpItem : nullptr;
}

void CMenuXP::DebugTraceMenuItemStates(HMENU menu) { TraceItems(menu, 0); }
