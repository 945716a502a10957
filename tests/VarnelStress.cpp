// The library under load: plug-in threads change states and menu items and talk to other hosts
// while the host thread unloads and reloads their plug-ins and a dialog thread reads the health
// text with the system health dialog open. Ends with exit code 0 only when nothing crashed or
// hung, every history line is well formed, every accepted state change is in the history exactly
// once, and every call with the handle of an unloaded plug-in was refused with error 530.
//
//   VarnelStress [--seconds N] [--threads N] [--seed N]
#include "HeadlessTray.h"
#include "TestEnvironment.h"

#include "CriticalSectionEx.h"
#include "FileIO.h"
#include "MenuXP.h"
#include "OXIL_dllmain.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "PluginStateHistory.h"
#include "ThreadManager.h"
#include "ErrorMsg.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"
#include "VarnelPluginAPI.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kPluginsKey[] = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
const wchar_t kFixturesKey[] = L"SOFTWARE\\Zerova\\VarnelTests\\Fixtures";
const int kMaxItemId = 24;
// The library rotates the history at 2 MiB; the checker takes the lines out well before that.
const LONGLONG kDrainBytes = 512 * 1024;

struct Options {
    int seconds = 5;
    int threads = 8;
    unsigned seed = 0;
    bool heapChecked = false;  // this process runs with the heap's checks (see RunWithHeapChecks)
    bool crashDumps = true;    // the faulting plug-in's faults are dumped (each takes a while)
};

// What one plug-in thread knows about its plug-in: the live handle, the handles of its unloaded
// earlier loads, and the menu items it added. The owner thread and the host thread take turns.
struct Slot {
    std::mutex lock;
    std::wstring subkey;
    std::wstring displayName;
    void* handle = nullptr;
    std::vector<void*> unloaded;
    std::set<int> items;
    std::set<std::wstring> acceptedTexts;
    // Counters, written by the owner thread only.
    long long stateChanges = 0;
    long long staleCalls = 0;
    long long menuCalls = 0;
    long long unguardedCalls = 0;
};

std::atomic<bool> g_stop{false};
std::atomic<long long> g_failures{0};
std::atomic<long long> g_reloads{0};
std::atomic<long long> g_healthReads{0};
std::atomic<long long> g_updateBroadcasts{0};
std::atomic<long long> g_faultsSurvived{0};
std::atomic<long long> g_refusedFaultyLoads{0};
std::atomic<size_t> g_finished{0};
std::atomic<long long> g_faultChecks{0};
std::atomic<long long> g_hangsSeen{0};
std::atomic<long long> g_readsWhileHung{0};
// The hanging plug-in's update call and the hang limit of the run.
const DWORD kHangMs = 150;
const DWORD kHangLimitMs = 50;
std::atomic<long long> g_nestedUnloads{0};
// The faulting plug-in's live handle, for the thread that watches how its fault shows.
std::atomic<void*> g_faultyHandle{nullptr};
std::mutex g_printLock;

void Fail(const char* format, ...)
{
    ++g_failures;
    std::lock_guard<std::mutex> guard(g_printLock);
    va_list arguments;
    va_start(arguments, format);
    std::fputs("FAIL: ", stdout);
    std::vfprintf(stdout, format, arguments);
    std::fputs("\n", stdout);
    va_end(arguments);
    std::fflush(stdout);
}

// ---------------------------------------------------------------- crash report

// Module+offset of a code address; false where no module holds it.
bool PrintAddress(UINT_PTR address)
{
    HMODULE module = nullptr;
    wchar_t name[MAX_PATH] = L"?";
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module))
        return false;
    GetModuleFileNameW(module, name, MAX_PATH);
    const wchar_t* file = wcsrchr(name, L'\\');
    std::printf("    %s+0x%llx\n", testenv::Narrow(file != nullptr ? file + 1 : name).c_str(),
                static_cast<unsigned long long>(address - reinterpret_cast<UINT_PTR>(module)));
    return true;
}

// Names the faulting thread's frames as module+offset, so a crash in a short CI run can be found.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception)
{
    std::printf("FAIL: exception 0x%08lx at %p on thread %lu\n", exception->ExceptionRecord->ExceptionCode,
                exception->ExceptionRecord->ExceptionAddress, GetCurrentThreadId());
#ifdef _WIN64
    CONTEXT context = *exception->ContextRecord;
    for (int frame = 0; frame < 24 && context.Rip != 0; ++frame) {
        PrintAddress(context.Rip);
        DWORD64 base = 0;
        RUNTIME_FUNCTION* function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        if (function == nullptr) {  // a leaf or no code at all: the return address is on top
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
            continue;
        }
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData, &establisher,
                         nullptr);
    }
#else
    // Without unwind tables: the faulting place, then the stack's words that point into a module's
    // code (return addresses, and now and then a stale one), nearest first.
    const CONTEXT& context = *exception->ContextRecord;
    std::printf("    access at %p, ecx %08lx\n",
                reinterpret_cast<void*>(exception->ExceptionRecord->ExceptionInformation[1]), context.Ecx);
    PrintAddress(context.Eip);
    const auto* stack = reinterpret_cast<const UINT_PTR*>(context.Esp);
    for (int word = 0, printed = 0; word < 2048 && printed < 24; ++word)
        if (!IsBadReadPtr(stack + word, sizeof(UINT_PTR)) && PrintAddress(stack[word])) ++printed;
