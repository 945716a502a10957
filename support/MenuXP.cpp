#include "MenuXP.h"
#include "Lock.h"

#include "MenuItemRecords.h"

#include "DebugTrace.h"
#include "GdiPlusSession.h"
#include "Handles.h"
#include "SafeString.h"

#include <map>
#include <mutex>
#include <tuple>

namespace {
const int kMaxDepth = 8;

// Item images have the size of small icons at the DPI the menu is drawn at, as in native menus.
int ImageSize()
{
    const int size = ::GetSystemMetrics(SM_CXSMICON);
    return size > 0 ? size : 16;
}

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
        ZEROVA_TRACE(4, static_cast<const wchar_t*>(line));
        if (info.hSubMenu != nullptr) TraceItems(info.hSubMenu, depth + 1);
    }
}
}  // namespace

namespace {
// An item with an image: its record when the item carries one of the libraries' records (which
// stays with the item when its command changes), else its menu and command.
struct ImageKey {
    const void* record;
    HMENU menu;
    UINT command;
    bool operator<(const ImageKey& other) const
    {
        return std::tie(record, menu, command) < std::tie(other.record, other.menu, other.command);
    }
};

ImageKey KeyOf(HMENU menu, UINT command, ULONG_PTR itemData)
{
    if (const void* record = zerova::OwnItemRecord(reinterpret_cast<const void*>(itemData))) return {record, nullptr, 0};
    return {nullptr, menu, command};
}

// A blank image (no bitmap) only keeps an item's text in line with the images of its menu level.
struct ItemImage {
    zerova::UniqueBitmap bitmap;
    const CMenuXP* maker;
    SIZE size;
};

// The item images of every menu object of the process. The items carry HBMMENU_CALLBACK, so the
// menu asks its owner window to measure and draw them, and they are drawn with their alpha channel
// over the item's own background, selected or not, as native menus draw 32-bit item bitmaps.
struct ImageTable {
    zerova::Mutex lock;
    std::map<ImageKey, ItemImage> images;
};

ImageTable& ItemImages()
{
    static ImageTable table;
    return table;
}

const ItemImage* FindEntry(const ImageKey& key)
{
    auto found = ItemImages().images.find(key);
    return found != ItemImages().images.end() ? &found->second : nullptr;
}

HBITMAP FindImage(const ImageKey& key)
{
    const ItemImage* entry = FindEntry(key);
    return entry != nullptr ? entry->bitmap.Get() : nullptr;
}

// The image of an item being measured, which names no menu: by record, else the first by command.
const ItemImage* FindEntryToMeasure(UINT command, ULONG_PTR itemData)
{
    const ImageKey key = KeyOf(nullptr, command, itemData);
    if (key.record != nullptr) return FindEntry(key);
    for (const auto& entry : ItemImages().images)
        if (entry.first.record == nullptr && entry.first.command == command) return &entry.second;
    return nullptr;
}

SIZE BitmapSize(HBITMAP bitmap)
{
    BITMAP info{};
    if (::GetObjectW(bitmap, sizeof(info), &info) == 0) return {0, 0};
    return {info.bmWidth, info.bmHeight};
}

UINT ItemBitmap(HMENU menu, int position, MENUITEMINFOW& info)
{
    info = MENUITEMINFOW{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_BITMAP | MIIM_ID | MIIM_DATA | MIIM_FTYPE;
    return ::GetMenuItemInfoW(menu, static_cast<UINT>(position), TRUE, &info);
}

// The size of the first image of one menu level; none when the level shows no image.
SIZE ImageSizeOfLevel(HMENU menu)
{
    for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
        MENUITEMINFOW info;
        if (!ItemBitmap(menu, i, info) || info.hbmpItem != HBMMENU_CALLBACK) continue;
        const ItemImage* entry = FindEntry(KeyOf(menu, info.wID, info.dwItemData));
        if (entry != nullptr && entry->bitmap) return entry->size;
    }
    return {0, 0};
}

// Space between an item's image and its text, a quarter of the image.
int ImageGap(int imageWidth) { return imageWidth / 4; }

// Grayed items show their image faded, as their text is.
const BYTE kOpaque = 255;
const BYTE kFaded = 96;
}  // namespace

