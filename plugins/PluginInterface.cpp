// The process-wide registry of plug-ins: loading from the registry, look-ups, unloading, states,
// the merged tray state and broadcasts.
#include "PluginInterface.h"

#include "SingletonSlot.h"
#include "ThreadValue.h"

#include "CallRecord.h"
#include "CallerText.h"
#include "CrashDumps.h"
#include "Quarantine.h"
#include "PluginHandles.h"

#include "CriticalSectionEx.h"
#include "DebugTrace.h"
#include "ErrorMsg.h"
#include "FileIO.h"
#include "Handles.h"
#include "Localize.h"
#include "MemoryManager.h"
#include "Plugin.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <thread>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <unordered_set>

const wchar_t* const CPluginInterface::PluginsKey = L"SOFTWARE\\Zerova\\Varnel\\Plugins";

namespace {
// How many records that left the lists are kept before the oldest may go (see m_retired).
const size_t kRetiredKept = 32;
const ULONGLONG kRetiredGraceMs = 2000;
// How often the thread that deferred a clean-up looks whether the call it waits for has returned.
const UINT kReturnedUnloadsPeriodMs = 50;
// This thread is merging the tray state.
zerova::ThreadValue<bool> t_mergingTrayState;
std::atomic<CPluginInterface*> g_instance{nullptr};
std::recursive_mutex g_instanceLock;
// The dialogs of the contract, registered by the module; kept for every registry of the process.
std::atomic<IPluginDialogs*> g_dialogs{nullptr};
std::atomic<IPluginMenu*> g_menu{nullptr};

const int kFirstMenuIdCounter = 25000;
const int kBroadcastToAll = 0xFFFF;
const UINT kAttentionTitleString = 326;
const UINT kStateTitleFormatString = 328;
const UINT kEverythingWorkingString = 57;
const wchar_t kHistorySubfolder[] = L"Zerova\\Lunvale\\DB\\Varnel\\PluginHistory";
const wchar_t kHistoryFileName[] = L"VarnelPluginStateHistory.txt";
const DWORD kMaxHistoryBytes = 0x200000;
const int kAboutTextCapacity = 32768;
const int kHealthTextCapacity = 16384;



// Loader reports that are trace lines only: the numbered string used as a format.
void Report(UINT id, const wchar_t* argument)
{
    wchar_t format[MAX_PATH] = L"";
    CLocalize::Instance()->GetString(id, format, MAX_PATH);
    if (zerova::IsEmpty(format)) return;
    if (zerova::IsEmpty(argument)) {
        ZEROVA_TRACE(4, format);
        return;
    }
    wchar_t line[1024];
    zerova::FormatString(line, 1024, format, argument);
    ZEROVA_TRACE(4, line);
}

CPlugin* PluginOf(CPluginInterface::PLUGIN_DATA* record)
{
    return record != nullptr ? static_cast<CPlugin*>(record->plugin) : nullptr;
}

bool LibraryFileNameIs(CPlugin* plugin, const wchar_t* fileName)
{
    wchar_t path[MAX_PATH];
    plugin->GetPath(path, MAX_PATH);
    return zerova::EqualsNoCase(CFileIO::GetFilename(path), fileName);
}

bool PathIs(CPlugin* plugin, const wchar_t* wanted)
{
    wchar_t path[MAX_PATH];
    plugin->GetPath(path, MAX_PATH);
    return zerova::EqualsNoCase(path, wanted);
}
}  // namespace

// ---------------------------------------------------------------- life

CPluginInterface::CPluginInterface()
    : m_plugins(), m_suitePlugins(), m_menuIdCounter(kFirstMenuIdCounter), m_trayState(VARNEL_PLUGIN_STATE_OK),
      m_language1(0), m_language2(0), m_historyFolder(), m_historyFile(), m_pluginsLoaded(false), m_exiting(false),
      m_historyLock(std::make_unique<CCriticalSectionEx>())
{
    CErrorMsg::Instance()->SetErrorLoggingCallback(&CPluginInterface::ErrorLoggerCallback, this);
    SetUpHistoryFile();
    SetUpFaultRecords();
}