#endif
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 4);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The words on a hung thread's stack that point into a module's code, nearest first: enough to
// tell where it waits.
void PrintStackOf(DWORD threadId)
{
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, threadId);
    if (thread == nullptr) return;
    if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
        if (GetThreadContext(thread, &context)) {
#ifdef _WIN64
            PrintAddress(context.Rip);
            const auto* stack = reinterpret_cast<const UINT_PTR*>(context.Rsp);
#else
            PrintAddress(context.Eip);
            const auto* stack = reinterpret_cast<const UINT_PTR*>(context.Esp);
#endif
            for (int word = 0, printed = 0; word < 4096 && printed < 32; ++word)
                if (!IsBadReadPtr(stack + word, sizeof(UINT_PTR)) && PrintAddress(stack[word])) ++printed;
        }
        ResumeThread(thread);
    }
    CloseHandle(thread);
}

// ---------------------------------------------------------------- the watchdog

// Each worker ticks its heartbeat; a worker that has not ticked for a long while is hung.
class Watchdog {
public:
    Watchdog(size_t workers, int limitSeconds) : m_beats(workers), m_limit(limitSeconds)
    {
        for (auto& beat : m_beats) beat = Now();
        m_thread = std::thread([this] { Watch(); });
    }
    ~Watchdog()
    {
        m_done = true;
        m_thread.join();
    }
    void Beat(size_t worker, const char* what)
    {
        m_beats[worker] = Now();
        m_what[worker % kNames] = what;
        m_threads[worker % kNames] = GetCurrentThreadId();
    }

private:
    static constexpr size_t kNames = 64;
    static long long Now() { return static_cast<long long>(GetTickCount64() / 1000); }
    void Watch()
    {
        while (!m_done) {
            Sleep(250);
            for (size_t i = 0; i < m_beats.size(); ++i) {
                const char* what = m_what[i % kNames].load();
                // A worker that has finished makes no more progress and need not.
                if (Now() - m_beats[i] <= m_limit || (what != nullptr && std::strcmp(what, "done") == 0)) continue;
                std::printf("FAIL: worker %zu made no progress for %d s (last: %s); deadlock\n", i, m_limit,
                            what != nullptr ? what : "?");
                for (size_t j = 0; j < m_beats.size(); ++j) {
                    const char* other = m_what[j % kNames].load();
                    std::printf("    worker %zu: %lld s ago, %s\n", j, Now() - m_beats[j].load(),
                                other != nullptr ? other : "?");
                }
                for (size_t j = 0; j < m_beats.size(); ++j) {
                    if (Now() - m_beats[j] <= m_limit) continue;
                    std::printf("  stack of worker %zu (thread %lu):\n", j, m_threads[j % kNames].load());
                    PrintStackOf(m_threads[j % kNames]);
                }
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        }
    }

    std::vector<std::atomic<long long>> m_beats;
    std::atomic<const char*> m_what[kNames] = {};
    std::atomic<DWORD> m_threads[kNames] = {};
    int m_limit;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// ---------------------------------------------------------------- the history file

struct HistoryTally {
    long long lines = 0;
    long long malformed = 0;
    std::map<std::wstring, std::multiset<std::wstring>> textsByName;
};

// "<FILETIME>|<state 0-5>|<name>|<text>|<date and time>|"
bool IsWellFormed(const std::wstring& line, std::wstring& name, std::wstring& text)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (size_t bar; (bar = line.find(L'|', start)) != std::wstring::npos; start = bar + 1)
        fields.push_back(line.substr(start, bar - start));
    if (fields.size() != 5 || start != line.size()) return false;
    if (fields[0].empty() || fields[0].find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    if (fields[1].size() != 1 || fields[1][0] < L'0' || fields[1][0] > L'5') return false;
    if (fields[2].empty() || fields[4].empty()) return false;
    name = fields[2];
    text = fields[3];
    return true;
}

// Takes the lines out of the history file under the library's own history lock and tallies them.
void DrainHistory(HistoryTally& tally, bool always)
{
    const wchar_t* path = CPluginInterface::Instance()->GetHistoryFilePath();
    if (!always && CFileIO::GetFileSize(path) < kDrainBytes) return;
    CCriticalSectionEx* lock = CPluginInterface::Instance()->GetHistoryLock();
    lock->Await();
    const std::wstring content = testenv::ReadText(path);
    DeleteFileW(path);
    lock->Leave();

    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            Fail("history ends inside a line: %s", testenv::Narrow(content.substr(start)).c_str());
            ++tally.malformed;
            break;
        }
        const std::wstring line = content.substr(start, end - start);
        start = end + 2;
        ++tally.lines;
        std::wstring name, text;
        if (!IsWellFormed(line, name, text)) {
            ++tally.malformed;
            Fail("malformed history line: %s", testenv::Narrow(line).c_str());
            continue;
        }
        tally.textsByName[name].insert(text);
    }
}

// ---------------------------------------------------------------- the plug-in threads

std::wstring MakeText(size_t slot, long long sequence)
{
    return L"stress " + std::to_wstring(slot) + L" " + std::to_wstring(sequence);
}

