// The plug-in registry: its life, the states of its plug-ins and the merged tray state, what it
// tells the layers above, its broadcasts. Loading is in RegistryLoading.cpp, unloading and the
// records that left the lists in RegistryUnloading.cpp, the look-ups and the walks' snapshots in
// RegistryLookups.cpp.
#include "RegistryParts.h"

#include "CallRecord.h"
#include "CallerText.h"
#include "CrashDumps.h"
#include "CurrentRequest.h"
#include "HistoryFile.h"
#include "PluginHandles.h"
#include "PluginObservers.h"
#include "Quarantine.h"
#include "TrayConstants.h"

#include "CriticalSectionEx.h"
#include "FileIO.h"
#include "MemoryManager.h"
#include "SafeString.h"
#include "ThreadValue.h"

#include <process.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <memory>
#include <mutex>

using plugins::registry::PluginOf;

const wchar_t* const CPluginInterface::PluginsKey = L"SOFTWARE\\Zerova\\Varnel\\Plugins";

namespace {
// This thread is merging the tray state (a re-entrancy flag: see the lock table).
zerova::ThreadValue<bool> t_mergingTrayState;

const int kFirstMenuIdCounter = 25000;
const int kNotLoadedString = 530;
const UINT kRefusedDuringLoadString = 457;
const UINT kRefusedAfterUnloadString = 458;
const UINT kStateSetDuringLoadString = 460;
const int kAboutTextCapacity = 32768;
const int kHealthTextCapacity = 16384;

struct DialogCloser {
    IPluginDialogs* dialogs;
    void* handle;
};

unsigned __stdcall CloseDialogs(void* argument)
{
    const std::unique_ptr<DialogCloser> closer(static_cast<DialogCloser*>(argument));
    closer->dialogs->CloseDialogsOf(closer->handle);
    return 0;
}

// Waits for a thread while letting messages sent to this thread through: the closing may call
// into the plug-in, which may send to this thread.
void WaitLettingSentMessagesThrough(HANDLE thread)
{
    for (;;) {
        const DWORD woke = ::MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_SENDMESSAGE, 0);
        if (woke != WAIT_OBJECT_0 + 1) return;
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}
}  // namespace

// ---------------------------------------------------------------- life

CPluginInterface::CPluginInterface(const zerova::SupportServices& support, CPluginHandleArena& handles)
    : m_support(support), m_handles(handles), m_history(std::make_unique<plugins::HistoryFile>(support)),
      m_observers(plugins::MakeObserverList()), m_plugins(), m_suitePlugins(), m_menuIdCounter(kFirstMenuIdCounter),
      m_trayState(VARNEL_PLUGIN_STATE_OK), m_language1(0), m_language2(0), m_pluginsLoaded(false), m_exiting(false)
{
    m_support.errors->SetErrorLoggingCallback(&CPluginInterface::ErrorLoggerCallback, this);
    SetUpFaultRecords();
}

void CPluginInterface::ReportPluginError(int code, CPlugin* plugin)
{
    const std::wstring explained = code == kNotLoadedString ? RefusalText(plugin) : std::wstring();
    if (!explained.empty()) {
        m_support.errors->Error(code, explained.c_str());
        plugin->RecordError(code, explained.c_str());
        return;
    }
    m_support.errors->Error(code);
    if (plugin != nullptr) {
        plugin->RecordError(code);
        return;
    }
    wchar_t text[MAX_PATH];
    m_support.Text(static_cast<UINT>(code), text, MAX_PATH);
    m_support.errors->Error(code, text);
}

// The refusal of a call from a plug-in that is not loaded, naming the call and when such calls are
// taken; empty when the call did not come from inside the plug-in's own code.
std::wstring CPluginInterface::RefusalText(const CPlugin* plugin) const
{
    const char* request = plugins::CurrentRequest::Name();
    if (plugin == nullptr || request == nullptr) return std::wstring();
    const wchar_t* entry = plugin->EntryCalledOnThisThread();
    const UINT id = plugin->WasEverLoaded() ? kRefusedAfterUnloadString : kRefusedDuringLoadString;
    if (entry == nullptr && id == kRefusedDuringLoadString) return std::wstring();
    wchar_t name[MAX_PATH];
    plugin->GetNameForReports(name, MAX_PATH);
    const std::wstring requestName(request, request + std::strlen(request));
    return m_support.Formatted(id, requestName.c_str(), name, entry);
}

