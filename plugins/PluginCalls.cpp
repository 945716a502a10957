// The calls into a plug-in's code: the rule each call keeps, its count, its fault, and the wait of
// an unload for the calls of other threads.
#include "PluginObjectParts.h"

#include "TrayConstants.h"

#include "PluginInterface.h"
#include "SafeString.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

using plugins::kMessageCapacity;

namespace {
const int kFaultString = 439;
const int kDumpNoteString = 446;
const int kGaveUpWaitingString = 441;
const long long kCallDrainRecheckMs = 20;
// How long an unload waits for calls into the plug-in that run on other threads.
const auto kCallDrainTimeout = std::chrono::seconds(10);
}  // namespace

HANDLE plugins::CallsEndedEvent()
{
    static const zerova::UniqueKernelHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return event.Get();
}

namespace {
// A waiter counts itself before it looks at a plug-in's calls, and a call's end lowers the count of
// calls before it looks at the waiters: one of the two always sees the other.
std::atomic<int> s_callsEndedWaiters{0};
}  // namespace

void plugins::SignalCallsEnded()
{
    if (s_callsEndedWaiters.load() > 0) ::SetEvent(CallsEndedEvent());
}

plugins::CallsEndedWaiter::CallsEndedWaiter() { ++s_callsEndedWaiters; }

plugins::CallsEndedWaiter::~CallsEndedWaiter() { --s_callsEndedWaiters; }

zerova::ThreadValue<const CPlugin::CallScope*> CPlugin::CallScope::s_innermost;

// The fault, the error state and the error's number become visible together: whoever sees the
// plug-in as faulted sees it in state 2 with error 439.
bool CPlugin::MarkFaulted()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    if (m_faulted) return false;
    lastError = kFaultString;
    state = VARNEL_PLUGIN_STATE_ERROR;
    m_stateNow = VARNEL_PLUGIN_STATE_ERROR;
    flags.fetch_or(PLUGIN_FLAG_ERROR);
    m_faulted = true;
    return true;
}

void CPlugin::OnFault(const wchar_t* entryName, DWORD code, const std::wstring& dumpPath)
{
    wchar_t shownName[MAX_PATH], exception[16];
    GetDisplayName(shownName, MAX_PATH);
    zerova::FormatString(exception, 16, L"0x%08X", static_cast<unsigned>(code));
    ZEROVA_TRACE(0, L"CPlugin::OnFault - \"%s\" faulted in %s with exception %s", shownName, entryName, exception);
    m_registry.PluginFaulted(handle);
    wchar_t message[kMessageCapacity];
    FormatMessageOf(kFaultString, message, kMessageCapacity, shownName, entryName, exception);
    // The dump's file name goes into the error and the history line; the folder is documented.
    if (!dumpPath.empty()) {
        const size_t slash = dumpPath.find_last_of(L'\\');
        const std::wstring file = slash == std::wstring::npos ? dumpPath : dumpPath.substr(slash + 1);
        wchar_t dumpNote[MAX_PATH];
        FormatMessageOf(kDumpNoteString, dumpNote, MAX_PATH, file.c_str());
        zerova::AppendString(message, kMessageCapacity, L" ");
        zerova::AppendString(message, kMessageCapacity, dumpNote);
    }
    m_registry.RecordOffence(EntryName().c_str(), message);
    RecordError(kFaultString, message);
    m_registry.RefreshTrayState();
}

bool CPlugin::HasFaulted() const { return m_faulted; }

void CPlugin::StopCalls()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    m_unloading = true;
}

bool CPlugin::IsUnloading() const { return m_unloading; }

bool CPlugin::CallsRunning() const { return m_callsInFlight.load() > 0; }

bool CPlugin::IsCalledOnThisThread() const
{
    return CallScope::IsInside(this);
}

const wchar_t* CPlugin::EntryCalledOnThisThread() const { return CallScope::InnermostEntry(this); }

bool CPlugin::WasEverLoaded() const { return m_everLoaded.load(); }

