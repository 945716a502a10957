// What every call into a plug-in leaves in a file that outlives the process: which plug-in and
// entry point each thread is inside of, and since when. It serves two readers:
// - the hang watch of this process, a thread that notices a call running longer than the limit
//   while it still runs, and hears when it returns;
// - the next start of the tray, which reads the files of processes that ended without closing
//   theirs: a plug-in that was in a call then was there when the process ended.
//
// The file is mapped into memory, so a call costs a few stores and one slim lock; the system
// writes the pages back even when the process is ended abruptly. A live process keeps its file
// open without sharing it for deletion, so only the files of ended processes can be taken.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "Handles.h"
#include "Lock.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace plugins {

// What the hang watch tells, on its own thread, about a call that runs too long.
class IHangListener {
public:
    virtual ~IHangListener() = default;
    // The owner stays alive while the watch uses it: Pin counts like a running call.
    virtual void Pin(void* owner) = 0;
    virtual void Unpin(void* owner) = 0;
    virtual void CallHung(void* owner, const wchar_t* entry, DWORD runningMs) = 0;
    // After CallHung, once the call has returned; exactly once.
    virtual void HungCallReturned(void* owner) = 0;
};

// A plug-in that was inside a call when its process ended.
// Seconds with one decimal, as the hang and slow-load messages show a call's or a load's time.
std::wstring SecondsText(ULONGLONG milliseconds);

struct EndedInCall {
    std::wstring plugin;  // its registry subkey
    std::wstring entry;   // the entry point
    std::wstring dump;    // the crash dump written as the process ended, if any
};

class CallRecord {
public:
    static constexpr int kThreads = 64;
    static constexpr int kNames = 256;
    static constexpr int kNameLength = 128;
    static constexpr int kEntryLength = 24;

    // Opens this process's record in folder and reads the records of ended processes there.
    explicit CallRecord(const wchar_t* folder);
    ~CallRecord();
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;

    bool IsOpen() const { return m_view != nullptr; }
    // What the records of ended processes held, taken once.
    std::vector<EndedInCall> TakeEndedInCall();
    // The index a plug-in's calls are recorded under (its registry subkey); 0 when the table is full.
    int NameIndex(const wchar_t* subkey);

    // One call: Begin before it, End after it, on the same thread, nested in order.
    struct Mark {
        int slot = -1;
        bool outermost = false;
        LONG call = 0;
        // The enclosing call of the same thread, put back by End.
        LONG outerName = 0;
        LONG outerCall = 0;
        LONGLONG outerStart = 0;
        LONG outerReported = 0;
        void* outerOwner = nullptr;
        void* owner = nullptr;
        wchar_t outerEntry[kEntryLength] = {};
    };
    void Begin(Mark& mark, int nameIndex, const wchar_t* entry, void* owner);
    void End(Mark& mark);
    // The call of mark faulted and its fault is being handled (a dump written): not a hang.
    void Faulting(const Mark& mark);

    // The hang watch: calls running longer than the limit (read again at every look, 0: no
    // watching) are told to listener. A null listener stops it.
    void WatchHangs(std::function<DWORD()> limitMs, IHangListener* listener);

    // A fault ends the process: no hang is reported any more while its dump is written.
    void ProcessEnding() { m_processEnding = true; }

    // Written into the record by a fault that ends the process, for the next start.
    void NoteProcessDump(const wchar_t* dumpPath);

private:
    struct View;
    struct LiveSlot;
    void ReadEndedRecords(const wchar_t* folder);
    int ClaimSlot();
    void Watch();
    void CheckSlot(int index, DWORD limitMs);

    std::wstring m_path;
    zerova::UniqueFileHandle m_file;
    zerova::UniqueKernelHandle m_mapping;
    View* m_view = nullptr;
    std::unique_ptr<LiveSlot[]> m_live;
    std::vector<EndedInCall> m_endedInCall;
    zerova::Mutex m_namesLock;

    std::function<DWORD()> m_limitMs;
    std::atomic<IHangListener*> m_listener{nullptr};
    std::atomic<bool> m_processEnding{false};
    zerova::UniqueKernelHandle m_stopWatch;
    std::thread m_watch;
};

}  // namespace plugins
