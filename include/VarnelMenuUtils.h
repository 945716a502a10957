// The tray menu model: plug-in items in the three category flyouts, their command identifiers,
// the item operations, the flyouts' availability, the menu checksum and the tray icon and title.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginAPI.h"
#include "VarnelPluginContract.h"

#include <list>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

class CPlugin;
class CMenuXP;
class CTray;
class CRegistryFlag;

class VARNEL_API CVarnelMenuUtils {
public:
    typedef VARNEL_PLUGIN_DATA PLUGIN_DATA;

    static CVarnelMenuUtils* Instance();
    ~CVarnelMenuUtils();
    CVarnelMenuUtils(const CVarnelMenuUtils&) = delete;
    CVarnelMenuUtils& operator=(const CVarnelMenuUtils&) = delete;

    // ---- the model
    // The host's main window, owner-drawn menu object and notification icon; numbers the first
    // three items with pop-up lists 7000, 7005 and 7010.
    void SetHandles(HWND mainWindow, CMenuXP* menu, CTray* tray);
    bool AddMenuItem(void* handle, const wchar_t* caption, int itemId, VARNEL_MENU_CATEGORY category);
    // The plug-in that owns a picked command and, through itemId, its own item identifier. Plug-in
    // commands are 32 bits wide: pass what TrackPopupMenu(TPM_RETURNCMD) returned, never the
    // 16 bits of a WM_COMMAND.
    PLUGIN_DATA* FindPluginByCommand(UINT command, int& itemId);
    void RemovePluginMenuItems(void* handle);
    // After a plug-in is unloaded: removes the items it added from another thread while it was
    // being unloaded (between the removal of its items and the end of its load).
    void RemoveItemsLeftBehind(void* handle);
    HWND GetMainWindow();
    CMenuXP* GetMenuObject();
    static bool SetMenuItemID(HMENU menu, int position, int newId);
    static HMENU CreateMenu(const wchar_t* caption, int id, void* itemData);

    // ---- item operations: a plug-in names its items by its own identifiers, the host (handle
    // 0xDEADDEAD) names any item by its plain command identifier.
    bool RemoveMenuItem(void* handle, UINT itemId);
    bool SetMenuString(void* handle, UINT itemId, const wchar_t* caption);
    int GetMenuStringW(void* handle, UINT itemId, wchar_t* buffer, int length);
    bool GetMenuItemState(void* handle, UINT itemId, bool& checkMark, bool& enabled);
    bool CheckMenuItem(void* handle, UINT itemId, UINT flags);
    bool EnableMenuItem(void* handle, UINT itemId, UINT flags);
    bool DoesMenuItemExist(void* handle, UINT itemId);
    bool SetMenuItemImage(void* handle, UINT itemId, HICON icon, bool report);
    bool SetMenuItemImage(void* handle, UINT itemId, const wchar_t* image, bool report);
    bool SetMenuItemImage(void* handle, const wchar_t* caption, const wchar_t* image, bool report);
    bool SetSuiteMenuItemImage(void* handle, UINT commandId, const wchar_t* image, bool report);

    // ---- flyouts, checksum, tray look
    void RefreshMenuAvailability();
    void EnableDisableFlyout(VARNEL_MENU_CATEGORY category);
    void CheckAndHideVarnelLegacyMenus();
    void DisplayVarnelLegacyMenus(VARNEL_MENU_CATEGORY category);
    static void Checksum(HMENU menu, __int64& sum);
    void RefreshMenuLook();
    HICON GetTrayIcon();
    wchar_t* GetTrayTitle(wchar_t* buffer, int length);
    void ModifyTrayTitle(const wchar_t* title);
    void ModifyTrayIcon(HICON icon);

    // ---- shared with the plug-in registry and the exported interface
    bool IsMenuReady();
    void ReportError(int code, CPlugin* plugin);
    static UINT MakeCommandId(void* handle, int itemId);
    // Serialises every change of the tray menu; others that change it take it too.
    std::unique_lock<std::recursive_mutex> LockMenu() { return std::unique_lock<std::recursive_mutex>(m_lock); }

private:
    struct ItemLookup;

    CVarnelMenuUtils();
    // Removes and frees the plug-in's items; false when it had none.
    bool RemoveItemsOf(CPlugin* plugin);
    PLUGIN_DATA* GetItemOwner(HMENU menu, int position, int& itemId);
    HMENU GetCategoryFlyout(VARNEL_MENU_CATEGORY category, bool create, int* ordinal = nullptr,
                            int* position = nullptr, int* placeholderId = nullptr, int* flyoutId = nullptr);
    int FindFlyoutPosition(VARNEL_MENU_CATEGORY category);
    int FindFlyoutItem(HMENU popup, int category, UINT flyoutId, MENUITEMINFOW& info);
    void SetFlyoutId(int position, UINT id);
    bool PassesOwnerTest(void* handle, CPlugin** plugin);
    bool BeginItemOperation(void* handle, UINT itemId, ItemLookup& lookup);
    bool FailItemOperation(int code, CPlugin* plugin);
    void ReleaseItemRecord(void* record);
    bool ResolveImagePath(const wchar_t* image, wchar_t* path, int length);
    HMENU TrayPopup();

    // Where a new item goes, from the index of placed items.
    enum class Placement { AtEnd, Before, Duplicate, Unknown };
    Placement PlaceItem(HMENU list, void* owner, int itemId, const wchar_t* caption, UINT& beforeCommand);
    // The same answer read from the menu itself, item by item; it also mends the index.
    Placement PlaceItemByReading(HMENU list, void* owner, int itemId, const wchar_t* caption, int& position);
    bool InsertPlaced(HMENU list, void* owner, int itemId, const wchar_t* caption, MENUITEMINFOW& info);
    // The command already stands in the tray menu for another owner (another plug-in or the host).
    bool CommandStandsForAnother(UINT command, void* owner);
    void NotePlaced(void* itemRecord, std::list<void*>::iterator inOwnersList);
    void ForgetPlaced(const void* itemRecord);
    bool FlyoutWasEmpty(HMENU list);

    HWND m_mainWindow;
    CMenuXP* m_menu;
    CTray* m_tray;
    HICON m_defaultTrayIcon;
    wchar_t m_defaultTrayTitle[MAX_PATH];
    // "VarnelAllowUpdate", read at every refresh through a key held open.
    CRegistryFlag* m_updateAllowed;
    // Recursive because the operations call each other under it (an add or a removal refreshes the
    // flyouts; the suite entries and the registry's unload take it around several operations).
    std::recursive_mutex m_lock;
    // The lists of flyouts emptied by the availability refresh, detached but not destroyed (a host
    // may still hold one, even on screen): reattached when the flyout gets items again, destroyed
    // with the model.
    std::map<int, HMENU> m_detachedLists;
    // Where each category's flyout item stood when last found in the tray pop-up menu.
    std::map<int, int> m_flyoutPositions;
    // The index of plug-in items: per holding list and owner, the item identifiers that stand
    // there (ordered, as in the menu); and each item record's place in its owner's list of items.
    // Adding, placing, refusing a duplicate and removing cost O(log n) with it; the menu stays
    // the truth, and an index that no longer matches it is mended by reading the list.
    std::map<std::pair<HMENU, void*>, std::multiset<int>> m_placedItems;
    std::unordered_map<const void*, std::list<void*>::iterator> m_ownersListPlaces;
};