// Loader reports that are trace lines only: the numbered string used as a format.
void CPluginInterface::Report(UINT id, const wchar_t* argument)
{
    wchar_t format[MAX_PATH] = L"";
    m_support.Text(id, format, MAX_PATH);
    if (zerova::IsEmpty(format)) return;
    if (zerova::IsEmpty(argument)) {
        ZEROVA_TRACE(4, format);
        return;
    }
    ZEROVA_TRACE(4, m_support.Formatted(id, argument).c_str());
}

CPluginInterface::~CPluginInterface()
{
    // Errors reported from now on have no registry to reach.
    m_support.errors->SetErrorLoggingCallback(nullptr, nullptr);
    if (m_pendingTimer != 0) ::KillTimer(nullptr, m_pendingTimer);
    CPluginInterface* self = this;
    plugins::registry::g_timerRegistry.compare_exchange_strong(self, nullptr);
    // No hang report may run on a plug-in object from here on.
    StopHangWatch();
    // A plug-in whose call never returned is left as it is: the call still uses its object.
    bool callsStillRunning = false;
    auto let_go = [this, &callsStillRunning](PLUGIN_DATA* record, std::unique_ptr<CPlugin>& plugin) {
        if (plugin != nullptr && plugin->CallsRunning()) {
            static_cast<void>(plugin.release());
            callsStillRunning = true;
            return;
        }
        plugin.reset();
        m_handles.Release(record);
    };
    {
        std::lock_guard<zerova::Mutex> guard(m_listLock);
        for (auto& listed : m_listed) let_go(listed.first, listed.second.plugin);
        for (auto& retired : m_retired) let_go(retired.record, retired.plugin);
        m_plugins.clear();
        m_listed.clear();
        m_retired.clear();
        m_pendingUnloads.clear();
        m_counted.clear();
        m_countedSnapshot.reset();
        m_suitePlugins.clear();
    }
    TearDownFaultRecords(callsStillRunning);
}

const wchar_t* CPluginInterface::GetHistoryFolder() const { return m_history->Folder(); }

const wchar_t* CPluginInterface::GetHistoryFilePath() const { return m_history->Path(); }

CCriticalSectionEx* CPluginInterface::GetHistoryLock() const { return &m_history->Lock(); }

// ---------------------------------------------------------------- states and the tray state

void CPluginInterface::SetState(void* handle, VARNEL_PLUGIN_STATE state, wchar_t* text, const wchar_t* source)
{
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!ValidatePlugin(handle, &record, &plugin, true)) return;
    TraceStateSetDuringLoad(*plugin);
    // Line breaks become spaces in the caller's buffer where it can be written, else in a copy.
    std::wstring copy;
    if (!zerova::IsEmpty(text)) {
        copy = plugins::WithoutLineBreaks(text);
        if (plugins::IsWritable(text, (copy.size() + 1) * sizeof(wchar_t))) copy.copy(text, copy.size());
        else text = &copy[0];
    }
    if (!plugin->SetState(state, text, source)) return;
    RefreshTrayState();
}

// A state set from the load's last entry points is taken but replaced by state 0 when the load
// completes; the trace says so, since nothing else shows it.
void CPluginInterface::TraceStateSetDuringLoad(const CPlugin& plugin) const
{
    const wchar_t* entry = plugin.EntryCalledOnThisThread();
    if (entry == nullptr) return;
    static const wchar_t* const loadEntries[] = {L"PluginSuiteRegister", L"PluginCreateMainWindow", L"PluginCreateMenus"};
    if (std::none_of(std::begin(loadEntries), std::end(loadEntries),
                     [entry](const wchar_t* loadEntry) { return std::wcscmp(entry, loadEntry) == 0; }))
        return;
    wchar_t name[MAX_PATH];
    plugin.GetNameForReports(name, MAX_PATH);
    const std::wstring line = m_support.Formatted(kStateSetDuringLoadString, name, entry);
    if (!line.empty()) ZEROVA_TRACE(4, L"%s", line.c_str());
}

void CPluginInterface::RefreshTrayState()
{
    const bool nested = t_mergingTrayState.Get();
    UpdateTrayState();
    if (nested) return;  // the merge this thread is inside of goes on with the new state
    const auto observers = plugins::ObserversOf(*m_observers);
    if (observers.empty()) return;
    VARNEL_PLUGIN_STATE merged = VARNEL_PLUGIN_STATE_OK;
    wchar_t title[MAX_PATH];
    GetTrayState(merged, title, MAX_PATH);
    for (const auto& observer : observers) observer->TrayStateChanged(merged);
}

