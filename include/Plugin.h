// One plug-in as the tray sees it: its library and entry points, its names, context, state, last
// error, suite menu entry, legacy tray program and menu items.
#pragma once

#include "Handles.h"
#include "Lock.h"
#include "SafeString.h"
#include "SupportServices.h"
#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>

namespace plugins {
class CallRecord;
class CrashDumps;
}  // namespace plugins

class CPluginInterface;

class VARNEL_API CPlugin {
public:
    // A plug-in object of the module's registry.
    CPlugin();
    // A plug-in object of that registry: its state changes, faults and suite entry go there.
    explicit CPlugin(CPluginInterface& registry);
    ~CPlugin();
    CPlugin(const CPlugin&) = delete;
    CPlugin& operator=(const CPlugin&) = delete;

    bool Load(void* handle, const wchar_t* registryRoot, const wchar_t* subkeyName, WORD language1, WORD language2);
    void Cleanup(bool noLegacyLaunch);
    void FreePluginLibrary();

    void RecordError(int code, const wchar_t* message);
    void RecordError(int code);
    bool SetState(VARNEL_PLUGIN_STATE state, wchar_t* text, const wchar_t* source);
    bool SetLegacyTrayEXE(const wchar_t* exePath, const wchar_t* arguments, bool show);
    bool CanUnload();

    bool IsLoaded() const;
    // True once the plug-in's code faulted: no call reaches it any more but its clean-up.
    bool HasFaulted() const;
    bool HasMainWindow() const;
    bool HasAboutBox() const;
    bool IsErrorLogger() const;
    bool IsUpdater() const;
    bool HasHealth() const;
    bool HasReservedName() const;
    bool IsReservedSource(const wchar_t* source) const;

    // Calls into the plug-in; each does nothing when the entry point is missing.
    void NotifySuiteMenuAction();
    void CallActivity(VARNEL_ACTIVITY activity, int first, INT_PTR second);
    void CallUpdate();
    void CallLogError(HWND window, const wchar_t* firstText, const wchar_t* secondText, int number);
    // One about entry of the plug-in: info zeroed and filled, pairs and extra pointed at its texts.
    // False (more cleared) for a plug-in without about entries.
    bool GetAboutInfo(VARNEL_ABOUT_INFO* info, wchar_t** pairs, wchar_t** extra, bool* more);
    // One health entry: from the plug-in's own entry point, else its display name, state and text.
    bool GetHealth(VARNEL_PLUGIN_STATE* state, wchar_t* name, int nameCapacity, wchar_t* text, int textCapacity,
                   bool* more);

    HINSTANCE GetHinstance() const;
    // Until the library is freed, a new load of the same library is refused.
    void HoldLibraryForRunningCalls();
    // The unload's steps for a plug-in whose calls may still run: no new call reaches it but its
    // clean-up; the wait (bounded, letting messages sent to this thread through) for the calls of
    // other threads, true when none runs now (never waits for a call on this thread).
    void StopCalls();
    bool IsUnloading() const;
    bool WaitForCallsToEnd();
    bool CallsRunning() const;
    // This thread is inside a call into the plug-in.
    bool IsCalledOnThisThread() const;
    // The entry point of this plug-in that this thread is in (innermost); null when none.
    const wchar_t* EntryCalledOnThisThread() const;
    bool WasEverLoaded() const;
    // The unload goes on without waiting longer for a call that has not returned: reported once.
    void ReportUnloadWaiting();
    HWND GetHwnd() const;
    void* GetHandle() const;
    void* GetContext() const;
    unsigned GetFlags() const;
    void AddFlags(unsigned bits);
    VARNEL_PLUGIN_STATE GetState() const;
    // The state without taking the plug-in's lock (the tray-state merge reads every plug-in's).
    int GetStateNow() const { return m_stateNow.load(std::memory_order_relaxed); }
    wchar_t* GetStateText(wchar_t* buffer, int length) const;
    void SetStateText(const wchar_t* text);
    wchar_t* GetName(wchar_t* buffer, int length) const;
    wchar_t* GetDisplayName(wchar_t* buffer, int length) const;
    // The name, or after the clean-up emptied it the display name it had.
    wchar_t* GetNameForReports(wchar_t* buffer, int length) const;
    wchar_t* GetPath(wchar_t* buffer, int length) const;
    wchar_t* GetRegistrySubkey(wchar_t* buffer, int length) const;
    UINT GetSuiteMenuId() const;
    wchar_t* GetSuiteMenuText(wchar_t* buffer, int length) const;
    // The plug-in's menu item records; hold the lock returned by MenuItemsLock while using the list.
    std::list<void*>& GetMenuItems();
    zerova::Mutex& MenuItemsLock();
    void GetInterfaceVersion(int* major, int* minor) const;
    int GetLastError() const;
    void ClearLastError();

