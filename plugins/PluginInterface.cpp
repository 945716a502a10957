// The process-wide registry of plug-ins: loading from the registry, look-ups, unloading, states,
// the merged tray state and broadcasts.
#include "PluginInterface.h"

#include "SingletonSlot.h"

#include "CallerText.h"
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
// How many plug-in objects of failed loads are kept before the oldest is deleted.
const size_t kFailedPluginsKept = 16;
// This thread is merging the tray state.
thread_local bool t_mergingTrayState = false;
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
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        for (PLUGIN_DATA* record : m_plugins) {
            delete PluginOf(record);
            CPluginHandleArena::Instance().Release(record);
        }
        m_plugins.clear();
        m_listed.clear();
        m_counted.clear();
        m_countedSnapshot.reset();
        m_suitePlugins.clear();
    }
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

    PLUGIN_DATA* record = CPluginHandleArena::Instance().Allocate();
    if (record == nullptr) {
        Report(423, subkeyName);
        return;
    }
    auto* plugin = new CPlugin();
    record->plugin = plugin;
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        m_plugins.push_back(record);
        m_listed.emplace(record, m_nextLoadNumber++);
    }

    if (!plugin->Load(record, PluginsKey, subkeyName, m_language1, m_language2)) {
        {
            std::lock_guard<std::mutex> guard(m_listLock);
            m_plugins.remove(record);
            UncountLocked(record);
            m_listed.erase(record);
            m_failedPlugins.emplace_back(plugin);
            if (m_failedPlugins.size() > kFailedPluginsKept) m_failedPlugins.pop_front();
        }
        // A failed load's record is freed, as the contract says, once no code of the plug-in can
        // still hold it; a library left mapped keeps its record's address out of use for good.
        if (plugin->LeftLibraryMapped()) CPluginHandleArena::Instance().Retire(record);
        else CPluginHandleArena::Instance().Release(record);
        return;
    }

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
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    bool result = false;
    if (ValidatePlugin(handle, &record, &plugin, false)) {
        wchar_t name[MAX_PATH];
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - unloading \"%s\"", plugin->GetName(name, MAX_PATH));
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - TerminateOpenDialogs");
        if (IPluginDialogs* dialogs = Dialogs()) dialogs->CloseDialogsOf(handle);
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - RemovePluginMenuItems");
        IPluginMenu* menu = Menu();
        if (menu != nullptr) {
            menu->RemovePluginItems(handle);
            if ((plugin->GetFlags() & PLUGIN_FLAG_SUITE) != 0) menu->RemoveSuiteEntry(plugin);
        }
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - plugin Cleanup");
        plugin->Cleanup(m_exiting);
        Uncount(record);
        ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - FreeLibrary");
        plugin->FreePluginLibrary();
        if (menu != nullptr) menu->PluginUnloaded(handle);
        result = true;
    } else if (plugin != nullptr && plugin->GetHinstance() != nullptr) {
        plugin->Cleanup(true);
    }
    if (IPluginMenu* menu = Menu(); menu != nullptr && refreshMenu) menu->RefreshAvailability();
    ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - exit");
    return result;
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

    std::lock_guard<std::mutex> guard(m_listLock);
    auto isTaken = [&](PLUGIN_DATA* record) { return taken.count(record) != 0; };
    m_plugins.remove_if(isTaken);
    m_suitePlugins.remove_if(isTaken);
    for (PLUGIN_DATA* record : taken) {
        UncountLocked(record);
        m_listed.erase(record);
    }
}

CPluginInterface::RecordSnapshot CPluginInterface::CountedRecords()
{
    std::lock_guard<std::mutex> guard(m_listLock);
    if (m_countedSnapshot == nullptr) {
        auto records = std::make_shared<std::vector<PLUGIN_DATA*>>();
        records->reserve(m_counted.size());
        for (const auto& counted : m_counted) records->push_back(counted.second);
        m_countedSnapshot = std::move(records);
    }
    return m_countedSnapshot;
}

void CPluginInterface::Uncount(PLUGIN_DATA* record)
{
    std::lock_guard<std::mutex> guard(m_listLock);
    UncountLocked(record);
}

void CPluginInterface::UncountLocked(PLUGIN_DATA* record)
{
    const auto listed = m_listed.find(record);
    if (listed != m_listed.end() && m_counted.erase(listed->second) != 0) m_countedSnapshot.reset();
}

void CPluginInterface::CountAgain(void* handle)
{
    std::lock_guard<std::mutex> guard(m_listLock);
    auto* record = static_cast<PLUGIN_DATA*>(handle);
    const auto listed = m_listed.find(record);
    if (listed == m_listed.end()) return;
    if (m_counted.emplace(listed->second, record).second) m_countedSnapshot.reset();
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
    auto* record = static_cast<PLUGIN_DATA*>(handle);
    return m_listed.count(record) != 0 ? PluginOf(record) : nullptr;
}

std::list<CPlugin*> CPluginInterface::LoadedPlugins()
{
    std::list<CPlugin*> loaded;
    const RecordSnapshot counted = CountedRecords();
    for (PLUGIN_DATA* record : *counted) {
        CPlugin* plugin = PluginOf(record);
        if (plugin != nullptr && plugin->IsLoaded()) loaded.push_back(plugin);
    }
    return loaded;
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
    const bool nested = t_mergingTrayState;
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
    if (t_mergingTrayState) {
        m_mergeAgain = true;
        return;
    }
    t_mergingTrayState = true;
    do {
        m_mergeAgain = false;
        MergeTrayState();
    } while (m_mergeAgain.exchange(false));
    t_mergingTrayState = false;
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
