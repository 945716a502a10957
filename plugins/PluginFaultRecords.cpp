// The registry's records of plug-ins that hang, fault or end the process: the call record and its
// hang watch, crash dumps, the quarantine of repeat offenders and slow loads.
#include "PluginInterface.h"

#include "CallRecord.h"
#include "CrashDumps.h"
#include "Quarantine.h"

#include "DebugTrace.h"
#include "FileIO.h"
#include "Plugin.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <shlobj.h>

const wchar_t* const CPluginInterface::SettingsKey = L"SOFTWARE\\Zerova\\Varnel";

namespace {
const wchar_t kHangLimitValue[] = L"HangLimitMilliseconds";
const DWORD kDefaultHangLimitMs = 5000;
const ULONGLONG kSlowLoadMs = 1000;
const wchar_t kRecordsSubfolder[] = L"Zerova\\Varnel";
const UINT kQuarantinedString = 448;
const UINT kEndedInCallString = 449;
const UINT kSlowLoadString = 450;
const UINT kQuarantinedLineString = 451;
const UINT kDumpNoteString = 446;

// The folder under the local application data, made when missing; empty when it cannot be.
std::wstring RecordsFolder(const wchar_t* name)
{
    wchar_t local[MAX_PATH] = L"";
    if (CFileIO::GetSpecialFolder(CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, local, MAX_PATH) == nullptr) return L"";
    const std::wstring folder = std::wstring(local) + L"\\" + kRecordsSubfolder + L"\\" + name;
    const int made = ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    return made == ERROR_SUCCESS || made == ERROR_ALREADY_EXISTS || made == ERROR_FILE_EXISTS ? folder : L"";
}

// The limit as the library's key says now (0: no hang watch).
DWORD HangLimitMs()
{
    DWORD limit = kDefaultHangLimitMs;
    if (!CRegistryEx::Get(HKEY_LOCAL_MACHINE, CPluginInterface::SettingsKey, kHangLimitValue, limit))
        limit = kDefaultHangLimitMs;
    return limit;
}

// The hang watch's reports reach the plug-in object of the call; the pin keeps it while they run.
class HangReports final : public plugins::IHangListener {
public:
    void Pin(void* owner) override { static_cast<CPlugin*>(owner)->PinForReport(); }
    void Unpin(void* owner) override { static_cast<CPlugin*>(owner)->UnpinReport(); }
    void CallHung(void* owner, const wchar_t* entry, DWORD runningMs) override
    {
        static_cast<CPlugin*>(owner)->ReportHang(entry, runningMs);
    }
    void HungCallReturned(void* owner) override { static_cast<CPlugin*>(owner)->HangEnded(); }
};
}  // namespace

void CPluginInterface::SetUpFaultRecords()
{
    m_quarantine = std::make_unique<plugins::Quarantine>(PluginsKey, SettingsKey);
    m_calls = std::make_unique<plugins::CallRecord>(RecordsFolder(L"Calls").c_str());
    m_dumps = std::make_unique<plugins::CrashDumps>(RecordsFolder(L"CrashDumps"), SettingsKey);
    CountOffencesOfEndedProcesses();
    m_dumps->WatchProcessFaults(m_calls.get());
    m_hangReports = std::make_unique<HangReports>();
    m_calls->WatchHangs(HangLimitMs, m_hangReports.get());
}

void CPluginInterface::StopHangWatch()
{
    if (m_calls != nullptr) m_calls->WatchHangs(nullptr, nullptr);
}

// After StopHangWatch, which the registry's destructor calls before it lets go of its plug-ins.
void CPluginInterface::TearDownFaultRecords(bool callsStillRunning)
{
    if (m_dumps != nullptr) m_dumps->StopWatchingProcessFaults();
    // A call that never returned still ends in the record: it stays for the process's life.
    if (callsStillRunning) static_cast<void>(m_calls.release());
    m_calls.reset();
}

