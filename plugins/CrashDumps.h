// Crash dumps for plug-in vendors: a minidump (every thread and module, the faulting thread's
// stack and the exception) for each fault the guard takes and for a fault that ends the process.
// The folder keeps the newest dumps only, within a size cap.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace plugins {

class CallRecord;

class CrashDumps {
public:
    static constexpr int kKept = 10;
    static constexpr ULONGLONG kCapBytes = 256ull * 1024 * 1024;

    // settingsKey (under HKEY_LOCAL_MACHINE) may turn dumps off: "WriteCrashDumps" = 0.
    CrashDumps(std::wstring folder, std::wstring settingsKey);
    const std::wstring& Folder() const { return m_folder; }
    // Writes the dump of the exception on the given thread of this process, from a process of its
    // own (VarnelDumpWriter.exe beside the library), and waits for it; the dump's full path, or
    // empty when none was written.
    std::wstring Write(EXCEPTION_POINTERS* exception, DWORD faultingThread, const wchar_t* tag) const;

    // From now on a fault that ends the process leaves a dump, named in calls for the next start.
    // The filter that was set before still runs after it.
    void WatchProcessFaults(CallRecord* calls);
    void StopWatchingProcessFaults();

private:
    void Prune() const;

    std::wstring m_folder;
    std::wstring m_settingsKey;
};

}  // namespace plugins