    // Where the plug-in's calls and faults are recorded; given by the registry before Load (both
    // optional).
    void UseFaultRecords(plugins::CallRecord* calls, const plugins::CrashDumps* dumps);
    // A call that has run past the hang limit and still runs: the plug-in shows the error (445)
    // until it returns, then its state before is put back and the history says so.
    void ReportHang(const wchar_t* entry, DWORD runningMs);
    void HangEnded();
    bool IsHung() const { return m_hangReported.load(); }
    // The object stays while the hang watch reports it; unlike a call, a pin does not keep the
    // plug-in's library or hold up its unload.
    void PinForReport();
    void UnpinReport();
    bool IsPinnedForReport() const;
    // A load that took longer than the slow-load limit: named on the plug-in's health line.
    void NoteSlowLoad(DWORD loadMs);
    DWORD SlowLoadMs() const { return m_slowLoadMs.load(); }
    // "(slow start: 1.4 s)" for such a plug-in's health line; false for the others.
    bool SlowStartNote(wchar_t* note, int capacity) const;

private:
    // Texts that are long at most but short or empty for most of a plug-in's life: an unloaded
    // plug-in keeps only what its stale handle needs.
    using PathText = zerova::BoundedText<MAX_PATH>;

    bool LoadSteps(const wchar_t* registryRoot, const wchar_t* subkeyName, WORD language1, WORD language2);
    // The steps of the load, in their order.
    void ReadRegistryEntry(const wchar_t* registryRoot, const wchar_t* subkeyName);
    bool CheckLibraryFile();
    bool LoadTrustedLibrary();
    void RecordLibraryNotLoaded(const std::wstring& cause);
    std::wstring OtherArchitectureText() const;
    std::wstring LoadFailureText(DWORD error) const;
    bool AskInterfaceVersion();
    bool CallInit(WORD language1, WORD language2);
    bool AcceptInitResult(int result);
    bool TakeOptionalEntryPoints();
    bool CreateMainWindowAndMenus();
    bool LookUpRequiredEntryPoints();
    bool IsLoadedLocked() const;  // m_lock held
    void LookUpOptionalEntryPoints();
    void RegisterSuiteEntry();
    void TraceVersionInfo();
    void RecordFormattedError(int code, const wchar_t* first, const wchar_t* second = nullptr,
                              const wchar_t* third = nullptr);
    // The numbered string with up to three texts put in; false when the string is missing.
    bool FormatMessageOf(int code, wchar_t* message, int capacity, const wchar_t* first,
                         const wchar_t* second = nullptr, const wchar_t* third = nullptr) const;
    void LaunchLegacyTrayExe();
    void WriteHistory(VARNEL_PLUGIN_STATE state, const wchar_t* text, const wchar_t* source, const SYSTEMTIME* when);
    wchar_t* CopyField(const PathText& field, wchar_t* buffer, int length) const;
    void PublishStateChange(const wchar_t* source, VARNEL_PLUGIN_STATE state, const wchar_t* text,
                                const SYSTEMTIME& when);
    bool HasCapability(unsigned bit, const void* entryPoint) const;
    // Counts calls into the plug-in, so that its library is not freed under them.
    class CallScope;
    // When an entry point may be called: while the library is mapped (the load's own calls), only
    // while the plug-in is loaded, or once at most (clean-up).
    enum class CallRule { WhileMapped, WhileLoaded, Once };
    // What a call needs besides its entry point, read under the plug-in's lock.
    struct CallArguments {
        void* context;
        void* handle;
        void* cookie;
    };
    // The one way into the plug-in's code: checks the rule under the lock, counts the call before
    // the lock goes, then makes it. False when the call was not made.
    template <typename Proc, typename Call>
    bool CallIntoPlugin(const wchar_t* entryName, Proc CPlugin::*entry, CallRule rule, Call&& call);
    // The first fault of the plug-in: the error is reported and recorded against it, and the
    // registry takes its menu items and dialogs away.
    void OnFault(const wchar_t* entryName, DWORD code, const std::wstring& dumpPath);
    bool MarkFaulted();
    void ReleaseLibrary();
    // The PE header of the library file held open in file names this process's architecture.
    bool IsLibraryForThisArchitecture(HANDLE file);
    // The name of the plug-in's entry in the plug-in list (the last part of its registry key).
    std::wstring EntryName() const;
    // A state set while a call hangs is shown when the call returns (under m_lock); false when
    // no hang was reported yet.
    bool PutAsideWhileHung(VARNEL_PLUGIN_STATE newState, const wchar_t* text);