CPluginInterface* CPluginInterface::Instance()
{
    return zerova::CreateOnce(g_instance, g_instanceLock, [] { return new CPluginInterface(); });
}

CPluginInterface* CPluginInterface::Existing() { return g_instance; }

void CPluginInterface::ReportPluginError(int code, CPlugin* plugin)
{
    CErrorMsg::Instance()->Error(code);
    if (plugin != nullptr) {
        plugin->RecordError(code);
        return;
    }
    wchar_t text[MAX_PATH];
    CLocalize::Instance()->GetString(static_cast<UINT>(code), text, MAX_PATH);
    CErrorMsg::Instance()->Error(code, text);
}

CPluginInterface::~CPluginInterface()
{
    if (g_instance == nullptr) return;
    // Errors reported from now on have no registry to reach.
    CErrorMsg::Instance()->SetErrorLoggingCallback(nullptr, nullptr);
    if (m_pendingTimer != 0) ::KillTimer(nullptr, m_pendingTimer);
    // A plug-in whose call never returned is left as it is: the call still uses its object.
    bool callsStillRunning = false;
    auto let_go = [&callsStillRunning](PLUGIN_DATA* record, std::unique_ptr<CPlugin>& plugin) {
        if (plugin != nullptr && plugin->CallsRunning()) {
            static_cast<void>(plugin.release());
            callsStillRunning = true;
            return;
        }
        plugin.reset();
        CPluginHandleArena::Instance().Release(record);
    };
    {
        std::lock_guard<std::mutex> guard(m_listLock);
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
    g_instance = nullptr;
}

void CPluginInterface::SetUpHistoryFile()
{
    wchar_t appData[MAX_PATH] = L"";
    if (CFileIO::GetSpecialFolder(CSIDL_APPDATA | CSIDL_FLAG_CREATE, appData, MAX_PATH) == nullptr) return;
    if (CFileIO::CombinePath(appData, kHistorySubfolder, m_historyFolder, MAX_PATH) == nullptr ||
        CFileIO::CombinePath(m_historyFolder, kHistoryFileName, m_historyFile, MAX_PATH) == nullptr) {
        m_historyFolder[0] = L'\0';
        m_historyFile[0] = L'\0';
        return;
    }
    CFileIO::CreateFolder(m_historyFolder);
    CFileIO::RotateFile(m_historyFile, kMaxHistoryBytes, true);
}

// ---------------------------------------------------------------- loading

bool CPluginInterface::LoadPlugins() { return LoadPlugins(nullptr, nullptr); }

bool CPluginInterface::LoadPlugins(const wchar_t* name, void** handle)
{
    ZEROVA_TRACE(4, L"CPluginInterface::LoadPlugins - ENTER");
    FinishReturnedUnloads();
    CLocalize::Instance()->GetLangIDs(m_language1, m_language2);
    const size_t countBefore = PluginCount();

    // The names are taken first: a plug-in's load may add or delete subkeys, which would shift
    // an enumeration by index under the walk and skip an entry that still exists.
    std::vector<std::wstring> subkeys;
    if (!ListPluginSubkeys(subkeys)) Report(1500, PluginsKey);
    for (const std::wstring& subkey : subkeys) LoadSubkey(subkey.c_str(), name, handle);

    IPluginMenu* menu = Menu();
    bool added = false;
    if (PluginCount() > countBefore) {
        UpdateTrayState();
        if (menu != nullptr) menu->RefreshAvailability();
        added = true;
    }
    m_pluginsLoaded = true;
    ZEROVA_TRACE(4, L"CPluginInterface::LoadPlugins - EXIT");
    if (menu != nullptr) menu->PluginsLoaded();
    return added;
}

bool CPluginInterface::ListPluginSubkeys(std::vector<std::wstring>& subkeys)
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, PluginsKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    const zerova::UniqueRegKey key(opened);
    for (DWORD index = 0;; ++index) {
        wchar_t subkeyName[MAX_PATH] = L"";
        DWORD length = MAX_PATH;
        const LONG result =
            ::RegEnumKeyExW(key.Get(), index, subkeyName, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA) continue;  // a name too long for any path of ours
        if (result != ERROR_SUCCESS) break;
        subkeys.emplace_back(subkeyName);
    }
    return true;
}