// A call whose outcome the owner can predict: it holds its slot, so its plug-in is not unloaded
// or reloaded meanwhile.
void GuardedCall(size_t index, Slot& slot, std::mt19937& random, long long& sequence)
{
    std::lock_guard<std::mutex> guard(slot.lock);
    CPluginInterface* registry = CPluginInterface::Instance();
    const int pick = static_cast<int>(random() % 100);
    const int itemId = 1 + static_cast<int>(random() % kMaxItemId);

    if (pick < 12 && !slot.unloaded.empty()) {
        void* stale = slot.unloaded[random() % slot.unloaded.size()];
        registry->ClearPluginLastError(stale);
        registry->ClearPluginLastError(slot.handle);
        const std::wstring text = MakeText(index, ++sequence);
        std::vector<wchar_t> buffer(text.begin(), text.end());
        buffer.push_back(L'\0');
        const int kind = static_cast<int>(random() % 4);
        bool result = false;
        if (kind == 0) VarnelSetState(stale, VARNEL_PLUGIN_STATE_WARNING, buffer.data());
        else if (kind == 1) result = VarnelAddMenuItem(stale, buffer.data(), itemId, VARNEL_MENU_CATEGORY_A);
        else if (kind == 2) result = VarnelSetMenuString(stale, static_cast<UINT>(itemId), buffer.data());
        else result = VarnelPluginCommunication(stale, buffer.data(), itemId);
        ++slot.staleCalls;
        if (result) Fail("call %d with an unloaded handle of slot %zu succeeded", kind, index);
        if (registry->GetPluginLastError(stale) != 530)
            Fail("call %d with an unloaded handle of slot %zu left error %d, not 530", kind, index,
                 registry->GetPluginLastError(stale));
        // Nothing of the stale call reaches the loaded plug-in; a call of another thread into it may
        // meanwhile have been reported hung (445).
        const int loadedError = registry->GetPluginLastError(slot.handle);
        if (loadedError != 0 && loadedError != 445)
            Fail("a call with an unloaded handle of slot %zu reached the loaded plug-in (error %d)", index,
                 registry->GetPluginLastError(slot.handle));
        return;
    }
    if (pick < 50) {
        const std::wstring text = MakeText(index, ++sequence);
        std::vector<wchar_t> buffer(text.begin(), text.end());
        buffer.push_back(L'\0');
        const auto state = static_cast<VARNEL_PLUGIN_STATE>(random() % 3);
        VarnelSetState(slot.handle, state, buffer.data());
        slot.acceptedTexts.insert(text);
        ++slot.stateChanges;
        VARNEL_PLUGIN_STATE now = VARNEL_PLUGIN_STATE_OK;
        wchar_t shown[MAX_PATH] = L"";
        const bool read = registry->GetState(slot.handle, now, shown, MAX_PATH);
        // A call into the plug-in that another thread makes may run past the hang limit: the
        // plug-in then shows the hang, and the state set meanwhile once the call has returned.
        if (read && now == VARNEL_PLUGIN_STATE_ERROR && std::wcsstr(shown, L"does not respond") != nullptr) {
            ++g_readsWhileHung;
            return;
        }
        if (!read || now != state || text != shown)
            Fail("slot %zu: state %d \"%s\" was not taken (read %d: state %d \"%s\", error %d)", index,
                 static_cast<int>(state), testenv::Narrow(text).c_str(), read ? 1 : 0, static_cast<int>(now),
                 testenv::Narrow(shown).c_str(), registry->GetPluginLastError(slot.handle));
        return;
    }
    ++slot.menuCalls;
    wchar_t caption[64];
    swprintf(caption, 64, L"Item %d of %zu", itemId, index);
    const bool present = slot.items.count(itemId) != 0;
    // One category and one caption per item, so that adding it again is a duplicate.
    const auto category = static_cast<VARNEL_MENU_CATEGORY>(itemId % 3);
    if (pick < 70) {
        const bool added = VarnelAddMenuItem(slot.handle, caption, itemId, category);
        if (added == present) Fail("slot %zu: adding item %d gave %d", index, itemId, added);
        slot.items.insert(itemId);
    } else if (pick < 82) {
        const bool removed = VarnelRemoveMenuItem(slot.handle, static_cast<UINT>(itemId));
        if (removed != present) Fail("slot %zu: removing item %d gave %d", index, itemId, removed);
        slot.items.erase(itemId);
    } else if (pick < 94) {
        const bool renamed = VarnelSetMenuString(slot.handle, static_cast<UINT>(itemId), caption);
        if (renamed != present) Fail("slot %zu: renaming item %d gave %d", index, itemId, renamed);
    } else {
        wchar_t text[] = L"stress ping";
        if (VarnelPluginCommunication(slot.handle, text, itemId)) Fail("plug-in communication gave true");
    }
}

