// The plug-in registry's unloading: one plug-in or all, the clean-ups that wait for a call to
// return, and the records that left the lists, kept until nothing can read them any more.
#include "RegistryParts.h"

#include "PluginHandles.h"

#include "FileIO.h"
#include "SafeString.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

using plugins::registry::g_timerRegistry;
using plugins::registry::kBroadcastToAll;
using plugins::registry::PluginOf;

std::atomic<CPluginInterface*> plugins::registry::g_timerRegistry{nullptr};

namespace {
// How many records that left the lists are kept before the oldest may go (see m_retired).
const size_t kRetiredKept = 32;
const ULONGLONG kRetiredGraceMs = 2000;
// How often the thread that deferred a clean-up looks whether the call it waits for has returned.
const UINT kReturnedUnloadsPeriodMs = 50;
}  // namespace

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
    m_handles.Unbind(record);
}

void CPluginInterface::DeferUnload(PLUGIN_DATA* record, CPlugin* plugin, bool noLegacyLaunch)
{
    wchar_t name[MAX_PATH];
    ZEROVA_TRACE(4, L"CPluginInterface::UnloadPlugin - a call into \"%s\" is still running; its clean-up follows when "
                    L"it returns", plugin->GetName(name, MAX_PATH));
    Uncount(record);
    plugin->HoldLibraryForRunningCalls();
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    m_pendingUnloads.push_back(PendingUnload{record, plugin, noLegacyLaunch});
    if (m_pendingTimer == 0) {
        g_timerRegistry = this;
        m_pendingTimer = ::SetTimer(nullptr, 0, kReturnedUnloadsPeriodMs, &CPluginInterface::FinishReturnedUnloadsTimer);
    }
}

void CALLBACK CPluginInterface::FinishReturnedUnloadsTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (CPluginInterface* registry = g_timerRegistry.load()) registry->FinishReturnedUnloads();
}

void CPluginInterface::FinishReturnedUnloads()
{
    std::vector<PendingUnload> returned;
    {
        std::lock_guard<zerova::Mutex> guard(m_listLock);
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
    std::lock_guard<zerova::Mutex> guard(m_listLock);
    m_retired.push_back(RetiredPlugin{record, std::move(plugin), lastSnapshot, seenByOthers ? ::GetTickCount64() : 0});
}

void CPluginInterface::DeleteUnreadRetired()
{
    std::vector<RetiredPlugin> unread;
    {
        std::lock_guard<zerova::Mutex> guard(m_listLock);
        unsigned long long oldestWalk = ~0ull;
        {
            std::lock_guard<zerova::Mutex> snapshots(m_snapshotLock);
            if (!m_liveSnapshots.empty()) oldestWalk = *m_liveSnapshots.begin();
        }
        const ULONGLONG now = ::GetTickCount64();
        while (m_retired.size() > kRetiredKept) {
            RetiredPlugin& oldest = m_retired.front();
            // A pending unload keeps its library until it finishes, so it is in use by that test too.
            const bool inUse = (oldest.leftAt != 0 && now - oldest.leftAt < kRetiredGraceMs) ||
                               oldest.lastSnapshot >= oldestWalk || oldest.plugin->CallsRunning() ||
                               oldest.plugin->IsPinnedForReport() ||
                               oldest.plugin->GetHinstance() != nullptr;
            if (inUse) break;
            unread.push_back(std::move(oldest));
            m_retired.pop_front();
        }
    }
    for (RetiredPlugin& retired : unread) {
        retired.plugin.reset();
        m_handles.Release(retired.record);
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
        std::lock_guard<zerova::Mutex> guard(m_listLock);
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
