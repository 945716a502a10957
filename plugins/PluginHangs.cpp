// What the plug-in object does about a call that hangs and a load that was slow: the report while
// the call runs, the state put back when it returns, the note of a slow start.
#include "PluginObjectParts.h"

#include "CallerText.h"

#include "PluginInterface.h"
#include "SafeString.h"

#include <string>

using plugins::kMessageCapacity;

namespace {
const int kHangString = 445;
const int kRespondsAgainString = 447;
const int kSlowStartString = 452;
}  // namespace

using plugins::SecondsText;

bool CPlugin::SlowStartNote(wchar_t* note, int capacity) const
{
    const DWORD slow = m_slowLoadMs.load();
    return slow != 0 && FormatMessageOf(kSlowStartString, note, capacity, SecondsText(slow).c_str());
}

void CPlugin::UseFaultRecords(plugins::CallRecord* calls, const plugins::CrashDumps* dumps)
{
    m_calls = calls;
    m_dumps = dumps;
}

void CPlugin::PinForReport() { ++m_reportPins; }

void CPlugin::UnpinReport() { --m_reportPins; }

bool CPlugin::IsPinnedForReport() const { return m_reportPins.load() > 0; }

// The hang shows in the same step as the mark that puts a state set meanwhile aside: a reader sees
// either the state before or the hang, and a state set after that step waits for the call's end.
void CPlugin::ReportHang(const wchar_t* entry, DWORD runningMs)
{
    wchar_t shownName[MAX_PATH];
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        if (m_hung || m_faulted) return;
        displayName.CopyTo(shownName, MAX_PATH);
    }
    wchar_t message[kMessageCapacity];
    FormatMessageOf(kHangString, message, kMessageCapacity, shownName, entry, SecondsText(runningMs).c_str());
    const std::wstring shown(message, plugins::StateTextCut(message));
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        if (m_hung || m_faulted) return;
        m_hungCall = std::make_unique<HungCall>();
        m_hungCall->stateBefore = state;
        m_hungCall->textBefore = stateText.Get();
        m_hungCall->errorFlagBefore = (flags.load() & PLUGIN_FLAG_ERROR) != 0;
        m_hungCall->entry = entry != nullptr ? entry : L"";
        m_hungCall->since = ::GetTickCount64() - runningMs;
        state = VARNEL_PLUGIN_STATE_ERROR;
        m_stateNow = VARNEL_PLUGIN_STATE_ERROR;
        stateText.Assign(shown.c_str());
        lastError = kHangString;
        flags.fetch_or(PLUGIN_FLAG_ERROR);
        m_hung = true;
    }
    ZEROVA_TRACE(0, L"CPlugin::ReportHang - %s", message);
    m_registry.RecordOffence(EntryName().c_str(), message);
    m_support.errors->Error(kHangString, message);
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    WriteHistory(VARNEL_PLUGIN_STATE_ERROR, shown.c_str(), nullptr, &now);
    if (!IsErrorLogger()) PublishStateChange(shownName, VARNEL_PLUGIN_STATE_ERROR, shown.c_str(), now);
    m_registry.RefreshTrayState();
    m_hangReported = true;
}

// The state from before the hang comes back, with a history line that says the plug-in responds
// again; what the plug-in set meanwhile is what comes back.
void CPlugin::HangEnded()
{
    wchar_t shownName[MAX_PATH], entry[MAX_PATH], restoredText[MAX_PATH];
    VARNEL_PLUGIN_STATE restored = VARNEL_PLUGIN_STATE_OK;
    ULONGLONG hungFor = 0;
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        if (!m_hung || m_hungCall == nullptr) return;
        m_hung = false;
        m_hangReported = false;
        const std::unique_ptr<HungCall> hung = std::move(m_hungCall);
        if (m_faulted) return;
        displayName.CopyTo(shownName, MAX_PATH);
        zerova::CopyString(entry, MAX_PATH, hung->entry.c_str());
        hungFor = ::GetTickCount64() - hung->since;
        restored = hung->stateBefore;
        zerova::CopyString(restoredText, MAX_PATH, hung->textBefore.c_str());
        state = restored;
        m_stateNow = restored;
        stateText.Assign(restoredText);
        if (!hung->errorFlagBefore) flags.fetch_and(~static_cast<unsigned>(PLUGIN_FLAG_ERROR));
    }
    wchar_t message[kMessageCapacity];
    FormatMessageOf(kRespondsAgainString, message, kMessageCapacity, shownName, entry, SecondsText(hungFor).c_str());
    ZEROVA_TRACE(0, L"CPlugin::HangEnded - %s", message);
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    WriteHistory(restored, message, nullptr, &now);
    if (!IsErrorLogger()) PublishStateChange(shownName, restored, restoredText, now);
    m_registry.RefreshTrayState();
}

bool CPlugin::PutAsideWhileHung(VARNEL_PLUGIN_STATE newState, const wchar_t* text)
{
    if (m_hungCall == nullptr) return false;
    m_hungCall->stateBefore = newState;
    m_hungCall->textBefore.assign(text, plugins::StateTextCut(text));
    return true;
}

void CPlugin::NoteSlowLoad(DWORD loadMs) { m_slowLoadMs = loadMs; }

std::wstring CPlugin::EntryName() const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    const std::wstring key = registrySubkey.Get();
    return key.substr(key.find_last_of(L'\\') + 1);
}