void CPluginInterface::LoadSubkey(const wchar_t* subkeyName, const wchar_t* requestedName, void** handle)
{
    wchar_t fullPath[MAX_PATH] = L"";
    if (CFileIO::CombinePath(PluginsKey, subkeyName, fullPath, MAX_PATH) == nullptr || zerova::IsEmpty(fullPath)) {
        Report(1505, subkeyName);  // the subkey's path does not fit: its values cannot be read
        return;
    }
    bool doNotLoad = false;
    CRegistryEx::Get(HKEY_LOCAL_MACHINE, fullPath, L"DoNotLoadMe", doNotLoad, false);
    if (doNotLoad) return;

    const bool requested = !zerova::IsEmpty(requestedName) &&
                           zerova::EqualsNoCase(requestedName, CFileIO::GetFilename(fullPath));
    wchar_t libraryPath[MAX_PATH] = L"";
    if (!CRegistryEx::GetPath(HKEY_LOCAL_MACHINE, fullPath, L"Path", libraryPath, MAX_PATH)) {
        Report(1505, fullPath);
        return;
    }
    if (!CFileIO::FileExists(libraryPath)) {
        Report(1510, libraryPath);
        return;
    }
    if (void* existing = IsPluginAlreadyLoaded(libraryPath)) {
        if (requested && handle != nullptr) *handle = existing;
        return;
    }
    if (RefusedForQuarantine(subkeyName)) return;

    PLUGIN_DATA* record = CPluginHandleArena::Instance().Allocate();
    if (record == nullptr) {
        Report(423, subkeyName);
        return;
    }
    auto owned = std::make_unique<CPlugin>();
    CPlugin* plugin = owned.get();
    plugin->UseFaultRecords(m_calls.get(), m_dumps.get());
    record->plugin = plugin;
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        m_plugins.push_back(record);
        m_listed.emplace(record, Listing{m_nextLoadNumber++, std::move(owned), 0});
    }

    const ULONGLONG loadStart = ::GetTickCount64();
    if (!plugin->Load(record, PluginsKey, subkeyName, m_language1, m_language2)) {
        unsigned long long lastSnapshot = 0;
        {
            std::lock_guard<std::mutex> guard(m_listLock);
            m_plugins.remove(record);
            UncountLocked(record);
            const auto listed = m_listed.find(record);
            owned = std::move(listed->second.plugin);
            lastSnapshot = listed->second.lastSnapshot;
            m_listed.erase(listed);
        }
        CPluginHandleArena::Instance().Unbind(record);
        // A call that another thread made once the plug-in counted as loaded still runs: the
        // clean-up the failed load skipped follows when it has returned.
        if (plugin->GetHinstance() != nullptr) DeferUnload(record, plugin, false);
        // A load that faulted made its plug-in object known to other threads (the fault's report, the
        // closing of its dialogs); one refused before it ran any code did not.
        Retire(record, std::move(owned), lastSnapshot, plugin->HasFaulted());
        return;
    }

    NoteLoadTime(plugin, ::GetTickCount64() - loadStart);
    CountAgain(record);
    if (requested && handle != nullptr) *handle = record;
    wchar_t pluginName[MAX_PATH];
    plugin->GetName(pluginName, MAX_PATH);
    const unsigned flags = plugin->GetFlags();
    ZEROVA_TRACE(4, L"CPluginInterface::LoadPlugins - xxx Plugin Name - %s (%d:%d)", pluginName,
                static_cast<int>(flags & PLUGIN_FLAG_SUITE), static_cast<int>(flags & PLUGIN_FLAG_LOADED));
    if ((flags & PLUGIN_FLAG_SUITE) != 0) {
        {
            std::lock_guard<std::mutex> guard(m_listLock);
            m_suitePlugins.push_back(record);
        }
        if (IPluginMenu* menu = Menu()) menu->InsertSuiteEntry(plugin);
    }
}