// A call that races its own plug-in's unload: only survival is checked here, the menu's
// consistency at the end.
void UnguardedCall(Slot& slot, std::mt19937& random)
{
    void* handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(slot.lock);
        handle = slot.handle;
        ++slot.unguardedCalls;
    }
    const int itemId = kMaxItemId + 1 + static_cast<int>(random() % 8);
    wchar_t caption[] = L"racing item";
    switch (random() % 3) {
    case 0: VarnelAddMenuItem(handle, caption, itemId, VARNEL_MENU_CATEGORY_B); break;
    case 1: VarnelRemoveMenuItem(handle, static_cast<UINT>(itemId)); break;
    default: VarnelSetMenuString(handle, static_cast<UINT>(itemId), caption); break;
    }
}

void PluginThread(size_t index, Slot& slot, unsigned seed, Watchdog& watchdog)
{
    std::mt19937 random(seed);
    long long sequence = 0;
    while (!g_stop) {
        watchdog.Beat(index, "plug-in call");
        if (random() % 10 == 0) UnguardedCall(slot, random);
        else GuardedCall(index, slot, random, sequence);
        if (random() % 8 == 0) Sleep(0);
    }
    watchdog.Beat(index, "done");
    ++g_finished;
}

// ---------------------------------------------------------------- the faulting plug-in

// The faulting plug-in's entry point is reached from this thread at random moments: every update
// broadcast calls it, and it faults each time until the host reloads it.
void UpdateBroadcaster(size_t index, unsigned seed, Watchdog& watchdog)
{
    std::mt19937 random(seed);
    while (!g_stop) {
        watchdog.Beat(index, "update broadcast");
        CPluginInterface::Instance()->BroadcastUpdate();
        ++g_updateBroadcasts;
        Sleep(2 + random() % 30);
    }
    watchdog.Beat(index, "done");
    ++g_finished;
}

const wchar_t* const kFaultKinds[] = {L"AccessViolation", L"DivideByZero", L"CxxException"};

// Whoever sees the faulting plug-in as faulted must see it in the error state with error 439: the
// three become visible together.
void FaultWatcher(size_t index, Watchdog& watchdog)
{
    void* reported = nullptr;
    while (!g_stop) {
        watchdog.Beat(index, "fault watch");
        void* handle = g_faultyHandle.load();
        if (handle == nullptr || handle == reported) {
            Sleep(1);
            continue;
        }
        // An unloaded plug-in stays listed, so its object outlives this look.
        auto* plugin = static_cast<CPlugin*>(static_cast<VARNEL_PLUGIN_DATA*>(handle)->plugin);
        if (!plugin->HasFaulted()) {
            Sleep(1);
            continue;
        }
        ++g_faultChecks;
        const VARNEL_PLUGIN_STATE state = plugin->GetState();
        const int error = plugin->GetLastError();
        if (state != VARNEL_PLUGIN_STATE_ERROR || error != 439)
            Fail("the faulted plug-in shows state %d and error %d, not 2 and 439", static_cast<int>(state), error);
        reported = handle;
    }
    watchdog.Beat(index, "done");
    ++g_finished;
}

// One plug-in of its own for the host thread: a copy of the fixture under the slot's names; its
// configuration key goes to the last step.
bool RegisterOwnPlugin(const testenv::TempFolder& folder, Slot& slot, const wchar_t* fixture, const wchar_t* subkey,
                       const wchar_t* displayName, const std::function<bool(const std::wstring&)>& configure)
{
    slot.subkey = subkey;
    slot.displayName = displayName;
    const std::wstring file = slot.subkey + L".dll";
    const std::wstring copy = folder.File(file);
    const std::wstring config = std::wstring(kFixturesKey) + L"\\" + file;
    const std::wstring key = std::wstring(kPluginsKey) + L"\\" + slot.subkey;
    return CopyFileW(testenv::Join(testenv::ProgramFolder(), fixture).c_str(), copy.c_str(), FALSE) &&
           testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Path", copy) &&
           testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Name", slot.subkey) &&
           testenv::SetRegString(HKEY_LOCAL_MACHINE, config, L"DisplayName", slot.displayName) && configure(config);
}

bool RegisterFaultingPlugin(const testenv::TempFolder& folder, Slot& slot)
{
    return RegisterOwnPlugin(folder, slot, L"FixtureCapabilities.dll", L"StressFaulty", L"Faulting stress plug-in",
                             [](const std::wstring& config) {
                                 return testenv::SetRegString(HKEY_LOCAL_MACHINE, config, L"FaultIn", L"Update");
                             });
}

// A plug-in whose about text takes longer than the hang limit: the hang watch reports it while the
// reading thread waits, and puts its state back when the call returns. Only this thread reads the
// about text, so the other plug-ins' calls keep their pace.
bool RegisterHangingPlugin(const testenv::TempFolder& folder, Slot& slot)
{
    return RegisterOwnPlugin(folder, slot, L"FixtureCapabilities.dll", L"StressHanging", L"Hanging stress plug-in",
                             [](const std::wstring& config) {
                                 return testenv::SetRegString(HKEY_LOCAL_MACHINE, config, L"HangIn",
                                                              L"GetAboutBoxText") &&
                                        testenv::SetRegDword(HKEY_LOCAL_MACHINE, config, L"HangMs", kHangMs);
                             });
}

void AboutReader(size_t index, Watchdog& watchdog)
{
    std::vector<wchar_t> text(65536);
    while (!g_stop) {
        watchdog.Beat(index, "about text");
        if (!CPluginInterface::Instance()->GetAboutBoxText(text.data(), static_cast<int>(text.size())))
            Fail("the about text could not be read");
        Sleep(1);
    }
    watchdog.Beat(index, "done");
    ++g_finished;
}

