// The agent registry monitor: a thread that watches the agent's key and, once a burst of changes
// has been quiet for 5 seconds, asks the running tray host (copy-data reason 10) to look at the
// agent item again. The module root owns it.
#pragma once

#include "Handles.h"

#include <atomic>

class CVarnelUtils;

namespace foundation {

class RegistryMonitor {
public:
    explicit RegistryMonitor(CVarnelUtils& utils);
    // Stops the thread first.
    ~RegistryMonitor();
    RegistryMonitor(const RegistryMonitor&) = delete;
    RegistryMonitor& operator=(const RegistryMonitor&) = delete;

    // Starts the thread; nothing when one runs already.
    void Start();
    // Ends the thread and waits for it, letting messages sent to this thread through meanwhile.
    void Stop();

private:
    static unsigned __stdcall ThreadProc(void* monitor);
    void Run();
    void Notify();

    CVarnelUtils& m_utils;
    // Null when it could not be made: the thread then waits on its change event alone.
    zerova::UniqueKernelHandle m_stopEvent;
    zerova::UniqueKernelHandle m_thread;
    // Asked to end: also reaches a monitor without a stop event, through a queued call that wakes
    // its alertable wait.
    std::atomic<bool> m_stopping{false};
};

}  // namespace foundation