bool CPluginInterface::LoadPlugin(const wchar_t* name, void** handle)
{
    if (handle != nullptr) *handle = nullptr;
    LoadPlugins(name, handle);
    return handle != nullptr && *handle != nullptr;
}

void CPluginInterface::PluginFaulted(void* handle)
{
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!ValidatePlugin(handle, &record, &plugin, false)) return;
    if (IPluginMenu* menu = Menu()) {
        menu->RemovePluginItems(handle);
        if ((plugin->GetFlags() & PLUGIN_FLAG_SUITE) != 0) menu->RemoveSuiteEntry(plugin);
    }
    // The fault may have happened on one of the plug-in's own dialog threads, which cannot wait
    // for its own end: the dialogs are closed from a thread of their own.
    if (IPluginDialogs* dialogs = Dialogs()) std::thread([dialogs, handle] { dialogs->CloseDialogsOf(handle); }).detach();
}

bool CPluginInterface::UnloadPlugin(void* handle) { return UnloadOne(handle, true); }

bool CPluginInterface::UnloadOne(void* handle, bool refreshMenu)
{
    ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - enter");
    FinishReturnedUnloads();
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    bool result = false;
    if (ValidatePlugin(handle, &record, &plugin, false)) {
        wchar_t name[MAX_PATH];
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - unloading \"%s\"", plugin->GetName(name, MAX_PATH));
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - TerminateOpenDialogs");
        if (IPluginDialogs* dialogs = Dialogs()) dialogs->CloseDialogsOf(handle);
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - RemovePluginMenuItems");
        if (IPluginMenu* menu = Menu()) {
            menu->RemovePluginItems(handle);
            if ((plugin->GetFlags() & PLUGIN_FLAG_SUITE) != 0) menu->RemoveSuiteEntry(plugin);
        }
        // The clean-up never runs while a call into the plug-in is on any thread's stack.
        plugin->StopCalls();
        if (plugin->WaitForCallsToEnd()) {
            FinishUnload(record, plugin, m_exiting);
        } else {
            if (!plugin->IsCalledOnThisThread()) plugin->ReportUnloadWaiting();
            DeferUnload(record, plugin, m_exiting);
        }
        result = true;
    } else if (plugin != nullptr && plugin->GetHinstance() != nullptr && !plugin->IsUnloading()) {
        plugin->Cleanup(true);
    }
    if (IPluginMenu* menu = Menu(); menu != nullptr && refreshMenu) menu->RefreshAvailability();
    ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - exit");
    return result;
}

void CPluginInterface::FinishUnload(PLUGIN_DATA* record, CPlugin* plugin, bool noLegacyLaunch)
{
    ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - plugin Cleanup");
    plugin->Cleanup(noLegacyLaunch);
    Uncount(record);
    ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - FreeLibrary");
    plugin->FreePluginLibrary();
    if (IPluginMenu* menu = Menu()) {
        menu->RemovePluginItems(record);  // any it added while its last call ran
        menu->PluginUnloaded(record);
    }
    CPluginHandleArena::Instance().Unbind(record);
}

void CPluginInterface::DeferUnload(PLUGIN_DATA* record, CPlugin* plugin, bool noLegacyLaunch)
{
    wchar_t name[MAX_PATH];
    ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - a call into \"%s\" is still running; its clean-up follows when "
                    L"it returns", plugin->GetName(name, MAX_PATH));
    Uncount(record);
    plugin->HoldLibraryForRunningCalls();
    std::lock_guard<std::mutex> guard(m_listLock);
    m_pendingUnloads.push_back(PendingUnload{record, plugin, noLegacyLaunch});
    if (m_pendingTimer == 0)
        m_pendingTimer = ::SetTimer(nullptr, 0, kReturnedUnloadsPeriodMs, &CPluginInterface::FinishReturnedUnloadsTimer);
}

void CALLBACK CPluginInterface::FinishReturnedUnloadsTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (CPluginInterface* registry = Existing()) registry->FinishReturnedUnloads();
}