// Whoever sees the plug-in reported as hung sees it in the error state; it is seen hung at all.
void HangWatcher(size_t index, const Slot& hanging, Watchdog& watchdog)
{
    auto* plugin = static_cast<CPlugin*>(static_cast<VARNEL_PLUGIN_DATA*>(hanging.handle)->plugin);
    while (!g_stop) {
        watchdog.Beat(index, "hang watch");
        const bool hungBefore = plugin->IsHung();
        const VARNEL_PLUGIN_STATE state = plugin->GetState();
        if (hungBefore && plugin->IsHung()) {
            ++g_hangsSeen;
            if (state != VARNEL_PLUGIN_STATE_ERROR)
                Fail("the plug-in reported as hung shows state %d, not 2", static_cast<int>(state));
        }
        Sleep(3);
    }
    watchdog.Beat(index, "done");
    ++g_finished;
}

// Once every call has returned, the hanging plug-in is no longer reported and shows what it showed
// before its hangs.
void CheckHangsEnded(const Slot& hanging)
{
    auto* plugin = static_cast<CPlugin*>(static_cast<VARNEL_PLUGIN_DATA*>(hanging.handle)->plugin);
    for (int look = 0; look < 100 && plugin->IsHung(); ++look) {
        testenv::DispatchWaitingMessages();
        Sleep(20);
    }
    if (plugin->IsHung()) Fail("the hanging plug-in is still reported as hung after its calls returned");
    if (plugin->GetState() != VARNEL_PLUGIN_STATE_OK)
        Fail("the hanging plug-in shows state %d after its calls returned, not 0", static_cast<int>(plugin->GetState()));
}

// ---------------------------------------------------------------- the dialog thread

void HealthReader(size_t index, Watchdog& watchdog)
{
    std::vector<wchar_t> text(65536);
    while (!g_stop) {
        watchdog.Beat(index, "health text");
        if (!CPluginInterface::Instance()->GetSystemHealthText(text.data(), static_cast<int>(text.size())))
            Fail("the health text could not be read");
        else if (wcsnlen(text.data(), text.size()) >= text.size())
            Fail("the health text is not terminated");
        ++g_healthReads;
        Sleep(1);
    }
    watchdog.Beat(index, "done");
    ++g_finished;
}

// ---------------------------------------------------------------- the host thread