CMenuXP::CMenuXP() = default;

CMenuXP::~CMenuXP()
{
    std::lock_guard<zerova::Mutex> guard(ItemImages().lock);
    for (auto entry = ItemImages().images.begin(); entry != ItemImages().images.end();) {
        if (entry->second.maker != this) {
            ++entry;
            continue;
        }
        entry = ItemImages().images.erase(entry);
    }
}

bool CMenuXP::MeasureItem(MEASUREITEMSTRUCT& measure)
{
    if (measure.CtlType != ODT_MENU) return false;
    std::lock_guard<zerova::Mutex> guard(ItemImages().lock);
    const ItemImage* entry = FindEntryToMeasure(measure.itemID, measure.itemData);
    if (entry == nullptr) return false;
    const SIZE size = entry->size;
    measure.itemWidth = static_cast<UINT>(size.cx + ImageGap(size.cx));
    measure.itemHeight = static_cast<UINT>(size.cy);
    return true;
}

bool CMenuXP::DrawItem(const DRAWITEMSTRUCT& draw)
{
    if (draw.CtlType != ODT_MENU) return false;
    std::lock_guard<zerova::Mutex> guard(ItemImages().lock);
    HMENU menu = reinterpret_cast<HMENU>(draw.hwndItem);
    const ItemImage* entry = FindEntry(KeyOf(menu, draw.itemID, draw.itemData));
    if (entry == nullptr) return false;
    if (!entry->bitmap) return true;  // a blank: nothing to draw
    const SIZE size = entry->size;
    const zerova::UniqueDeviceContext source(::CreateCompatibleDC(draw.hDC));
    if (!source) return false;
    const zerova::ScopedSelection selected(source.Get(), entry->bitmap.Get());
    const bool grayed = (draw.itemState & (ODS_GRAYED | ODS_DISABLED)) != 0;
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, grayed ? kFaded : kOpaque, AC_SRC_ALPHA};
    const int top = draw.rcItem.top + (draw.rcItem.bottom - draw.rcItem.top - size.cy) / 2;
    return ::GdiAlphaBlend(draw.hDC, draw.rcItem.left, top, size.cx, size.cy, source.Get(), 0, 0, size.cx, size.cy,
                           blend) != FALSE;
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
    HMENU holding = nullptr;
    const int position = FindMenuPositionByCommand(menu, &holding, command);
    MENUITEMINFOW info{};
    info.fMask = MIIM_BITMAP | MIIM_DATA;
    if (position < 0 || !GetMenuItemInfoW(holding, static_cast<UINT>(position), true, info) ||
        info.hbmpItem != HBMMENU_CALLBACK)
        return;
    std::lock_guard<zerova::Mutex> guard(ItemImages().lock);
    auto found = ItemImages().images.find(KeyOf(holding, command, info.dwItemData));
    if (found == ItemImages().images.end() || found->second.maker != this) return;  // not one of ours
    MENUITEMINFOW update{};
    update.cbSize = sizeof(update);
    update.fMask = MIIM_BITMAP;
    update.hbmpItem = nullptr;
    ::SetMenuItemInfoW(holding, command, FALSE, &update);
    ItemImages().images.erase(found);
}

