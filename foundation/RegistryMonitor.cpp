#include "RegistryMonitor.h"

#include "TrayConstants.h"

#include "DebugTrace.h"
#include "VarnelPrivateInterface.h"
#include "VarnelUtils.h"

#include <process.h>

// The monitor's lines name the module's source file, as the module's other lines do.
#undef ZEROVA_SOURCE_FILE
#define ZEROVA_SOURCE_FILE L"OXIL_dllmain.cpp"

namespace {
const DWORD kQuietPeriodMs = 5000;

void CALLBACK WakeMonitor(ULONG_PTR) {}

// Waits for a thread while letting messages sent to this thread through.
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

namespace foundation {

RegistryMonitor::RegistryMonitor(CVarnelUtils& utils) : m_utils(utils) {}

RegistryMonitor::~RegistryMonitor() { Stop(); }

void RegistryMonitor::Start()
{
    if (m_thread) return;
    m_stopping = false;
    m_stopEvent.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_stopEvent) ZEROVA_TRACE(4, L"Failed to create stop event");
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, &RegistryMonitor::ThreadProc, this, 0, nullptr);
    if (thread == 0) {
        ZEROVA_TRACE(4, L"Thread initialization failed");
        return;
    }
    m_thread.Reset(reinterpret_cast<HANDLE>(thread));
}

void RegistryMonitor::Stop()
{
    if (!m_thread) return;
    m_stopping = true;
    if (m_stopEvent) ::SetEvent(m_stopEvent.Get());
    ::QueueUserAPC(&WakeMonitor, m_thread.Get(), 0);
    WaitLettingSentMessagesThrough(m_thread.Get());
    m_thread.Reset();
    m_stopEvent.Reset();
}

unsigned __stdcall RegistryMonitor::ThreadProc(void* monitor)
{
    static_cast<RegistryMonitor*>(monitor)->Run();
    return 0;
}

void RegistryMonitor::Notify()
{
    m_utils.VarnelIPC(CVarnelPrivateInterface::IPC_AGENT_REGKEY_CHANGE, L"Notify Change");
}

// Watches the agent's key; a notification goes out 5 seconds after the last change of a burst.
void RegistryMonitor::Run()
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, tray::kFrameworkKey, 0, KEY_NOTIFY, &opened) != ERROR_SUCCESS) {
        ZEROVA_TRACE(4, L"Unable to open registry key");
        return;
    }
    const zerova::UniqueRegKey key(opened);
    Notify();
    const zerova::UniqueKernelHandle changed(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!changed) {
        ZEROVA_TRACE(4, L"Failed to create event");
        return;
    }
    if (::RegNotifyChangeKeyValue(key.Get(), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                  changed.Get(), TRUE) != ERROR_SUCCESS) {
        ZEROVA_TRACE(4, L"Failed to setup a registry monitor");
        return;
    }
    ::Sleep(kQuietPeriodMs);
    Notify();

    DWORD timeout = INFINITE;
    // Without a stop event (its creation failed) only the change event is waited for.
    const HANDLE events[2] = {m_stopEvent.Get(), changed.Get()};
    const DWORD first = m_stopEvent ? 0 : 1;
    while (!m_stopping) {
        const DWORD woke = ::WaitForMultipleObjectsEx(2 - first, events + first, FALSE, timeout, TRUE) + first;
        if (woke == WAIT_IO_COMPLETION + first) continue;
        if (woke == WAIT_OBJECT_0) break;
        if (woke == WAIT_OBJECT_0 + 1) {
            const bool again = ::RegNotifyChangeKeyValue(key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.Get(),
                                                         TRUE) == ERROR_SUCCESS;
            ZEROVA_TRACE(4, again ? L"Reregistered the registry monitor successfully"
                                  : L"Unable to reregister the registry monitor");
            timeout = kQuietPeriodMs;
        } else if (woke == WAIT_TIMEOUT) {
            Notify();
            timeout = INFINITE;
        } else {
            break;
        }
    }
}

}  // namespace foundation