// The host thread keeps its messages flowing while it waits for a slot, as a tray host must.
std::unique_lock<std::mutex> TakeSlot(Slot& slot)
{
    std::unique_lock<std::mutex> guard(slot.lock, std::defer_lock);
    while (!guard.try_lock()) {
        testenv::DispatchWaitingMessages();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
    return guard;
}

void Reload(Slot& slot)
{
    auto guard = TakeSlot(slot);
    CPluginInterface* registry = CPluginInterface::Instance();
    const ULONGLONG unloadStart = GetTickCount64();
    if (!registry->UnloadPlugin(slot.handle)) Fail("%s could not be unloaded", testenv::Narrow(slot.subkey).c_str());
    if (GetTickCount64() - unloadStart > 2000)
        std::printf("note: unloading %s took %llu ms\n", testenv::Narrow(slot.subkey).c_str(),
                    GetTickCount64() - unloadStart);
    slot.unloaded.push_back(slot.handle);
    slot.items.clear();
    slot.handle = nullptr;
    if (!registry->LoadPlugin(slot.subkey.c_str(), &slot.handle) || slot.handle == nullptr) {
        Fail("%s could not be loaded again (error %d)", testenv::Narrow(slot.subkey).c_str(),
             slot.handle != nullptr ? registry->GetPluginLastError(slot.handle) : -1);
        g_stop = true;
        return;
    }
    ++g_reloads;
}

// The host's side: a stopped plug-in shows its error and is reloaded, to fault again in another
// way. A reload may itself be refused: a broadcast that reaches the plug-in while it loads faults
// and so refuses the load; the next round tries again.
void ReloadWhenFaulted(Slot& slot, std::mt19937& random)
{
    CPluginInterface* registry = CPluginInterface::Instance();
    if (slot.handle != nullptr) {
        CPlugin* plugin = static_cast<CPlugin*>(static_cast<VARNEL_PLUGIN_DATA*>(slot.handle)->plugin);
        if (!plugin->HasFaulted()) return;
        if (plugin->GetState() != VARNEL_PLUGIN_STATE_ERROR || plugin->GetLastError() != 439)
            Fail("the faulted plug-in shows state %d and error %d, not 2 and 439",
                 static_cast<int>(plugin->GetState()), plugin->GetLastError());
        ++g_faultsSurvived;
        auto guard = TakeSlot(slot);
        g_faultyHandle = nullptr;
        if (!registry->UnloadPlugin(slot.handle)) Fail("the faulted plug-in could not be unloaded");
        slot.handle = nullptr;
        testenv::SetRegString(HKEY_LOCAL_MACHINE, std::wstring(kFixturesKey) + L"\\" + slot.subkey + L".dll",
                              L"FaultKind", kFaultKinds[random() % 3]);
    }
    if (!registry->LoadPlugin(slot.subkey.c_str(), &slot.handle)) {
        slot.handle = nullptr;
        ++g_refusedFaultyLoads;
    }
    g_faultyHandle = slot.handle;
}

// ---------------------------------------------------------------- nested requests

// A plug-in that reports a warning from inside its activity; the host's thread, let in by a wait
// inside that very call, unloads it there (as a request arriving at that moment would).
bool RegisterNestedPlugin(const testenv::TempFolder& folder, Slot& slot)
{
    return RegisterOwnPlugin(folder, slot, L"FixtureBasic.dll", L"StressNested", L"Nested stress plug-in",
                             [](const std::wstring& config) {
                                 return testenv::SetRegDword(HKEY_LOCAL_MACHINE, config, L"SetStateInActivity",
                                                             VARNEL_PLUGIN_STATE_WARNING + 1);
                             });
}

class UnloadFromInsideItsCall : public IPluginObserver {
public:
    explicit UnloadFromInsideItsCall(Slot& slot) : m_slot(slot), m_hostThread(GetCurrentThreadId()) {}
    void PluginStateChanged(const VarnelPluginStateChange& change) override
    {
        if (GetCurrentThreadId() != m_hostThread || m_slot.handle == nullptr ||
            change.context != static_cast<VARNEL_PLUGIN_DATA*>(m_slot.handle)->plugin)
            return;
        if (!CPluginInterface::Instance()->UnloadPlugin(m_slot.handle))
            Fail("the nested plug-in could not be unloaded from inside its own call");
        m_slot.handle = nullptr;
        ++g_nestedUnloads;
    }
    void TrayStateChanged(VARNEL_PLUGIN_STATE) override {}

private:
    Slot& m_slot;
    const DWORD m_hostThread;
};

void MessageAndReloadNested(Slot& slot, int round)
{
    CPluginInterface* registry = CPluginInterface::Instance();
    registry->PluginComm(L"stress nested", round);
    if (slot.handle != nullptr) return;
    if (!registry->LoadPlugin(slot.subkey.c_str(), &slot.handle))
        Fail("the plug-in unloaded from inside its own call could not be loaded again (error %d)",
             CErrorMsg::Instance()->GetLastError());
}

// Every item in the category flyouts belongs to a loaded plug-in.
void CheckMenuOwners()
{
    HMENU popup = COXIL_DllMain::Instance()->GetSubMenu();
    for (int position = 0; position < GetMenuItemCount(popup); ++position) {
        HMENU flyout = GetSubMenu(popup, position);
        for (int i = 0; flyout != nullptr && i < GetMenuItemCount(flyout); ++i) {
            const UINT command = GetMenuItemID(flyout, i);
            if (command == 0 || command == static_cast<UINT>(-1)) continue;
            int itemId = 0;
            void* owner = CVarnelMenuUtils::Instance()->FindPluginByCommand(command, itemId);
            if (owner == nullptr) continue;  // one of the host's own commands
            if (!CPluginInterface::Instance()->ValidatePlugin(owner))
                Fail("menu command %u belongs to an unloaded plug-in", command);
        }
    }
}

// ---------------------------------------------------------------- set-up and the run

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        if (i + 1 >= argc) return false;
        const int value = _wtoi(argv[++i]);
        if (word == L"--seconds" && value > 0) options.seconds = value;
        else if (word == L"--threads" && value > 0 && value <= 32) options.threads = value;
        else if (word == L"--seed") options.seed = static_cast<unsigned>(value);
        else if (word == L"--heap-checked") options.heapChecked = value != 0;
        else if (word == L"--crash-dumps") options.crashDumps = value != 0;
        else return false;
    }
    if (options.seed == 0) options.seed = static_cast<unsigned>(GetTickCount());
    return true;
}

bool RegisterPlugins(const testenv::TempFolder& folder, std::vector<std::unique_ptr<Slot>>& slots)
{
    const std::wstring fixture = testenv::Join(testenv::ProgramFolder(), L"FixtureWindow.dll");
    if (!testenv::SetRegString(HKEY_LOCAL_MACHINE, kPluginsKey, L"", L"")) return false;
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot& slot = *slots[i];
        slot.subkey = L"Stress" + std::to_wstring(i);
        slot.displayName = L"Stress plug-in " + std::to_wstring(i);
        const std::wstring file = slot.subkey + L".dll";
        const std::wstring copy = folder.File(file);
        if (!CopyFileW(fixture.c_str(), copy.c_str(), FALSE)) return false;
        const std::wstring key = std::wstring(kPluginsKey) + L"\\" + slot.subkey;
        if (!testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Path", copy) ||
            !testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Name", slot.subkey) ||
            !testenv::SetRegString(HKEY_LOCAL_MACHINE, std::wstring(kFixturesKey) + L"\\" + file, L"DisplayName",
                                   slot.displayName))
            return false;
    }
    return true;
}

bool LoadAll(std::vector<std::unique_ptr<Slot>>& slots)
{
    for (auto& slot : slots)
        if (!CPluginInterface::Instance()->LoadPlugin(slot->subkey.c_str(), &slot->handle)) return false;
    return true;
}

