// The process-wide registry of plug-ins: loading and unloading, look-ups and counts, states and
// the tray state, broadcasts.
#pragma once

#include "PluginEvents.h"
#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include "Handles.h"
#include "Lock.h"
#include "SafeString.h"
#include "SupportServices.h"

#include <string>
#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <map>
#include <set>
#include <unordered_map>
#include <vector>

class CPlugin;
class CCriticalSectionEx;
class CPluginHandleArena;
namespace plugins {
class HistoryFile;
class ObserverList;
class CallRecord;
class CrashDumps;
class Quarantine;
class IHangListener;
}  // namespace plugins

class VARNEL_API CPluginInterface {
public:
    typedef VARNEL_PLUGIN_DATA PLUGIN_DATA;

    // The module's registry (the module root's accessor, for callers outside the library).
    static CPluginInterface* Instance();
    // Built by the module root with the support library's services and the process's record slots.
    CPluginInterface(const zerova::SupportServices& support, CPluginHandleArena& handles);
    ~CPluginInterface();
    CPluginInterface(const CPluginInterface&) = delete;
    CPluginInterface& operator=(const CPluginInterface&) = delete;

    // ---- loading and unloading
    bool LoadPlugins();
    bool LoadPlugins(const wchar_t* name, void** handle);
    bool LoadPlugin(const wchar_t* name, void** handle);
    bool UnloadPlugin(void* handle);
    bool UnloadPlugin(const wchar_t* name);
    void UnloadPlugins(bool onlyUnloadable);

    // ---- look-ups
    bool Find(void* handle);
    bool ValidatePlugin(void* handle, PLUGIN_DATA** record, CPlugin** plugin, bool report);
    bool ValidatePlugin(void* handle);
    static bool IsMainApp(void* handle);
    // A numbered error: recorded against the plug-in when there is one, else only reported.
    void ReportPluginError(int code, CPlugin* plugin);
    bool ArePluginsLoaded();
    std::list<PLUGIN_DATA*> GetPluginList();
    PLUGIN_DATA* FindPluginFilenameOnly(const wchar_t* fileName);
    PLUGIN_DATA* FindPluginFullPath(const wchar_t* path);
    void* IsPluginAlreadyLoaded(const wchar_t* path);
    bool VerifyPlugin(const wchar_t* pathOrName);
    int GetTotalNumberOfPlugins();
    int GetNumberOfUpdaters();
    int GetNumberOfErrorLoggers();
    int GetNumberOfPointProductPlugins();
    int GetPluginLastError(void* handle);
    bool ClearPluginLastError(void* handle);
    bool GetPluginInterfaceVersion(void* handle, int* major, int* minor);
    bool SetLegacyTrayEXE(void* handle, const wchar_t* exePath, const wchar_t* arguments, bool show);
    int PeekNextMenuId();
    bool TakeMenuId(int id);

    // ---- states, tray state and broadcasts
    void SetState(void* handle, VARNEL_PLUGIN_STATE state, wchar_t* text, const wchar_t* source);
    bool GetState(void* handle, VARNEL_PLUGIN_STATE& state, wchar_t* text, int length);
    bool GetTrayState(VARNEL_PLUGIN_STATE& state, wchar_t* title, int length);
    void UpdateTrayState();
    // The merge again, and the observers told the merged state.
    void RefreshTrayState();
    // The record counts in the walks: once its plug-in is loaded, and again when an unloaded
    // plug-in's error bit is set.
    void CountAgain(void* handle);
    void BroadcastActivity(VARNEL_ACTIVITY activity, int mask);
    void BroadcastUpdate();
    bool PluginComm(const wchar_t* text, int number);
    void NotifySuiteMenuAction(unsigned int commandId);
    void NotifyAdvisoryResult(void* handle, int buttonId, INT_PTR cookie);
    bool IsPluginWindow(HWND window, bool& dead);
    bool IsPluginInLegacyMode(const wchar_t* subkeyName);
    bool DisplayAboutBox(HWND parent);
    bool DisplaySystemHealth(HWND parent);