void CPluginInterface::CountOffencesOfEndedProcesses()
{
    for (const plugins::EndedInCall& ended : m_calls->TakeEndedInCall()) {
        std::wstring reason = m_support.Formatted(kEndedInCallString, ended.plugin.c_str(), ended.entry.c_str());
        if (!ended.dump.empty()) {
            const size_t slash = ended.dump.find_last_of(L'\\');
            reason += L" " + m_support.Formatted(kDumpNoteString, ended.dump.substr(slash == std::wstring::npos ? 0 : slash + 1).c_str());
        }
        ZEROVA_TRACE(0, L"CPluginInterface - %s", reason.c_str());
        RecordOffence(ended.plugin.c_str(), reason.c_str());
    }
}

void CPluginInterface::RecordOffence(const wchar_t* subkey, const wchar_t* reason)
{
    if (m_quarantine == nullptr || zerova::IsEmpty(subkey)) return;
    if (m_quarantine->RecordOffence(subkey, reason))
        ZEROVA_TRACE(0, L"CPluginInterface - \"%s\" is in quarantine from its next start: %s", subkey, reason);
}

bool CPluginInterface::IsQuarantined(const wchar_t* subkey, std::wstring* reason, std::wstring* since) const
{
    return m_quarantine != nullptr && m_quarantine->IsQuarantined(subkey, reason, since);
}

bool CPluginInterface::ClearQuarantine(const wchar_t* subkey)
{
    if (m_quarantine == nullptr || !m_quarantine->Clear(subkey)) return false;
    std::lock_guard<zerova::Mutex> guard(m_quarantinedLock);
    m_quarantinedThisStart.erase(subkey);
    return true;
}

std::wstring CPluginInterface::CrashDumpFolder() const { return m_dumps != nullptr ? m_dumps->Folder() : L""; }

// A plug-in in quarantine is not loaded; the first refusal of a start is reported.
bool CPluginInterface::RefusedForQuarantine(const wchar_t* subkeyName)
{
    std::wstring reason;
    if (!IsQuarantined(subkeyName, &reason)) {
        std::lock_guard<zerova::Mutex> guard(m_quarantinedLock);
        m_quarantinedThisStart.erase(subkeyName);  // cleared by another process meanwhile
        return false;
    }
    {
        std::lock_guard<zerova::Mutex> guard(m_quarantinedLock);
        if (!m_quarantinedThisStart.emplace(subkeyName, reason).second) return true;
    }
    const std::wstring message = m_support.Formatted(kQuarantinedString, subkeyName, reason.c_str(), subkeyName);
    ZEROVA_TRACE(0, L"CPluginInterface::LoadPlugins - %s", message.c_str());
    m_support.errors->Error(static_cast<int>(kQuarantinedString), message.c_str());
    return true;
}

void CPluginInterface::NoteLoadTime(CPlugin* plugin, ULONGLONG loadMs)
{
    if (loadMs <= kSlowLoadMs) return;
    plugin->NoteSlowLoad(static_cast<DWORD>(loadMs));
    wchar_t name[MAX_PATH];
    plugin->GetDisplayName(name, MAX_PATH);
    const std::wstring seconds = plugins::SecondsText(loadMs);
    ZEROVA_TRACE(0, L"CPluginInterface::LoadPlugins - %s",
                 m_support.Formatted(kSlowLoadString, name, seconds.c_str()).c_str());
}

void CPluginInterface::AppendQuarantinedLines(zerova::BoundedAppender& out, int& row,
                                              const std::wstring& everythingWorking)
{
    std::lock_guard<zerova::Mutex> guard(m_quarantinedLock);
    for (const auto& quarantined : m_quarantinedThisStart) {
        const std::wstring text = m_support.Formatted(kQuarantinedLineString, quarantined.second.c_str());
        row += 1;
        // The line's context only has to be unique and stable while the registry lives.
        AppendHealthLine(out, const_cast<std::wstring*>(&quarantined.first), quarantined.first.c_str(),
                         VARNEL_PLUGIN_STATE_ERROR, text.c_str(), row, everythingWorking);
    }
}
