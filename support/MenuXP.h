// The owner-drawn tray menu: item records and menu look-ups.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CMenuXP {
public:
    // The item data of every item this library draws. The first four fields are set by the
    // items' owners; the rest belongs to the menu and starts zeroed.
    struct MENU_ITEM_DATA {
        HMENU menu;       // the menu holding the item
        UINT commandId;   // the item's command identifier
        void* owner;      // the owner's handle
        DWORD kind;       // owner-defined kind of item
        wchar_t image[MAX_PATH];
        bool imageEnabled;
    };

    CMenuXP();
    ~CMenuXP();
    CMenuXP(const CMenuXP&) = delete;
    CMenuXP& operator=(const CMenuXP&) = delete;

    // Position of the item with this command identifier in menu or one of its pop-ups, searched
    // depth first; *owner receives the menu that holds it. -1 (and a null owner) when not found.
    static int FindMenuPositionByCommand(HMENU menu, HMENU* owner, UINT command);
    // The menu holding the item with this command identifier, or null.
    static HMENU FindMenuByCommand(HMENU menu, UINT command);
    static UINT GetMenuItemID(HMENU menu, int position);
    static bool GetMenuItemInfoW(HMENU menu, UINT item, bool byPosition, MENUITEMINFOW& info);
    // Fills info for the given MIIM_* mask; text and its length in characters go to dwTypeData/cch.
    static void InitMenuItemInfo(MENUITEMINFOW& info, UINT mask, wchar_t* text, int length);
    // Sets the image file of the item with this command identifier. False when there is no such
    // item or it carries no item record.
    static bool SetMenuItemImage(HMENU menu, UINT command, const wchar_t* image, bool enabled);
    // Writes one trace line per item of the menu and its pop-ups.
    static void DebugTraceMenuItemStates(HMENU menu);
};