// The merge can reach plug-in code while it runs (the menu reports an error, the error loggers hear
// of it); a state change from there on the same thread asks for one more merge instead of waiting
// for the lock this thread holds.
void CPluginInterface::UpdateTrayState()
{
    if (t_mergingTrayState.Get()) {
        m_mergeAgain = true;
        return;
    }
    t_mergingTrayState.Set(true);
    do {
        m_mergeAgain = false;
        MergeTrayState();
    } while (m_mergeAgain.exchange(false));
    t_mergingTrayState.Set(false);
}

void CPluginInterface::MergeTrayState()
{
    std::lock_guard<zerova::Mutex> merging(m_trayStateLock);
    IPluginMenu* menu = Menu();
    int maximum = VARNEL_PLUGIN_STATE_OK;
    bool hasOwner = false;
    const bool tracing = CDebugTrace::IsWanted(4);
    // One visit per plug-in, reading two atomics: the merge runs at every state change.
    const RecordSnapshot counted = CountedRecords();
    for (PLUGIN_DATA* listed : *counted) {
        CPlugin* plugin = PluginOf(listed);
        if (plugin == nullptr) continue;
        const unsigned flags = plugin->GetFlags();
        if ((flags & (PLUGIN_FLAG_LOADED | PLUGIN_FLAG_ERROR)) == 0) continue;
        const int state = plugin->GetStateNow();
        if (tracing) {
            wchar_t name[MAX_PATH];
            ZEROVA_TRACE(4, L"plugin: %s, state: %d", plugin->GetName(name, MAX_PATH), state);
        }
        if ((flags & PLUGIN_FLAG_SUITE) != 0 && menu != nullptr)
            menu->ShowSuiteEntryState(listed, plugin->GetSuiteMenuId(), static_cast<VARNEL_PLUGIN_STATE>(state), false);
        if (state >= maximum) {
            maximum = state;
            hasOwner = true;
        }
    }
    m_trayState = static_cast<VARNEL_PLUGIN_STATE>(maximum);
    ZEROVA_TRACE(4, L"Varnel state: %d", maximum);
    if (!hasOwner || menu == nullptr) return;

    wchar_t title[MAX_PATH] = L"";
    if (maximum == VARNEL_PLUGIN_STATE_OK) {
        wchar_t format[MAX_PATH] = L"";
        wchar_t working[MAX_PATH] = L"";
        m_support.Text(tray::kStateTitleFormatString, format, MAX_PATH);
        m_support.Text(tray::kEverythingWorkingString, working, MAX_PATH);
        zerova::FormatString(title, MAX_PATH, format, working);
    } else {
        m_support.Text(tray::kAttentionTitleString, title, MAX_PATH);
    }
    menu->ShowTrayState(static_cast<VARNEL_PLUGIN_STATE>(maximum), title);
}

bool CPluginInterface::GetState(void* handle, VARNEL_PLUGIN_STATE& state, wchar_t* text, int length)
{
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!ValidatePlugin(handle, &record, &plugin, false)) return false;
    if (text == nullptr || length < 1) {
        ReportPluginError(531, plugin);
        return false;
    }
    state = plugin->GetState();
    plugin->GetStateText(text, length);
    return true;
}

bool CPluginInterface::GetTrayState(VARNEL_PLUGIN_STATE& state, wchar_t* title, int length)
{
    if (title == nullptr || length < 1) {
        m_support.errors->Error(531);
        return false;
    }
    state = m_trayState;
    title[0] = L'\0';
    if (IPluginMenu* menu = Menu()) menu->CopyTrayTitle(title, length);
    return true;
}

// ---------------------------------------------------------------- what the registry tells others

void CPluginInterface::Connect(IPluginMenu* menu, IPluginDialogs* dialogs)
{
    std::vector<zerova::UniqueKernelHandle> closers;
    {
        std::lock_guard<zerova::Mutex> guard(m_listLock);
        m_menu = menu;
        m_dialogs = dialogs;
        if (dialogs == nullptr) closers.swap(m_dialogClosers);
    }
    for (const auto& closer : closers) WaitLettingSentMessagesThrough(closer.Get());
}

void CPluginInterface::CloseDialogsOnAThreadOfTheirOwn(void* handle)
{
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    IPluginDialogs* dialogs = m_dialogs.load();
    if (dialogs == nullptr) return;
    m_dialogClosers.erase(std::remove_if(m_dialogClosers.begin(), m_dialogClosers.end(),
                                         [](const zerova::UniqueKernelHandle& closer) {
                                             return ::WaitForSingleObject(closer.Get(), 0) == WAIT_OBJECT_0;
                                         }),
                          m_dialogClosers.end());
    auto closer = std::make_unique<DialogCloser>(DialogCloser{dialogs, handle});
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, &CloseDialogs, closer.get(), 0, nullptr);
    if (thread == 0) return;
    closer.release();  // the thread's own now
    m_dialogClosers.emplace_back(reinterpret_cast<HANDLE>(thread));
}