bool CMenuXP::SetItemBitmap(HMENU holdingMenu, UINT item, bool byPosition, HBITMAP bitmap, const wchar_t* imagePath)
{
    zerova::UniqueBitmap owned(bitmap);
    if (!owned) return false;
    std::lock_guard<zerova::Mutex> guard(ItemImages().lock);
    MENUITEMINFOW info{};
    info.fMask = MIIM_ID | MIIM_DATA;
    if (!GetMenuItemInfoW(holdingMenu, item, byPosition, info)) return false;
    MENUITEMINFOW update{};
    update.cbSize = sizeof(update);
    update.fMask = MIIM_BITMAP;
    update.hbmpItem = HBMMENU_CALLBACK;
    if (!::SetMenuItemInfoW(holdingMenu, item, byPosition ? TRUE : FALSE, &update)) return false;
    ItemImage& slot = ItemImages().images[KeyOf(holdingMenu, info.wID, info.dwItemData)];
    // The image it replaces is no longer drawn by anyone: it goes.
    const SIZE size = BitmapSize(bitmap);
    slot = ItemImage{std::move(owned), this, size};
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
    return SetItemBitmap(owner, static_cast<UINT>(position), true, zerova::IconToBitmap(icon, ImageSize(), ImageSize()),
                         L"");
}

bool CMenuXP::SetMenuItemImage(const wchar_t* imagePath, HMENU menu, UINT command)
{
    HMENU owner = nullptr;
    const int position = FindMenuPositionByCommand(menu, &owner, command);
    if (position < 0) return false;
    // A missing file gives no bitmap, and no bitmap is set.
    return SetItemBitmap(owner, static_cast<UINT>(position), true,
                         zerova::LoadImageBitmap(imagePath, ImageSize(), ImageSize()), imagePath);
}

bool CMenuXP::SetMenuItemImage(const wchar_t* imagePath, HMENU menu, const wchar_t* caption)
{
    if (zerova::IsEmpty(caption)) return false;
    HMENU owner = nullptr;
    const int position = FindPositionByCaption(menu, &owner, caption, 0);
    if (position < 0) return false;
    return SetItemBitmap(owner, static_cast<UINT>(position), true,
                         zerova::LoadImageBitmap(imagePath, ImageSize(), ImageSize()), imagePath);
}

HBITMAP CMenuXP::GetMenuItemImage(HMENU menu, UINT command)
{
    HMENU owner = nullptr;
    const int position = FindMenuPositionByCommand(menu, &owner, command);
    if (position < 0) return nullptr;
    MENUITEMINFOW info{};
    info.fMask = MIIM_BITMAP | MIIM_ID | MIIM_DATA;
    if (!GetMenuItemInfoW(owner, static_cast<UINT>(position), true, info)) return nullptr;
    if (info.hbmpItem != HBMMENU_CALLBACK) return info.hbmpItem;
    std::lock_guard<zerova::Mutex> guard(ItemImages().lock);
    return FindImage(KeyOf(owner, info.wID, info.dwItemData));
}

void CMenuXP::LineUpItemTexts(HMENU menu) { LineUpLevel(menu, 0); }

void CMenuXP::LineUpLevel(HMENU menu, int depth)
{
    if (menu == nullptr || depth > kMaxDepth) return;
    for (int i = 0; i < ::GetMenuItemCount(menu); ++i) LineUpLevel(::GetSubMenu(menu, i), depth + 1);
    std::lock_guard<zerova::Mutex> guard(ItemImages().lock);
    const SIZE size = ImageSizeOfLevel(menu);
    if (size.cx == 0) return;
    for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
        MENUITEMINFOW info;
        if (!ItemBitmap(menu, i, info) || (info.fType & MFT_SEPARATOR) != 0 || info.hbmpItem != nullptr) continue;
        MENUITEMINFOW update{};
        update.cbSize = sizeof(update);
        update.fMask = MIIM_BITMAP;
        update.hbmpItem = HBMMENU_CALLBACK;
        if (::SetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &update))
            ItemImages().images[KeyOf(menu, info.wID, info.dwItemData)] = ItemImage{zerova::UniqueBitmap(), this, size};
    }
}

void CMenuXP::DebugTraceMenuItemStates(HMENU menu) { TraceItems(menu, 0); }