bool CPlugin::WaitForCallsToEnd()
{
    // A call on this very thread (an unload from inside a call into the plug-in) cannot end first.
    if (IsCalledOnThisThread()) return !CallsRunning();
    const auto deadline = std::chrono::steady_clock::now() + kCallDrainTimeout;
    const plugins::CallsEndedWaiter waiting;
    while (CallsRunning()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        // Shared by every plug-in, so a wake may be another's: the count is looked at again at
        // least every kCallDrainRecheckMs.
        HANDLE ended = plugins::CallsEndedEvent();
        const DWORD wait = static_cast<DWORD>(std::min<long long>(left.count(), kCallDrainRecheckMs));
        // A call in flight may be sending a message to this thread and wait for the answer.
        if (::MsgWaitForMultipleObjectsEx(1, &ended, wait, QS_SENDMESSAGE, 0) ==
            WAIT_OBJECT_0 + 1) {
            MSG message;
            ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
    return true;
}

void CPlugin::ReportUnloadWaiting()
{
    wchar_t message[kMessageCapacity], shownName[MAX_PATH];
    GetDisplayName(shownName, MAX_PATH);
    FormatMessageOf(kGaveUpWaitingString, message, kMessageCapacity, shownName);
    m_support.errors->Error(kGaveUpWaitingString, message);
}

bool CPlugin::CanUnload()
{
    bool result = true;
    CallIntoPlugin(L"PluginCanUnload", &CPlugin::pfnCanUnload, CallRule::WhileLoaded,
                   [&](VARNEL_CAN_UNLOAD_CALLBACK_PROC proc, const CallArguments& call) { proc(&result, call.context); });
    return result;
}

void CPlugin::NotifySuiteMenuAction()
{
    CallIntoPlugin(L"its suite menu callback", &CPlugin::pfnSuiteMenuAction, CallRule::WhileLoaded,
                   [](VARNEL_SUITE_MENU_ACTION_CALLBACK proc, const CallArguments& call) {
                       proc(call.handle, call.context, call.cookie);
                   });
}

void CPlugin::CallActivity(VARNEL_ACTIVITY activity, int first, INT_PTR second)
{
    CallIntoPlugin(L"PluginActivity", &CPlugin::pfnActivity, CallRule::WhileLoaded,
                   [&](VARNEL_ACTIVITY_CALLBACK_PROC proc, const CallArguments& call) {
                       proc(activity, first, second, call.context);
                   });
}

void CPlugin::CallUpdate()
{
    CallIntoPlugin(L"PluginUpdate", &CPlugin::pfnUpdate, CallRule::WhileLoaded,
                   [](VARNEL_UPDATE_CALLBACK_PROC proc, const CallArguments& call) { proc(call.context); });
}

void CPlugin::CallLogError(HWND window, const wchar_t* firstText, const wchar_t* secondText, int number)
{
    CallIntoPlugin(L"PluginLogError", &CPlugin::pfnLogError, CallRule::WhileLoaded,
                   [&](VARNEL_LOG_ERROR_CALLBACK_PROC proc, const CallArguments& call) {
                       proc(window, firstText, secondText, number, call.context);
                   });
}

bool CPlugin::GetAboutInfo(VARNEL_ABOUT_INFO* info, wchar_t** pairs, wchar_t** extra, bool* more)
{
    if (info == nullptr) return false;
    std::memset(info, 0, sizeof(*info));
    if (pairs == nullptr || extra == nullptr) return false;
    *pairs = nullptr;
    *extra = nullptr;
    const bool called = CallIntoPlugin(L"PluginGetAboutBoxText", &CPlugin::pfnGetAboutBoxText, CallRule::WhileLoaded,
                                       [&](VARNEL_GET_ABOUT_BOX_TEXT_CALLBACK_PROC proc, const CallArguments& call) {
                                           proc(info, pairs, extra, call.context, more);
                                       });
    if (!called) {
        if (more != nullptr) *more = false;
        return false;
    }
    // The record's texts end within their fields whatever the plug-in wrote.
    info->productName[259] = info->version[259] = info->furtherLine[259] = L'\0';
    return true;
}

bool CPlugin::GetHealth(VARNEL_PLUGIN_STATE* state, wchar_t* name, int nameCapacity, wchar_t* text, int textCapacity,
                        bool* more)
{
    if (state == nullptr || name == nullptr || text == nullptr || nameCapacity < 1 || textCapacity < 1) return false;
    *state = VARNEL_PLUGIN_STATE_OK;
    // A plug-in whose call hangs is not asked: its line says that it does not respond.
    const bool called = !m_hung &&
                        CallIntoPlugin(L"PluginGetPluginHealth", &CPlugin::pfnGetPluginHealth, CallRule::WhileLoaded,
                                       [&](VARNEL_GET_PLUGIN_HEALTH_CALLBACK_PROC proc, const CallArguments& call) {
                                           proc(state, name, nameCapacity, text, textCapacity, call.context, more);
                                       });
    if (called) {
        name[nameCapacity - 1] = L'\0';
        text[textCapacity - 1] = L'\0';
    } else {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        displayName.CopyTo(name, nameCapacity);
        *state = this->state;
        stateText.CopyTo(text, textCapacity);
        if (more != nullptr) *more = false;
    }
    if (text[0] == L'\0') {
        m_support.Text(tray::kEverythingWorkingString, text, textCapacity);
        SetStateText(text);
    }
    return true;
}
