// The plug-in registry's loading: the plug-in list's subkeys in the registry's order, a record and
// a plug-in object for each, the failed loads retired, the suite entries put in.
#include "RegistryParts.h"

#include "PluginHandles.h"

#include "FileIO.h"
#include "Handles.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <algorithm>
#include <mutex>

using plugins::registry::PluginOf;

namespace {
const UINT kNoSuchEntryString = 454;
}  // namespace

bool CPluginInterface::LoadPlugins() { return LoadPlugins(nullptr, nullptr); }

bool CPluginInterface::LoadPlugins(const wchar_t* name, void** handle)
{
    ZEROVA_TRACE(4, L"CPluginInterface::LoadPlugins - ENTER");
    FinishReturnedUnloads();
    m_support.texts->GetLangIDs(m_language1, m_language2);
    const size_t countBefore = PluginCount();

    // The names are taken first: a plug-in's load may add or delete subkeys, which would shift
    // an enumeration by index under the walk and skip an entry that still exists.
    std::vector<std::wstring> subkeys;
    if (!ListPluginSubkeys(subkeys)) Report(1500, PluginsKey);
    if (!zerova::IsEmpty(name) && std::none_of(subkeys.begin(), subkeys.end(), [name](const std::wstring& subkey) {
            return zerova::EqualsNoCase(subkey.c_str(), name);
        }))
        Report(kNoSuchEntryString, name);
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

    PLUGIN_DATA* record = m_handles.Allocate();
    if (record == nullptr) {
        Report(423, subkeyName);
        return;
    }
    auto owned = std::make_unique<CPlugin>(*this);
    CPlugin* plugin = owned.get();
    plugin->UseFaultRecords(m_calls.get(), m_dumps.get());
    record->plugin = plugin;
    {
        std::lock_guard<zerova::Mutex> guard(m_listLock);
        m_plugins.push_back(record);
        m_listed.emplace(record, Listing{m_nextLoadNumber++, std::move(owned), 0});
    }

    const ULONGLONG loadStart = ::GetTickCount64();
    if (!plugin->Load(record, PluginsKey, subkeyName, m_language1, m_language2)) {
        ForgetFailedLoad(record, plugin);
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
            std::lock_guard<zerova::Mutex> guard(m_listLock);
            m_suitePlugins.push_back(record);
        }
        if (IPluginMenu* menu = Menu()) menu->InsertSuiteEntry(plugin);
    }
}

// The record of a load that failed leaves the lists; its plug-in object is retired.
void CPluginInterface::ForgetFailedLoad(PLUGIN_DATA* record, CPlugin* plugin)
{
    std::unique_ptr<CPlugin> owned;
    unsigned long long lastSnapshot = 0;
    {
        std::lock_guard<zerova::Mutex> guard(m_listLock);
        m_plugins.remove(record);
        UncountLocked(record);
        const auto listed = m_listed.find(record);
        owned = std::move(listed->second.plugin);
        lastSnapshot = listed->second.lastSnapshot;
        m_listed.erase(listed);
    }
    m_handles.Unbind(record);
    // A call that another thread made once the plug-in counted as loaded still runs: the
    // clean-up the failed load skipped follows when it has returned.
    if (plugin->GetHinstance() != nullptr) DeferUnload(record, plugin, false);
    // A load that faulted made its plug-in object known to other threads (the fault's report, the
    // closing of its dialogs); one refused before it ran any code did not.
    Retire(record, std::move(owned), lastSnapshot, plugin->HasFaulted());
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
    CloseDialogsOnAThreadOfTheirOwn(handle);
}