void CPluginInterface::FinishReturnedUnloads()
{
    std::vector<PendingUnload> returned;
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        auto stillRunning = std::stable_partition(m_pendingUnloads.begin(), m_pendingUnloads.end(), [](const auto& pending) {
            return pending.plugin->CallsRunning() || pending.plugin->IsCalledOnThisThread();
        });
        returned.assign(stillRunning, m_pendingUnloads.end());
        m_pendingUnloads.erase(stillRunning, m_pendingUnloads.end());
        if (m_pendingUnloads.empty() && m_pendingTimer != 0) {
            ::KillTimer(nullptr, m_pendingTimer);
            m_pendingTimer = 0;
        }
    }
    for (const PendingUnload& pending : returned) {
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - the call has returned; the clean-up follows");
        FinishUnload(pending.record, pending.plugin, pending.noLegacyLaunch);
    }
    if (!returned.empty()) {
        if (IPluginMenu* menu = Menu()) menu->RefreshAvailability();
    }
    DeleteUnreadRetired();
}

void CPluginInterface::Retire(PLUGIN_DATA* record, std::unique_ptr<CPlugin> plugin, unsigned long long lastSnapshot,
                              bool seenByOthers)
{
    std::lock_guard<std::mutex> guard(m_listLock);
    m_retired.push_back(RetiredPlugin{record, std::move(plugin), lastSnapshot, seenByOthers ? ::GetTickCount64() : 0});
}

void CPluginInterface::DeleteUnreadRetired()
{
    std::vector<RetiredPlugin> unread;
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        unsigned long long oldestWalk = ~0ull;
        {
            std::lock_guard<std::mutex> snapshots(m_snapshotLock);
            if (!m_liveSnapshots.empty()) oldestWalk = *m_liveSnapshots.begin();
        }
        const ULONGLONG now = ::GetTickCount64();
        while (m_retired.size() > kRetiredKept) {
            RetiredPlugin& oldest = m_retired.front();
            // A pending unload keeps its library until it finishes, so it is in use by that test too.
            const bool inUse = (oldest.leftAt != 0 && now - oldest.leftAt < kRetiredGraceMs) ||
                               oldest.lastSnapshot >= oldestWalk || oldest.plugin->CallsRunning() ||
                               oldest.plugin->GetHinstance() != nullptr;
            if (inUse) break;
            unread.push_back(std::move(oldest));
            m_retired.pop_front();
        }
    }
    for (RetiredPlugin& retired : unread) {
        retired.plugin.reset();
        CPluginHandleArena::Instance().Release(retired.record);
    }
}

bool CPluginInterface::UnloadPlugin(const wchar_t* name)
{
    if (zerova::IsEmpty(name)) return false;
    PLUGIN_DATA* record = FindPluginFilenameOnly(CFileIO::GetFilename(name));
    if (record == nullptr) return false;
    UnloadPlugin(static_cast<void*>(record));
    return true;
}

void CPluginInterface::UnloadPlugins(bool onlyUnloadable)
{
    BroadcastActivity(VARNEL_ACTIVITY_UNLOADING, kBroadcastToAll);
    if (IPluginDialogs* dialogs = Dialogs()) dialogs->CloseDialogsOf(nullptr);

    std::unordered_set<PLUGIN_DATA*> taken;
    for (PLUGIN_DATA* record : GetPluginList()) {
        CPlugin* plugin = PluginOf(record);
        if (plugin == nullptr) continue;
        if (onlyUnloadable && plugin->IsLoaded()) {
            if (!plugin->CanUnload()) continue;
            if (plugin->HasReservedName() || plugin->IsErrorLogger()) continue;
        }
        // The menu's availability is refreshed once for all of them, after the walk.
        UnloadOne(static_cast<void*>(record), false);
        taken.insert(record);
    }
    if (IPluginMenu* menu = Menu()) menu->RefreshAvailability();

    {
        std::lock_guard<std::mutex> guard(m_listLock);
        auto isTaken = [&](PLUGIN_DATA* record) { return taken.count(record) != 0; };
        m_plugins.remove_if(isTaken);
        m_suitePlugins.remove_if(isTaken);
        const ULONGLONG now = ::GetTickCount64();
        for (PLUGIN_DATA* record : taken) {
            UncountLocked(record);
            const auto listed = m_listed.find(record);
            if (listed == m_listed.end()) continue;
            // They were loaded plug-ins: other threads saw them.
            m_retired.push_back(RetiredPlugin{record, std::move(listed->second.plugin), listed->second.lastSnapshot, now});
            m_listed.erase(listed);
        }
    }
    DeleteUnreadRetired();
}