bool CPluginInterface::DisplayAboutBox(HWND parent)
{
    auto* buffer = static_cast<wchar_t*>(CMemoryManager::Alloc(kAboutTextCapacity * sizeof(wchar_t)));
    if (buffer == nullptr) return false;
    bool result = false;
    IPluginDialogs* dialogs = Dialogs();
    if (dialogs != nullptr && GetAboutBoxText(buffer, kAboutTextCapacity)) result = dialogs->ShowAboutBox(parent, buffer);
    CMemoryManager::Free(buffer);
    return result;
}

bool CPluginInterface::DisplaySystemHealth(HWND parent)
{
    if (!::IsWindow(parent)) return false;
    auto* buffer = static_cast<wchar_t*>(CMemoryManager::Alloc(kHealthTextCapacity * sizeof(wchar_t)));
    if (buffer == nullptr) return false;
    bool result = false;
    IPluginDialogs* dialogs = Dialogs();
    if (dialogs != nullptr && GetSystemHealthText(buffer, kHealthTextCapacity)) {
        dialogs->ShowSystemHealth(parent, buffer);
        result = true;
    }
    CMemoryManager::Free(buffer);
    return result;
}

// ---------------------------------------------------------------- broadcasts

void CPluginInterface::BroadcastActivity(VARNEL_ACTIVITY activity, int mask)
{
    if (activity == VARNEL_ACTIVITY_EXIT) m_exiting = true;
    for (CPlugin* plugin : LoadedPlugins())
        if ((plugin->GetFlags() & static_cast<unsigned>(mask)) != 0) plugin->CallActivity(activity, 0, 0);
}

void CPluginInterface::BroadcastUpdate()
{
    for (CPlugin* plugin : LoadedPlugins())
        if (plugin->IsUpdater()) plugin->CallUpdate();
}

bool CPluginInterface::PluginComm(const wchar_t* text, int number)
{
    for (CPlugin* plugin : LoadedPlugins())
        plugin->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, number, reinterpret_cast<INT_PTR>(text));
    return true;
}

void CPluginInterface::NotifySuiteMenuAction(unsigned int commandId)
{
    for (PLUGIN_DATA* record : SuitePluginList()) {
        CPlugin* plugin = PluginOf(record);
        if (plugin != nullptr && plugin->GetSuiteMenuId() == commandId) plugin->NotifySuiteMenuAction();
    }
}

void CPluginInterface::NotifyAdvisoryResult(void* handle, int buttonId, INT_PTR cookie)
{
    if (IsMainApp(handle)) return;
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (ValidatePlugin(handle, &record, &plugin, false))
        plugin->CallActivity(VARNEL_ACTIVITY_ADVISORY_RESULT, buttonId, cookie);
}

bool CPluginInterface::ErrorLoggerCallback(HWND window, const wchar_t* firstText, const wchar_t* secondText,
                                           int number, void* user)
{
    bool called = false;
    for (CPlugin* plugin : static_cast<CPluginInterface*>(user)->LoadedPlugins()) {
        if (!plugin->IsErrorLogger()) continue;
        plugin->CallLogError(window, firstText, secondText, number);
        called = true;
    }
    return called;
}

// ---------------------------------------------------------------- windows and legacy mode

bool CPluginInterface::IsPluginWindow(HWND window, bool& dead)
{
    dead = false;
    if (window == nullptr) return false;
    for (PLUGIN_DATA* record : GetPluginList()) {
        CPlugin* plugin = PluginOf(record);
        if (plugin == nullptr || plugin->GetHwnd() != window) continue;
        dead = !::IsWindow(window) || !plugin->IsLoaded();
        if (dead) ZEROVA_TRACE(4, L"CPluginInterface::IsPluginWindow - plugin or plugin window is dead");
        return true;
    }
    return false;
}

bool CPluginInterface::IsPluginInLegacyMode(const wchar_t* subkeyName)
{
    if (zerova::IsEmpty(subkeyName)) return false;
    for (PLUGIN_DATA* record : GetPluginList()) {
        CPlugin* plugin = PluginOf(record);
        if (plugin == nullptr) continue;
        wchar_t subkey[MAX_PATH];
        plugin->GetRegistrySubkey(subkey, MAX_PATH);
        if (zerova::EqualsNoCase(CFileIO::GetFilename(subkey), subkeyName)) return !plugin->IsLoaded();
    }
    return false;
}
