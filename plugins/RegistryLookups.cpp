// The plug-in registry's look-ups and counts, and the walks' snapshots of the counted records.
#include "RegistryParts.h"

#include "FileIO.h"
#include "SafeString.h"

#include <mutex>

using plugins::registry::PluginOf;

namespace {
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

// ---------------------------------------------------------------- the walks' snapshots

CPluginInterface::RecordSnapshot CPluginInterface::CountedRecords()
{
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    if (m_countedSnapshot == nullptr) {
        auto records = std::make_unique<std::vector<PLUGIN_DATA*>>();
        records->reserve(m_counted.size());
        for (const auto& counted : m_counted) records->push_back(counted.second);
        const unsigned long long number = ++m_snapshotNumber;
        {
            std::lock_guard<zerova::Mutex> snapshots(m_snapshotLock);
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
    std::lock_guard<zerova::Mutex> snapshots(m_snapshotLock);
    const auto found = m_liveSnapshots.find(number);
    if (found != m_liveSnapshots.end()) m_liveSnapshots.erase(found);
}

void CPluginInterface::Uncount(PLUGIN_DATA* record)
{
    std::lock_guard<zerova::Mutex> guard(m_listLock);
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
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    auto* record = static_cast<PLUGIN_DATA*>(handle);
    const auto listed = m_listed.find(record);
    if (listed == m_listed.end()) return;
    if (m_counted.emplace(listed->second.loadNumber, record).second) m_countedSnapshot.reset();
}

// ---------------------------------------------------------------- look-ups

size_t CPluginInterface::PluginCount()
{
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    return m_plugins.size();
}

CPlugin* CPluginInterface::FindPluginObject(void* handle)
{
    std::lock_guard<zerova::Mutex> guard(m_listLock);
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
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    return m_listed.count(static_cast<PLUGIN_DATA*>(handle)) != 0;
}

bool CPluginInterface::ValidatePlugin(void* handle, PLUGIN_DATA** record, CPlugin** plugin, bool report)
{
    if (handle == nullptr || record == nullptr || plugin == nullptr) return false;
    *plugin = nullptr;
    bool valid = false;
    {
        std::lock_guard<zerova::Mutex> guard(m_listLock);
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
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    return m_plugins;
}

std::list<CPluginInterface::PLUGIN_DATA*> CPluginInterface::SuitePluginList()
{
    std::lock_guard<zerova::Mutex> guard(m_listLock);
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
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    return m_menuIdCounter + 1;
}

bool CPluginInterface::TakeMenuId(int id)
{
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    return ++m_menuIdCounter == id;
}