CPluginInterface::RecordSnapshot CPluginInterface::CountedRecords()
{
    std::lock_guard<std::mutex> guard(m_listLock);
    if (m_countedSnapshot == nullptr) {
        auto records = std::make_unique<std::vector<PLUGIN_DATA*>>();
        records->reserve(m_counted.size());
        for (const auto& counted : m_counted) records->push_back(counted.second);
        const unsigned long long number = ++m_snapshotNumber;
        {
            std::lock_guard<std::mutex> snapshots(m_snapshotLock);
            m_liveSnapshots.insert(number);
        }
        // The last holder tells the registry that the walks no longer read its records.
        m_countedSnapshot = RecordSnapshot(records.release(), [this, number](const std::vector<PLUGIN_DATA*>* gone) {
            delete gone;
            ForgetSnapshot(number);
        });
    }
    return m_countedSnapshot;
}

void CPluginInterface::ForgetSnapshot(unsigned long long number)
{
    std::lock_guard<std::mutex> snapshots(m_snapshotLock);
    const auto found = m_liveSnapshots.find(number);
    if (found != m_liveSnapshots.end()) m_liveSnapshots.erase(found);
}

void CPluginInterface::Uncount(PLUGIN_DATA* record)
{
    std::lock_guard<std::mutex> guard(m_listLock);
    UncountLocked(record);
}

void CPluginInterface::UncountLocked(PLUGIN_DATA* record)
{
    const auto listed = m_listed.find(record);
    if (listed == m_listed.end() || m_counted.erase(listed->second.loadNumber) == 0) return;
    m_countedSnapshot.reset();
    listed->second.lastSnapshot = m_snapshotNumber;
}

void CPluginInterface::CountAgain(void* handle)
{
    std::lock_guard<std::mutex> guard(m_listLock);
    auto* record = static_cast<PLUGIN_DATA*>(handle);
    const auto listed = m_listed.find(record);
    if (listed == m_listed.end()) return;
    if (m_counted.emplace(listed->second.loadNumber, record).second) m_countedSnapshot.reset();
}

// ---------------------------------------------------------------- look-ups

size_t CPluginInterface::PluginCount()
{
    std::lock_guard<std::mutex> guard(m_listLock);
    return m_plugins.size();
}

CPlugin* CPluginInterface::FindPluginObject(void* handle)
{
    std::lock_guard<std::mutex> guard(m_listLock);
    const auto listed = m_listed.find(static_cast<PLUGIN_DATA*>(handle));
    return listed != m_listed.end() ? listed->second.plugin.get() : nullptr;
}

CPluginInterface::PluginWalk CPluginInterface::LoadedPlugins()
{
    PluginWalk walk;
    walk.m_snapshot = CountedRecords();
    walk.m_plugins.reserve(walk.m_snapshot->size());
    for (PLUGIN_DATA* record : *walk.m_snapshot) {
        CPlugin* plugin = PluginOf(record);
        if (plugin != nullptr && plugin->IsLoaded()) walk.m_plugins.push_back(plugin);
    }
    return walk;
}

bool CPluginInterface::Find(void* handle)
{
    std::lock_guard<std::mutex> guard(m_listLock);
    return m_listed.count(static_cast<PLUGIN_DATA*>(handle)) != 0;
}

bool CPluginInterface::ValidatePlugin(void* handle, PLUGIN_DATA** record, CPlugin** plugin, bool report)
{
    if (handle == nullptr || record == nullptr || plugin == nullptr) return false;
    *plugin = nullptr;
    bool valid = false;
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        auto* listed = static_cast<PLUGIN_DATA*>(handle);
        if (m_listed.count(listed) != 0) {
            *record = listed;
            *plugin = PluginOf(listed);
        }
    }
    if (*plugin != nullptr) valid = (*plugin)->IsLoaded();
    if (!valid && report) ReportPluginError(530, *plugin);
    return valid;
}