void CheckHistory(const HistoryTally& tally, const std::vector<std::unique_ptr<Slot>>& slots)
{
    for (size_t i = 0; i < slots.size(); ++i) {
        const Slot& slot = *slots[i];
        const std::wstring prefix = MakeText(i, 0).substr(0, MakeText(i, 0).size() - 1);
        long long marked = 0;
        auto found = tally.textsByName.find(slot.displayName);
        if (found != tally.textsByName.end()) {
            for (const std::wstring& text : found->second) {
                if (text.compare(0, prefix.size(), prefix) != 0) continue;
                ++marked;
                if (found->second.count(text) != 1) Fail("slot %zu: \"%s\" is in the history more than once", i,
                                                         testenv::Narrow(text).c_str());
                if (slot.acceptedTexts.count(text) == 0)
                    Fail("slot %zu: \"%s\" is in the history but was never accepted", i, testenv::Narrow(text).c_str());
            }
        }
        if (marked != static_cast<long long>(slot.acceptedTexts.size()))
            Fail("slot %zu: %lld accepted state changes, %lld history lines", i,
                 static_cast<long long>(slot.acceptedTexts.size()), marked);
    }
}

// The library's settings for the run: crash dumps on or off, and no quarantine (the faulting
// plug-in is loaded again after every fault); afterwards as they were before the run.
class StressSettings {
public:
    explicit StressSettings(bool crashDumps)
    {
        if (!crashDumps) testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, kDumps, 0);
        testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, kQuarantineAfter, 0x7FFFFFFF);
        testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, kHangLimit, kHangLimitMs);
    }
    ~StressSettings()
    {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kDumps);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kQuarantineAfter);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kHangLimit);
    }
    StressSettings(const StressSettings&) = delete;
    StressSettings& operator=(const StressSettings&) = delete;

private:
    static constexpr const wchar_t* kSettingsKey = L"SOFTWARE\\Zerova\\Varnel";
    static constexpr const wchar_t* kDumps = L"WriteCrashDumps";
    static constexpr const wchar_t* kQuarantineAfter = L"QuarantineAfter";
    static constexpr const wchar_t* kHangLimit = L"HangLimitMilliseconds";
};

