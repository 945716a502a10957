// The tray menu model: plug-in items in the three category flyouts, their command identifiers,
// the item operations, the flyouts' availability, the menu checksum and the tray icon and title.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginAPI.h"
#include "VarnelPluginContract.h"

#include "Handles.h"
#include "Lock.h"
#include "SupportServices.h"

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

class CPlugin;
class CPluginInterface;
class CMenuXP;
class CTray;
class CRegistryFlag;
class IPluginMenu;
namespace menu {
class TrayResources;
}

class VARNEL_API CVarnelMenuUtils {
public:
    typedef VARNEL_PLUGIN_DATA PLUGIN_DATA;

    // The module's menu model (the module root's accessor, for callers outside the library).
    static CVarnelMenuUtils* Instance();
    // Built by the module root over its tray resources and plug-in registry.
    CVarnelMenuUtils(const zerova::SupportServices& support, menu::TrayResources& tray, CPluginInterface& registry);
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
    std::unique_lock<zerova::RecursiveMutex> LockMenu();
    // The registry's face of the model: suite entries, a plug-in's items, the tray's look.
    IPluginMenu& ForRegistry() { return *m_forRegistry; }

private:
    struct ItemLookup;

    // Removes and frees the plug-in's items; false when it had none.
    bool RemoveItemsOf(CPlugin* plugin);
    PLUGIN_DATA* GetItemOwner(HMENU menu, int position, int& itemId);
    HMENU GetCategoryFlyout(VARNEL_MENU_CATEGORY category, bool create, int* ordinal = nullptr,
                            int* position = nullptr, int* placeholderId = nullptr, int* flyoutId = nullptr);
    int FindFlyoutPosition(VARNEL_MENU_CATEGORY category);
    int FindFlyoutItem(HMENU popup, int category, UINT flyoutId, MENUITEMINFOW& info);
    void ReadFlyoutPositions(HMENU popup);
    void ShiftFlyoutPositions(int position, int by);
    void HideDisabledFlyouts();
    bool HideKnownDisabledFlyouts();
    bool IsFlyoutMissing(int category);
    void InsertFlyoutItem(int category, int position);
    // The steps of an add: the flyout it goes into (brought back when missing) and the item.
    HMENU FlyoutForAdd(VARNEL_MENU_CATEGORY category, UINT command, unsigned& leftOut);
    unsigned BringBackFlyouts(VARNEL_MENU_CATEGORY category, UINT command);
    void PutBackLeftOutFlyouts(unsigned leftOut, VARNEL_MENU_CATEGORY category);
    bool InsertItem(HMENU list, CPlugin* plugin, void* handle, const wchar_t* caption, int itemId,
                    VARNEL_MENU_CATEGORY category);
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

    // What an add or a removal leaves: the menu as a full availability refresh would leave it,
    // with only the flyouts and the update item redone that may differ from what it would make of
    // them. adder: the plug-in that added an item, or null.
    void SettleAvailability(CPlugin* adder);
    void ShowUpdateItem(bool enable);
    // An item operation changed the item with this command: a flyout or the update item may no
    // longer be as the refresh leaves them.
    void NoteItemChanged(UINT command);
    // Any item may have a new identifier or have lost its list.
    void NoteItemsRenumbered();
    void FollowTrayPopup();
    void UnsettleAll(HMENU popup);

    const zerova::SupportServices m_support;
    menu::TrayResources& m_trayResources;
    CPluginInterface& m_registry;
    std::unique_ptr<IPluginMenu> m_forRegistry;
    HWND m_mainWindow;
    CMenuXP* m_menu;
    CTray* m_tray;
    HICON m_defaultTrayIcon;
    wchar_t m_defaultTrayTitle[MAX_PATH];
    // "VarnelAllowUpdate", read at every refresh through a key held open.
    std::unique_ptr<CRegistryFlag> m_updateAllowed;
    // The documented recursive lock: the operations call each other under it (an add or a removal
    // refreshes the flyouts; the suite entries, the registry's unload and the host take it around
    // several operations), and a plug-in's error logger, reached from inside an operation, may add
    // or change its items on the same thread.
    zerova::RecursiveMutex m_lock;
    // SetMenuItemID's renumberings seen by this model (see MenuRenumberings).
    unsigned m_renumberingsSeen = 0;
    // The lists of flyouts emptied by the availability refresh, detached but not destroyed (a host
    // may still hold one, even on screen): reattached when the flyout gets items again, destroyed
    // with the model.
    std::map<int, zerova::UniqueMenu> m_detachedLists;
    // Where each category's flyout item stands in the tray pop-up menu as far as the model knows:
    // a position (checked before use), kFlyoutAbsent when the last reading of the menu found none
    // (and the model put none back since), kFlyoutUnknown when the menu must be read.
    static constexpr int kFlyoutAbsent = -1;
    static constexpr int kFlyoutUnknown = -2;
    int m_flyoutPositions[3] = {kFlyoutUnknown, kFlyoutUnknown, kFlyoutUnknown};
    // Readings of the whole tray pop-up menu so far, and whether the last one holds for a flyout it
    // did not find (only while an add brings missing flyouts back).
    unsigned m_menuReadings = 0;
    bool m_trustAbsent = false;
    // What the availability refresh would still change in the menu: set by everything that can
    // change a flyout or the update item behind it, cleared where the refresh's work was done.
    struct Availability {
        HMENU popup = nullptr;  // the tray pop-up menu the rest is about
        bool flyoutUnsettled[3] = {true, true, true};
        // A flyout may stand disabled in the menu until the next hiding of disabled flyouts.
        bool disabledFlyoutShown = true;
        // Some flyout identifier may stand on two items of the tray pop-up menu.
        bool flyoutIdTwice = true;
        bool updateUnsettled = true;
        bool updateEnabled = false;
        // Loaded updaters, as counted by the last full refresh: the number changes only while
        // plug-ins load or unload, and each load walk and unload ends with a full refresh.
        int updaters = 0;
    };
    Availability m_availability;
    // The index of plug-in items: per holding list and owner, the item identifiers that stand
    // there (ordered, as in the menu); and each item record's place in its owner's list of items.
    // Adding, placing, refusing a duplicate and removing cost O(log n) with it; the menu stays
    // the truth, and an index that no longer matches it is mended by reading the list.
    std::map<std::pair<HMENU, void*>, std::multiset<int>> m_placedItems;
    std::unordered_map<const void*, std::list<void*>::iterator> m_ownersListPlaces;
};