bool CPluginInterface::ValidatePlugin(void* handle)
{
    if (handle == nullptr || IsMainApp(handle)) return true;
    CPlugin* plugin = FindPluginObject(handle);
    return plugin != nullptr && plugin->IsLoaded();
}

bool CPluginInterface::IsMainApp(void* handle) { return handle == VARNEL_MAIN_APP_HANDLE; }

bool CPluginInterface::ArePluginsLoaded() { return m_pluginsLoaded; }

std::list<CPluginInterface::PLUGIN_DATA*> CPluginInterface::GetPluginList()
{
    std::lock_guard<std::mutex> guard(m_listLock);
    return m_plugins;
}

std::list<CPluginInterface::PLUGIN_DATA*> CPluginInterface::SuitePluginList()
{
    std::lock_guard<std::mutex> guard(m_listLock);
    return m_suitePlugins;
}

CPluginInterface::PLUGIN_DATA* CPluginInterface::FindPluginFilenameOnly(const wchar_t* fileName)
{
    if (zerova::IsEmpty(fileName)) return nullptr;
    const RecordSnapshot counted = CountedRecords();
    for (PLUGIN_DATA* record : *counted) {
        CPlugin* plugin = PluginOf(record);
        if (plugin != nullptr && plugin->IsLoaded() && LibraryFileNameIs(plugin, fileName)) return record;
    }
    return nullptr;
}

CPluginInterface::PLUGIN_DATA* CPluginInterface::FindPluginFullPath(const wchar_t* path)
{
    if (!CFileIO::FileExists(path)) return nullptr;
    const RecordSnapshot counted = CountedRecords();
    for (PLUGIN_DATA* record : *counted) {
        CPlugin* plugin = PluginOf(record);
        if (plugin != nullptr && plugin->IsLoaded() && PathIs(plugin, path)) return record;
    }
    return nullptr;
}

void* CPluginInterface::IsPluginAlreadyLoaded(const wchar_t* path)
{
    if (zerova::IsEmpty(path)) return nullptr;
    const RecordSnapshot counted = CountedRecords();
    for (PLUGIN_DATA* record : *counted) {
        CPlugin* plugin = PluginOf(record);
        if (plugin != nullptr && plugin->IsLoaded() && PathIs(plugin, path)) return record;
    }
    return nullptr;
}

bool CPluginInterface::VerifyPlugin(const wchar_t* pathOrName)
{
    if (zerova::IsEmpty(pathOrName)) return false;
    return FindPluginFilenameOnly(CFileIO::GetFilename(pathOrName)) != nullptr;
}

int CPluginInterface::GetTotalNumberOfPlugins() { return static_cast<int>(LoadedPlugins().size()); }

int CPluginInterface::GetNumberOfUpdaters()
{
    int count = 0;
    for (CPlugin* plugin : LoadedPlugins())
        if (plugin->IsUpdater()) ++count;
    return count;
}

int CPluginInterface::GetNumberOfErrorLoggers()
{
    int count = 0;
    for (CPlugin* plugin : LoadedPlugins())
        if (plugin->IsErrorLogger()) ++count;
    return count;
}

int CPluginInterface::GetNumberOfPointProductPlugins()
{
    int count = 0;
    for (CPlugin* plugin : LoadedPlugins()) {
        if (plugin->IsErrorLogger() || plugin->HasReservedName()) continue;
        ++count;
        wchar_t shown[MAX_PATH];
        ZEROVA_TRACE(4, L"Point product plugin: %s", plugin->GetDisplayName(shown, MAX_PATH));
    }
    return count;
}

int CPluginInterface::GetPluginLastError(void* handle)
{
    CPlugin* plugin = FindPluginObject(handle);
    return plugin != nullptr ? plugin->GetLastError() : 0;
}

bool CPluginInterface::ClearPluginLastError(void* handle)
{
    CPlugin* plugin = FindPluginObject(handle);
    if (plugin == nullptr) return false;
    plugin->ClearLastError();
    return true;
}