    CPluginInterface& m_registry;
    const zerova::SupportServices m_support;
    VARNEL_GET_VERSION_INFO_CALLBACK_PROC pfnGetVersionInfo;
    VARNEL_INIT_CALLBACK_PROC pfnInit;
    VARNEL_ACTIVITY_CALLBACK_PROC pfnActivity;
    VARNEL_CLEANUP_CALLBACK_PROC pfnCleanup;
    VARNEL_CREATE_MAIN_WINDOW_CALLBACK_PROC pfnCreateMainWindow;
    VARNEL_CREATE_MENUS_CALLBACK_PROC pfnCreateMenus;
    VARNEL_GET_ABOUT_BOX_TEXT_CALLBACK_PROC pfnGetAboutBoxText;
    VARNEL_LOG_ERROR_CALLBACK_PROC pfnLogError;
    VARNEL_UPDATE_CALLBACK_PROC pfnUpdate;
    VARNEL_GET_PLUGIN_HEALTH_CALLBACK_PROC pfnGetPluginHealth;
    VARNEL_GET_ORVIK_ICON_STATUS_CALLBACK_PROC pfnGetOrvikIconStatus;
    VARNEL_SUITE_REGISTER_CALLBACK pfnSuiteRegister;
    VARNEL_SUITE_MENU_ACTION_CALLBACK pfnSuiteMenuAction;
    VARNEL_CAN_UNLOAD_CALLBACK_PROC pfnCanUnload;
    HWND hWnd;
    PathText registrySubkey;
    PathText path;
    PathText name;
    PathText displayName;
    std::atomic<unsigned> flags;
    void* context;
    void* handle;
    VARNEL_PLUGIN_STATE state;
    PathText stateText;
    std::list<void*> menuItems;
    // Freed only by FreePluginLibrary, after the clean-up and once no call runs in it.
    zerova::UniqueLibrary m_library;
    int interfaceMajor;
    int interfaceMinor;
    std::atomic<int> lastError;
    PathText legacyTrayExe;
    PathText legacyTrayArgs;
    bool legacyTrayShow;
    PathText suiteMenuText;
    UINT suiteMenuId;
    void* suiteCookie;

    // Entry points, names, state, texts, flags changes. Released before plug-in code runs and
    // before a trace line goes out; no other lock is taken under it. Plug-in objects come and go
    // with every load: their locks must keep nothing when they go.
    mutable zerova::Mutex m_lock;
    zerova::Mutex m_menuItemsLock;  // menuItems; never held while another lock is taken
    std::atomic<int> m_callsInFlight;
    std::atomic<bool> m_faulted;
    std::atomic<bool> m_everLoaded;
    std::atomic<bool> m_awaitingRelease;
    std::atomic<bool> m_unloading;
    std::atomic<int> m_stateNow;
    // The display name as it was when the clean-up cleared it, for what the unload reports after.
    PathText m_leavingName;

    plugins::CallRecord* m_calls = nullptr;
    const plugins::CrashDumps* m_dumps = nullptr;
    int m_callName = 0;  // the plug-in's index in the call record
    // A hung call's report and what it put aside; made only for a hang (under m_lock).
    struct HungCall;
    std::unique_ptr<HungCall> m_hungCall;
    std::atomic<bool> m_hung{false};
    std::atomic<bool> m_hangReported{false};  // the report is complete: error, history, tray
    std::atomic<int> m_reportPins{0};
    std::atomic<DWORD> m_slowLoadMs{0};
};
