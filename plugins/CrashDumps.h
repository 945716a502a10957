// Crash dumps for plug-in vendors: a minidump (every thread and module, the faulting thread's
// stack and the exception) for each fault the guard takes and for a fault that ends the process.
// The folder keeps the newest dumps only, within a size cap.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "Handles.h"

#include <atomic>
#include <string>
#include <thread>

namespace plugins {

class CallRecord;

class CrashDumps {
public:
    static constexpr int kKept = 10;
    static constexpr ULONGLONG kCapBytes = 256ull * 1024 * 1024;

    // settingsKey (under HKEY_LOCAL_MACHINE) may turn dumps off: "WriteCrashDumps" = 0.
    CrashDumps(std::wstring folder, std::wstring settingsKey);
    ~CrashDumps();
    CrashDumps(const CrashDumps&) = delete;
    CrashDumps& operator=(const CrashDumps&) = delete;
    const std::wstring& Folder() const { return m_folder; }
    // Writes the dump of the exception on the given thread of this process, from a process of its
    // own (VarnelDumpWriter.exe beside the library), and waits for it; the dump's full path, or
    // empty when none was written.
    std::wstring Write(EXCEPTION_POINTERS* exception, DWORD faultingThread, const wchar_t* tag) const;

    // From now on a fault that ends the process leaves a dump, named in calls for the next start.
    // The filter that was set before still runs after it.
    void WatchProcessFaults(CallRecord* calls);
    void StopWatchingProcessFaults();

    // Has the fault that ends the process dumped by the writing thread: the faulting thread may
    // have no stack left for more than handing the fault over and waiting.
    void DumpProcessFault(EXCEPTION_POINTERS* exception);

private:
    void Prune() const;
    void WriteProcessDumps();

    std::wstring m_folder;
    std::wstring m_settingsKey;
    CallRecord* m_calls = nullptr;
    // The process fault handed to the writing thread, and its two signals.
    EXCEPTION_POINTERS* m_processFault = nullptr;
    DWORD m_faultingThread = 0;
    zerova::UniqueKernelHandle m_faultHandedOver;
    zerova::UniqueKernelHandle m_faultDumped;
    zerova::UniqueKernelHandle m_stopWriting;
    std::thread m_writer;
    std::atomic<DWORD> m_writerThread{0};
};

// A fault no code may resume from (a stack overflow) inside a plug-in's call: the process's own
// unhandled-exception filters run (the dump, the host's last word) and the process ends with the
// fault's code. Exceptions in window procedures may be swallowed by the system on their way up,
// which would leave the thread running without its stack's guard.
[[noreturn]] void EndProcessForFault(EXCEPTION_RECORD* record, CONTEXT* context);

}  // namespace plugins
