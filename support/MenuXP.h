// The tray menu: item records, look-ups over a menu and its pop-ups, and item images.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CMenuXP {
public:
    // The item data of the items that carry a record. The first four fields are set by the
    // items' owners; the rest belongs to the menu and starts zeroed.
    struct MENU_ITEM_DATA {
        HMENU menu;       // the menu holding the item
        UINT commandId;   // the item's command identifier
        void* owner;      // the owner's handle
        DWORD kind;       // owner-defined kind of item
        wchar_t image[MAX_PATH];
        bool imageEnabled;
    };

    // The mask that GetMenuItemInfoW and FindMenuByCommand query (and leave in the record).
    static const UINT ItemInfoMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_SUBMENU | MIIM_DATA | MIIM_STRING;

    CMenuXP();
    // Destroys the item images this object made.
    ~CMenuXP();
    CMenuXP(const CMenuXP&) = delete;
    CMenuXP& operator=(const CMenuXP&) = delete;

    // Position of the item with this command identifier in menu or one of its pop-ups, searched
    // depth first; *owner receives the menu that holds it. -1 (and a null owner) when not found.
    static int FindMenuPositionByCommand(HMENU menu, HMENU* owner, UINT command);
    // The menu holding the item with this command identifier, or null.
    static HMENU FindMenuByCommand(HMENU menu, UINT command);
    // Searches menu and its pop-ups for command. Found: true, holdingMenu and info filled as by
    // GetMenuItemInfoW (the caption goes to info.dwTypeData, which the caller points at a buffer
    // of captionLength characters, or leaves null), *record the item's record or null.
    static bool FindMenuByCommand(HMENU menu, UINT command, HMENU& holdingMenu, MENUITEMINFOW& info,
                                  int captionLength, MENU_ITEM_DATA** record = nullptr);
    // The identifier of the item at position; 0xFFFFFFFF when there is none.
    static UINT GetMenuItemID(HMENU menu, int position);
    // Reads one item with the mask already in info.
    static bool GetMenuItemInfoW(HMENU menu, UINT item, bool byPosition, MENUITEMINFOW& info);
    // Reads identifier, state, type, pop-up list, item data and caption (emptied first, cut at
    // captionLength) of one item; info.fMask is ItemInfoMask afterwards.
    static bool GetMenuItemInfoW(HMENU menu, UINT item, bool byPosition, MENUITEMINFOW& info, wchar_t* caption,
                                 int captionLength);
    // Fills info for the given MIIM_* mask; text and its length in characters go to dwTypeData/cch.
    static void InitMenuItemInfo(MENUITEMINFOW& info, UINT mask, wchar_t* text, int length);

    // Item images, shown beside the caption at the size of small icons. Each is true when the image
    // was set on an item found in menu or its pop-ups: by command, or by caption (exact). The image
    // file must exist and load. The item then carries HBMMENU_CALLBACK: the window that owns the
    // menu while it shows (the one given to TrackPopupMenu) hands WM_MEASUREITEM and WM_DRAWITEM to
    // MeasureItem and DrawItem, which draw the image with its alpha channel, faded when grayed.
    bool SetMenuItemImage(HICON icon, HMENU menu, UINT command);
    bool SetMenuItemImage(const wchar_t* imagePath, HMENU menu, UINT command);
    bool SetMenuItemImage(const wchar_t* imagePath, HMENU menu, const wchar_t* caption);
    // The image set on an item (by command), or null.
    static HBITMAP GetMenuItemImage(HMENU menu, UINT command);
    // True when the message was about an item image of a menu object of this process and was answered.
    static bool MeasureItem(MEASUREITEMSTRUCT& measure);
    static bool DrawItem(const DRAWITEMSTRUCT& draw);
    // Before the menu shows: on each level of menu that shows item images, the items without one get
    // a blank image, so that every text of the level stands after the image column and the level is
    // wide enough for it (Wine leaves the column out of the width of items without an image).
    void LineUpItemTexts(HMENU menu);
    // Before an item leaves the menu: the image this object made for it is taken off and deleted.
    void ReleaseMenuItemImage(HMENU menu, UINT command);

    // Writes one trace line per item of the menu and its pop-ups.
    static void DebugTraceMenuItemStates(HMENU menu);

private:
    void LineUpLevel(HMENU menu, int depth);
    bool SetItemBitmap(HMENU holdingMenu, UINT item, bool byPosition, HBITMAP bitmap, const wchar_t* imagePath);
};