bool CPluginInterface::GetPluginInterfaceVersion(void* handle, int* major, int* minor)
{
    CPlugin* plugin = FindPluginObject(handle);
    if (plugin == nullptr || !plugin->IsLoaded()) return false;
    plugin->GetInterfaceVersion(major, minor);
    return true;
}

bool CPluginInterface::SetLegacyTrayEXE(void* handle, const wchar_t* exePath, const wchar_t* arguments, bool show)
{
    CPlugin* plugin = FindPluginObject(handle);
    return plugin != nullptr && plugin->SetLegacyTrayEXE(exePath, arguments, show);
}

int CPluginInterface::PeekNextMenuId()
{
    std::lock_guard<std::mutex> guard(m_listLock);
    return m_menuIdCounter + 1;
}

bool CPluginInterface::TakeMenuId(int id)
{
    std::lock_guard<std::mutex> guard(m_listLock);
    return ++m_menuIdCounter == id;
}

// ---------------------------------------------------------------- states and the tray state

void CPluginInterface::SetState(void* handle, VARNEL_PLUGIN_STATE state, wchar_t* text, const wchar_t* source)
{
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!ValidatePlugin(handle, &record, &plugin, true)) return;
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

void CPluginInterface::RefreshTrayState()
{
    const bool nested = t_mergingTrayState.Get();
    UpdateTrayState();
    if (nested) return;  // the merge this thread is inside of goes on with the new state
    const auto observers = Observers();
    if (observers.empty()) return;
    VARNEL_PLUGIN_STATE merged = VARNEL_PLUGIN_STATE_OK;
    wchar_t title[MAX_PATH];
    GetTrayState(merged, title, MAX_PATH);
    for (const auto& observer : observers) observer->TrayStateChanged(merged);
}

// ---------------------------------------------------------------- what the registry tells others

void CPluginInterface::SetDialogs(IPluginDialogs* dialogs) { g_dialogs = dialogs; }

IPluginDialogs* CPluginInterface::Dialogs() { return g_dialogs.load(); }

void CPluginInterface::SetMenu(IPluginMenu* menu) { g_menu = menu; }

IPluginMenu* CPluginInterface::Menu() { return g_menu.load(); }

void CPluginInterface::Subscribe(const std::shared_ptr<IPluginObserver>& observer)
{
    if (observer == nullptr) return;
    std::lock_guard<std::mutex> guard(m_observersLock);
    m_observers.push_back(observer);
}

void CPluginInterface::Unsubscribe(const IPluginObserver* observer)
{
    std::lock_guard<std::mutex> guard(m_observersLock);
    m_observers.erase(std::remove_if(m_observers.begin(), m_observers.end(),
                                     [observer](const auto& each) { return each.get() == observer; }),
                      m_observers.end());
}

// A copy: observers are told without the lock, and one that unsubscribes meanwhile stays alive
// until it has been told.
std::vector<std::shared_ptr<IPluginObserver>> CPluginInterface::Observers()
{
    std::lock_guard<std::mutex> guard(m_observersLock);
    return m_observers;
}

void CPluginInterface::PublishStateChange(const VarnelPluginStateChange& change)
{
    for (const auto& observer : Observers()) observer->PluginStateChanged(change);
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
    std::lock_guard<std::mutex> merging(m_trayStateLock);
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
        CLocalize::Instance()->GetString(kStateTitleFormatString, format, MAX_PATH);
        CLocalize::Instance()->GetString(kEverythingWorkingString, working, MAX_PATH);
        zerova::FormatString(title, MAX_PATH, format, working);
    } else {
        CLocalize::Instance()->GetString(kAttentionTitleString, title, MAX_PATH);
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
        CErrorMsg::Instance()->Error(531);
        return false;
    }
    state = m_trayState;
    title[0] = L'\0';
    if (IPluginMenu* menu = Menu()) menu->CopyTrayTitle(title, length);
    return true;
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
                                           int number, void*)
{
    bool called = false;
    for (CPlugin* plugin : Instance()->LoadedPlugins()) {
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
