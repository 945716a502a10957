// What the files of the plug-in object share: the scope that counts a call into the plug-in and the
// one way into its code. Private to the plug-in object's files (Plugin.cpp, PluginCalls.cpp,
// PluginLoader.cpp).
#pragma once

#include "Plugin.h"
#include "CallRecord.h"
#include "PluginFaultGuard.h"
#include "ThreadValue.h"

#include "DebugTrace.h"

#include <mutex>
#include <string>

// Every line of the plug-in object names its source file, whichever of its files writes it.
#undef ZEROVA_SOURCE_FILE
#define ZEROVA_SOURCE_FILE L"Plugin.cpp"

namespace plugins {
// The longest message a plug-in's error report is formatted into.
const int kMessageCapacity = 4096;
// Set whenever the last call in flight into some plug-in returns while an unload waits for calls to
// end. One for the process: a plug-in object outlives its unload, and an event of its own would be a
// handle kept per reload.
HANDLE CallsEndedEvent();
// Sets the event when someone waits on it: setting an event is a trip to the system (tens of
// microseconds under Wine), which every plug-in call would otherwise pay.
void SignalCallsEnded();
// Counts its thread among those waiting on the event for as long as it lives.
class CallsEndedWaiter {
public:
    CallsEndedWaiter();
    ~CallsEndedWaiter();
    CallsEndedWaiter(const CallsEndedWaiter&) = delete;
    CallsEndedWaiter& operator=(const CallsEndedWaiter&) = delete;
};
}  // namespace plugins

// Marks a call into the plug-in, so that its library is not freed while the call runs. The calls
// a thread is inside of are a chain of these scopes on its own stack, innermost first. The chain's
// head is a plain pointer in a slot of the thread (see ThreadValue.h).
class CPlugin::CallScope {
public:
    CallScope(CPlugin& plugin, const wchar_t* entry) : m_plugin(plugin), m_entry(entry), m_outer(s_innermost.Get())
    {
        ++m_plugin.m_callsInFlight;
        s_innermost.Set(this);
        if (m_plugin.m_calls != nullptr) m_plugin.m_calls->Begin(m_mark, m_plugin.m_callName, entry, &m_plugin);
    }
    ~CallScope()
    {
        if (m_plugin.m_calls != nullptr) m_plugin.m_calls->End(m_mark);
        s_innermost.Set(m_outer);
        if (--m_plugin.m_callsInFlight == 0) plugins::SignalCallsEnded();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    static bool IsInside(const CPlugin* plugin) { return InnermostEntry(plugin) != nullptr; }

    // The guard took a fault of this call: from now on it is not watched for a hang.
    static void FaultTaken(void* scope)
    {
        auto* taken = static_cast<CallScope*>(scope);
        if (taken->m_plugin.m_calls != nullptr) taken->m_plugin.m_calls->Faulting(taken->m_mark);
    }

    // The entry point of the plug-in this thread is in, innermost first; null when none.
    static const wchar_t* InnermostEntry(const CPlugin* plugin)
    {
        for (const CallScope* scope = s_innermost.Get(); scope != nullptr; scope = scope->m_outer)
            if (&scope->m_plugin == plugin) return scope->m_entry;
        return nullptr;
    }

private:
    static zerova::ThreadValue<const CallScope*> s_innermost;
    CPlugin& m_plugin;
    const wchar_t* const m_entry;
    const CallScope* const m_outer;
    plugins::CallRecord::Mark m_mark;
};

// What a hung call put aside, for when it returns.
struct CPlugin::HungCall {
    VARNEL_PLUGIN_STATE stateBefore = VARNEL_PLUGIN_STATE_OK;
    std::wstring textBefore;
    bool errorFlagBefore = false;
    std::wstring entry;
    ULONGLONG since = 0;
};

template <typename Proc, typename Call>
bool CPlugin::CallIntoPlugin(const wchar_t* entryName, Proc CPlugin::*entry, CallRule rule, Call&& call)
{
    std::unique_lock<zerova::Mutex> guard(m_lock);
    const Proc proc = this->*entry;
    if (proc == nullptr || !m_library) return false;
    // After a fault only the clean-up is still made, once and guarded like every call.
    if (m_faulted && rule != CallRule::Once) return false;
    // A plug-in being unloaded takes no new call but its clean-up.
    if (rule == CallRule::WhileLoaded && !IsLoadedLocked()) return false;
    if (rule == CallRule::Once) this->*entry = nullptr;  // also when the call re-enters
    const CallArguments arguments{context, handle, suiteCookie};
    // Counted before the lock goes: an unload on another thread either waits for this call or
    // finds the plug-in no longer loaded.
    plugins::PluginFault fault;
    bool firstFault = false;
    std::wstring dumpPath;
    // Named after the plug-in's registry key, which stays while the call runs.
    plugins::FaultDump dump{m_dumps, registrySubkey.Get(), &dumpPath};
    {
        CallScope scope(*this, entryName);
        dump.beforeWrite = &CallScope::FaultTaken;
        dump.context = &scope;
        guard.unlock();
        auto invoke = [&] { call(proc, arguments); };
        if (plugins::RunGuarded(invoke, &fault, m_dumps != nullptr ? &dump : nullptr)) return true;
        firstFault = MarkFaulted();
    }
    // Reported once the call no longer counts as running, so that an unload waiting for it is not
    // held up by the report (which changes the menu and the dialogs).
    if (firstFault) OnFault(entryName, fault.code, dumpPath);
    return false;
}