int Run(const Options& options)
{
    std::printf("stress: %d plug-in threads, %d s, seed %u\n", options.threads, options.seconds, options.seed);
    testenv::RegistryKeyGuard pluginsKey(HKEY_LOCAL_MACHINE, kPluginsKey);
    testenv::RegistryKeyGuard fixturesKey(HKEY_LOCAL_MACHINE, kFixturesKey);
    testenv::TempFolder folder(L"stress");
    const StressSettings settings(options.crashDumps);

    std::vector<std::unique_ptr<Slot>> slots;
    for (int i = 0; i < options.threads; ++i) slots.push_back(std::make_unique<Slot>());
    Slot faulty, nested, hanging;
    if (!RegisterPlugins(folder, slots) || !RegisterFaultingPlugin(folder, faulty) ||
        !RegisterNestedPlugin(folder, nested) || !RegisterHangingPlugin(folder, hanging)) {
        Fail("the stress plug-ins could not be registered");
        return 2;
    }

    const HeadlessTray host(L"Stress");
    if (!host.ResourcesLoaded()) Fail("the tray resources could not be loaded");
    const HWND window = host.Window();
    CPluginStateHistory::DeleteHistoryFile();
    if (!LoadAll(slots) || !CPluginInterface::Instance()->LoadPlugin(faulty.subkey.c_str(), &faulty.handle) ||
        !CPluginInterface::Instance()->LoadPlugin(nested.subkey.c_str(), &nested.handle) ||
        !CPluginInterface::Instance()->LoadPlugin(hanging.subkey.c_str(), &hanging.handle)) {
        Fail("the stress plug-ins could not be loaded");
        return 2;
    }
    g_faultyHandle = faulty.handle;
    const auto nestedUnloader = std::make_shared<UnloadFromInsideItsCall>(nested);
    CPluginInterface::Instance()->Subscribe(nestedUnloader);
    if (!CPluginInterface::Instance()->DisplaySystemHealth(window)) Fail("the system health dialog did not open");

    HistoryTally tally;
    {
        const size_t hostIndex = slots.size();
        const size_t readerIndex = hostIndex + 1;
        const size_t broadcasterIndex = hostIndex + 2;
        const size_t faultWatcherIndex = hostIndex + 3;
        const size_t hangWatcherIndex = hostIndex + 4;
        const size_t aboutReaderIndex = hostIndex + 5;
        Watchdog watchdog(slots.size() + 6, 30);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < slots.size(); ++i)
            threads.emplace_back(PluginThread, i, std::ref(*slots[i]), options.seed + static_cast<unsigned>(i) * 7919u,
                                 std::ref(watchdog));
        threads.emplace_back(HealthReader, readerIndex, std::ref(watchdog));
        threads.emplace_back(UpdateBroadcaster, broadcasterIndex, options.seed ^ 0xfa17u, std::ref(watchdog));
        threads.emplace_back(FaultWatcher, faultWatcherIndex, std::ref(watchdog));
        threads.emplace_back(HangWatcher, hangWatcherIndex, std::cref(hanging), std::ref(watchdog));
        threads.emplace_back(AboutReader, aboutReaderIndex, std::ref(watchdog));

        std::mt19937 random(options.seed ^ 0x5eedu);
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(options.seconds) * 1000;
        for (int round = 0; !g_stop && GetTickCount64() < end; ++round) {
            watchdog.Beat(hostIndex, "unload and reload");
            Reload(*slots[random() % slots.size()]);
            if (round % 8 == 0) {
                // Every plug-in is loaded: the whole list is walked and nothing more loads.
                watchdog.Beat(hostIndex, "load all");
                if (CPluginInterface::Instance()->LoadPlugins()) Fail("loading all loaded a plug-in again");
            }
            watchdog.Beat(hostIndex, "faulted plug-in");
            ReloadWhenFaulted(faulty, random);
            if (round % 4 == 0) {
                watchdog.Beat(hostIndex, "nested unload");
                MessageAndReloadNested(nested, round);
            }
            watchdog.Beat(hostIndex, "history drain");
            DrainHistory(tally, false);
            const ULONGLONG pause = GetTickCount64() + 5 + random() % 20;
            while (GetTickCount64() < pause) {
                testenv::DispatchWaitingMessages();
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
            }
        }
        g_stop = true;
        watchdog.Beat(hostIndex, "joining");
        // The workers may be sending to this thread's windows while they finish.
        while (g_finished < threads.size()) {
            testenv::DispatchWaitingMessages();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
        for (std::thread& thread : threads) thread.join();
        // A fault whose crash dump was still being written when the run ended is survived now.
        watchdog.Beat(hostIndex, "faulted plug-in, last look");
        ReloadWhenFaulted(faulty, random);
        watchdog.Beat(hostIndex, "closing dialogs");
        CThreadManager::Instance()->TerminateOpenDialogs(nullptr);
        CPluginInterface::Instance()->Unsubscribe(nestedUnloader.get());
        CheckMenuOwners();
        CheckHangsEnded(hanging);
        DrainHistory(tally, true);
    }
    CheckHistory(tally, slots);

    long long changes = 0, stale = 0, menu = 0, unguarded = 0;
    for (auto& slot : slots) {
        changes += slot->stateChanges;
        stale += slot->staleCalls;
        menu += slot->menuCalls;
        unguarded += slot->unguardedCalls;
    }
    std::printf("stress: %lld reloads, %lld state changes, %lld history lines (%lld malformed), %lld menu calls, "
                "%lld calls with unloaded handles, %lld calls racing an unload, %lld health reads, "
                "%lld update broadcasts, %lld plug-in faults survived (%lld seen while they showed), "
                "%lld loads refused for a fault, %lld unloads from inside the plug-in's own call, "
                "%lld looks at a plug-in reported as hung, %lld state reads that showed a hang\n",
                g_reloads.load(), changes, tally.lines, tally.malformed, menu, stale, unguarded,
                g_healthReads.load(), g_updateBroadcasts.load(), g_faultsSurvived.load(), g_faultChecks.load(),
                g_refusedFaultyLoads.load(), g_nestedUnloads.load(), g_hangsSeen.load(),
                g_readsWhileHung.load());
    if (g_reloads == 0 || changes == 0 || stale == 0 || g_faultsSurvived == 0 || g_nestedUnloads == 0 ||
        g_hangsSeen == 0)
        Fail("the run was too short to exercise anything");

    std::printf("stress: %s\n", g_failures == 0 ? "passed" : "FAILED");
    return g_failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------- the heap's checks

// With the heap's tail and free checks a block written past its end, and a pointer freed that the
// heap did not hand out (a double free, or a pointer read from freed memory), are found at the
// free itself instead of as a crash somewhere later. The system reads the flags when a process
// starts, so the run sets them for this program and runs itself again. Under Wine the heap says
// what it found in "warn:heap" lines, on which the suite's run fails.
const DWORD kHeapCheckFlags = 0x10 /* tail check */ | 0x20 /* free check */ | 0x40 /* validate parameters */;

bool SetHeapChecksForThisProgram()
{
    wchar_t path[MAX_PATH];
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return false;
    const wchar_t* lastSeparator = std::wcsrchr(path, L'\\');
    const std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\") +
                             (lastSeparator != nullptr ? lastSeparator + 1 : path);
    bool set = false;
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY opened = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &opened,
                            nullptr) != ERROR_SUCCESS)
            continue;
        set |= RegSetValueExW(opened, L"GlobalFlag", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kHeapCheckFlags),
                              sizeof(kHeapCheckFlags)) == ERROR_SUCCESS;
        RegCloseKey(opened);
    }
    return set;
}

int RunWithHeapChecks()
{
    if (!SetHeapChecksForThisProgram()) {
        std::fputs("stress: the heap's checks could not be set\n", stderr);
        return 1;
    }
    std::wstring command = GetCommandLineW();
    command += L" --heap-checked 1";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "stress: the checked run could not start (error %lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    SetUnhandledExceptionFilter(ReportCrash);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs("usage: VarnelStress [--seconds N] [--threads N] [--seed N] [--crash-dumps 0|1]\n", stderr);
        return 2;
    }
    if (!options.heapChecked) return RunWithHeapChecks();
    return Run(options);
}