    // ---- about-box and system-health texts (the list markup)
    bool GetAboutBoxText(wchar_t* buffer, int length);
    bool GetSystemHealthText(wchar_t* buffer, int length);
    bool RemoveFromSystemHealth(void* handle, const wchar_t* text);
    static bool GetHealthImageName(VARNEL_PLUGIN_STATE state, wchar_t* buffer, int length);
    static void AppendHealthLine(wchar_t* buffer, int length, void* context, const wchar_t* name,
                                 VARNEL_PLUGIN_STATE state, const wchar_t* text, int row);
    static void AppendAboutSection(wchar_t* buffer, int length, const VARNEL_ABOUT_INFO* info, const wchar_t* pairs,
                                   const wchar_t* extra, int& row);
    // The most entries one plug-in may give in one run of the about or health text.
    static constexpr int MaxEntriesPerPlugin = 64;

    // ---- what the registry tells the layers above it
    // The tray menu and icon work and the dialogs of the contract, which the layers above
    // implement: connected by the module root once those parts stand, cut (null) before they go;
    // the cut returns once the threads that close a faulted plug-in's dialogs have ended.
    void Connect(IPluginMenu* menu, IPluginDialogs* dialogs);
    IPluginMenu* Menu() const { return m_menu.load(); }
    IPluginDialogs* Dialogs() const { return m_dialogs.load(); }
    void Subscribe(const std::shared_ptr<IPluginObserver>& observer);
    void Unsubscribe(const IPluginObserver* observer);
    // Subscribes the observer until the subscription goes, also when that is after the registry.
    PluginSubscription Observe(const std::shared_ptr<IPluginObserver>& observer);
    // Called by a plug-in whose state changed; tells every observer.
    void PublishStateChange(const VarnelPluginStateChange& change);
    // A plug-in's code faulted: its menu items, suite entry and dialogs go as at an unload; the
    // plug-in itself stays listed until it is unloaded.
    void PluginFaulted(void* handle);
    // A fault, a hang past the limit or a call the process ended in, counted against the plug-in
    // registered under subkey; the plug-in may be put in quarantine by it.
    void RecordOffence(const wchar_t* subkey, const wchar_t* reason);

    // ---- repeat offenders and crash dumps
    // The plug-in registered under subkey is in quarantine: reason and since when.
    bool IsQuarantined(const wchar_t* subkey, std::wstring* reason = nullptr, std::wstring* since = nullptr) const;
    // Lifts it; the next load request loads it.
    bool ClearQuarantine(const wchar_t* subkey);
    // Where the crash dumps and the call records are.
    std::wstring CrashDumpFolder() const;
    // The library's own settings (hang limit, quarantine limits) live under this key.
    static const wchar_t* const SettingsKey;

    // ---- the history file
    const wchar_t* GetHistoryFolder() const;
    const wchar_t* GetHistoryFilePath() const;
    CCriticalSectionEx* GetHistoryLock() const;

    // ---- for the library's own parts
    plugins::HistoryFile& History() const { return *m_history; }
    const zerova::SupportServices& Support() const { return m_support; }

    static const wchar_t* const PluginsKey;

private:
    // The names of the plug-in list's subkeys, in the registry's order; false when the list's key
    // cannot be opened.
    static bool ListPluginSubkeys(std::vector<std::wstring>& subkeys);
    // One pass of the merge, under the tray-state lock.
    void MergeTrayState();
    void LoadSubkey(const wchar_t* subkeyName, const wchar_t* requested, void** handle);
    void ForgetFailedLoad(PLUGIN_DATA* record, CPlugin* plugin);
    std::list<PLUGIN_DATA*> SuitePluginList();
    size_t PluginCount();
    CPlugin* FindPluginObject(void* handle);
    // The plug-ins that are loaded now, in load order. The walk holds the records' snapshot, so no
    // plug-in object it names is deleted while it lasts.
    class PluginWalk {
    public:
        std::vector<CPlugin*>::const_iterator begin() const { return m_plugins.begin(); }
        std::vector<CPlugin*>::const_iterator end() const { return m_plugins.end(); }
        size_t size() const { return m_plugins.size(); }

