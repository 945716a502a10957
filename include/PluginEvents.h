// What the plug-in registry tells the layers above it, and the dialog operations of its contract
// that those layers carry out for it. The registry owns both interfaces; it calls no class above
// it, only these.
#pragma once

#include "VarnelPluginContract.h"

#include <memory>

class CPlugin;
namespace plugins {
class ObserverList;
}

// A plug-in's state changed and its history line was written.
struct VarnelPluginStateChange {
    void* context;       // the plug-in object: the value the health list hands back for its line
    const wchar_t* name; // the name its health line and history rows go under
    VARNEL_PLUGIN_STATE state;
    const wchar_t* text;
    SYSTEMTIME when;
};

// Told on the thread where the change happened, with no lock of the registry held. Subscribed
// observers are kept alive by the registry while it tells them.
class IPluginObserver {
public:
    virtual ~IPluginObserver() = default;
    virtual void PluginStateChanged(const VarnelPluginStateChange& change) = 0;
    // The merged tray state after a plug-in's state changed.
    virtual void TrayStateChanged(VARNEL_PLUGIN_STATE state) = 0;
};

// An observer's place among the registry's observers: its end unsubscribes, also after the
// registry has gone.
class PluginSubscription {
public:
    PluginSubscription() = default;
    PluginSubscription(const std::shared_ptr<plugins::ObserverList>& list, const IPluginObserver* observer);
    ~PluginSubscription();
    PluginSubscription(PluginSubscription&& other) noexcept;
    PluginSubscription& operator=(PluginSubscription&& other) noexcept;
    PluginSubscription(const PluginSubscription&) = delete;
    PluginSubscription& operator=(const PluginSubscription&) = delete;

private:
    void End();

    std::weak_ptr<plugins::ObserverList> m_list;
    const IPluginObserver* m_observer = nullptr;
};

// The dialogs the registry's contract opens and closes; the dialogs layer implements it and the
// module root connects it. Without one, nothing opens and nothing needs closing.
class IPluginDialogs {
public:
    virtual ~IPluginDialogs() = default;
    // The text is the list markup; false when no dialog could be started.
    virtual bool ShowAboutBox(HWND parent, const wchar_t* text) = 0;
    virtual bool ShowSystemHealth(HWND parent, const wchar_t* text) = 0;
    // Closes the dialogs of a plug-in, or every dialog for a null handle, before returning.
    virtual void CloseDialogsOf(void* handle) = 0;
    // Deletes the open system health dialog's line whose first column is key.
    virtual bool RemoveHealthLine(const wchar_t* key) = 0;
};

// The tray menu and icon work of the registry's contract; the menu layer implements it and the
// module root connects it. Without one, the registry changes no menu.
class IPluginMenu {
public:
    virtual ~IPluginMenu() = default;
    // After a load walk: the menu's trace and the legacy menus.
    virtual void PluginsLoaded() = 0;
    virtual void InsertSuiteEntry(CPlugin* plugin) = 0;
    virtual void RemoveSuiteEntry(CPlugin* plugin) = 0;
    // The suite entry's image for a state; report: a missing entry is an error.
    virtual void ShowSuiteEntryState(void* handle, UINT commandId, VARNEL_PLUGIN_STATE state, bool report) = 0;
    // Before the plug-in's clean-up: its items leave the menu.
    virtual void RemovePluginItems(void* handle) = 0;
    // After its library is freed: items it added meanwhile leave too, then the legacy menus.
    virtual void PluginUnloaded(void* handle) = 0;
    virtual void RefreshAvailability() = 0;
    // The tray icon, the system health item's image and the tray title for the merged state.
    virtual void ShowTrayState(VARNEL_PLUGIN_STATE state, const wchar_t* title) = 0;
    virtual void CopyTrayTitle(wchar_t* title, int length) = 0;
};