    private:
        friend class CPluginInterface;
        std::shared_ptr<const std::vector<PLUGIN_DATA*>> m_snapshot;
        std::vector<CPlugin*> m_plugins;
    };
    PluginWalk LoadedPlugins();
    // The records of the loaded plug-ins and of the unloaded ones whose error bit is set, in load
    // order.
    // The records the walks visit, in load order: a snapshot made again only after the set changed,
    // shared by every walk until then. A walk keeps it for as long as it runs.
    using RecordSnapshot = std::shared_ptr<const std::vector<PLUGIN_DATA*>>;
    RecordSnapshot CountedRecords();
    // One plug-in's unload; the menu's availability refresh is left to the caller when it unloads
    // several at once.
    bool UnloadOne(void* handle, bool refreshMenu);
    // The clean-up and the library's release of a plug-in no call runs in any more.
    void FinishUnload(PLUGIN_DATA* record, CPlugin* plugin, bool noLegacyLaunch);
    // A plug-in still running a call is cleaned up once the call has returned: on this thread, by
    // a timer or the next load or unload.
    void DeferUnload(PLUGIN_DATA* record, CPlugin* plugin, bool noLegacyLaunch);
    void FinishReturnedUnloads();
    static void CALLBACK FinishReturnedUnloadsTimer(HWND window, UINT message, UINT_PTR timer, DWORD time);
    // A record off the lists, with its plug-in object, goes when nothing can read it any more.
    // A record seen by other threads as a loaded plug-in's stays two seconds at least.
    void Retire(PLUGIN_DATA* record, std::unique_ptr<CPlugin> plugin, unsigned long long lastSnapshot, bool seenByOthers);
    void DeleteUnreadRetired();
    void ForgetSnapshot(unsigned long long number);
    // The texts' lines and sections written through one appender: linear in the text's length.
    static void AppendHealthLine(zerova::BoundedAppender& out, void* context, const wchar_t* name,
                                 VARNEL_PLUGIN_STATE state, const wchar_t* text, int row,
                                 const std::wstring& everythingWorking);
    static void AppendAboutSection(zerova::BoundedAppender& out, CLocalize& texts, const VARNEL_ABOUT_INFO* info,
                                   const wchar_t* pairs, const wchar_t* extra, int& row);
    void Uncount(PLUGIN_DATA* record);
    void UncountLocked(PLUGIN_DATA* record);  // m_listLock held
    static bool ErrorLoggerCallback(HWND window, const wchar_t* firstText, const wchar_t* secondText, int number,
                                    void* user);
    // A numbered text of the loader's as a trace line, with its argument.
    void Report(UINT id, const wchar_t* argument);
    std::wstring RefusalText(const CPlugin* plugin) const;
    void TraceStateSetDuringLoad(const CPlugin& plugin) const;
    // A fault may happen on one of the plug-in's own dialog threads, which cannot wait for its own
    // end: its dialogs are closed from a thread of their own, which the cut of the connections
    // waits for (m_dialogClosers, under m_listLock).
    void CloseDialogsOnAThreadOfTheirOwn(void* handle);
    std::vector<zerova::UniqueKernelHandle> m_dialogClosers;

    const zerova::SupportServices m_support;
    CPluginHandleArena& m_handles;
    const std::unique_ptr<plugins::HistoryFile> m_history;
    std::atomic<IPluginMenu*> m_menu{nullptr};
    std::atomic<IPluginDialogs*> m_dialogs{nullptr};
    // Shared with the subscriptions, which may end after the registry.
    const std::shared_ptr<plugins::ObserverList> m_observers;
    std::list<PLUGIN_DATA*> m_plugins;
    // The records of m_plugins again, for look-ups by handle that do not walk the list, with the
    // place of each in the load order and the plug-in object the registry owns.
    struct Listing {
        unsigned long long loadNumber;
        std::unique_ptr<CPlugin> plugin;
        unsigned long long lastSnapshot;  // the newest snapshot number when it last stopped counting
    };
    std::unordered_map<PLUGIN_DATA*, Listing> m_listed;
    unsigned long long m_nextLoadNumber = 0;
    // What the walks visit, in load order: the loaded plug-ins, and an unloaded one only while its
    // error bit is set. An unloaded plug-in leaves it, so no walk grows with past reloads.
    std::map<unsigned long long, PLUGIN_DATA*> m_counted;
    std::shared_ptr<const std::vector<PLUGIN_DATA*>> m_countedSnapshot;
    std::list<PLUGIN_DATA*> m_suitePlugins;
    // Records that left the lists (unloaded by an unload of all, or a failed load) with their plug-in
    // objects, oldest first. One goes once no call runs in it, its library is freed, no walk's
    // snapshot made before it left is alive, more than a few left after it and two seconds have
    // passed (a copy of the list, a record found by handle or a plug-in object a dialog or a
    // closing thread noted on another thread may still be read for a moment).
    struct RetiredPlugin {
        PLUGIN_DATA* record;
        std::unique_ptr<CPlugin> plugin;
        unsigned long long lastSnapshot;  // the newest snapshot that may hold it
        ULONGLONG leftAt;                 // GetTickCount64 when it left; 0: no one else saw it
    };
    std::deque<RetiredPlugin> m_retired;
    // The snapshots the walks hold, by number.
    std::multiset<unsigned long long> m_liveSnapshots;
    unsigned long long m_snapshotNumber = 0;
    zerova::Mutex m_snapshotLock;  // m_liveSnapshots; taken after m_listLock, never before
    // Unloads whose clean-up waits for a call into the plug-in to return.
    struct PendingUnload {
        PLUGIN_DATA* record;
        CPlugin* plugin;
        bool noLegacyLaunch;
    };
    std::vector<PendingUnload> m_pendingUnloads;
    UINT_PTR m_pendingTimer = 0;
    int m_menuIdCounter;
    VARNEL_PLUGIN_STATE m_trayState;
    WORD m_language1;
    WORD m_language2;
    bool m_pluginsLoaded;
    bool m_exiting;

    // Guards the two lists and the menu identifier counter. Never held while a plug-in runs:
    // walks take a copy of the list and records are never freed while the registry lives.
    zerova::Mutex m_listLock;
    // Serialises the tray-state merge, which plug-in threads run.
    zerova::Mutex m_trayStateLock;
    // Set by a state change during a merge on the same thread: the merge runs once more.
    std::atomic<bool> m_mergeAgain{false};
    // Calls, hangs, dumps and quarantine (PluginFaultRecords.cpp).
    void SetUpFaultRecords();
    void TearDownFaultRecords(bool callsStillRunning);
    void StopHangWatch();
    void CountOffencesOfEndedProcesses();
    bool RefusedForQuarantine(const wchar_t* subkeyName);
    void NoteLoadTime(CPlugin* plugin, ULONGLONG loadMs);
    void AppendQuarantinedLines(zerova::BoundedAppender& out, int& row, const std::wstring& everythingWorking);
    std::unique_ptr<plugins::CallRecord> m_calls;
    std::unique_ptr<plugins::CrashDumps> m_dumps;
    std::unique_ptr<plugins::Quarantine> m_quarantine;
    std::unique_ptr<plugins::IHangListener> m_hangReports;
    // The plug-ins refused for quarantine in this process, with their reasons (reported once each).
    zerova::Mutex m_quarantinedLock;
    std::map<std::wstring, std::wstring> m_quarantinedThisStart;
};
