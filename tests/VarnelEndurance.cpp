// Weeks of a tray in minutes: each operation a tray repeats all day runs thousands of times, and
// what the process holds afterwards is compared with what it held before: handles, GDI objects,
// heap in use and threads, as growth per 1000 operations.
//
//   VarnelEndurance [--rounds N] [--only TEXT] [--check]
//   VarnelEndurance --cycles N [--check]
//     --rounds  how often each operation runs (default 2000)
//     --only    only the operations whose name holds TEXT
//     --check   exit 1 when an operation grows beyond its bound (the bounds are in the table below)
//     --cycles  instead: N times every plug-in unloaded and all loaded again, with the address space,
//               heap and private memory after each tenth of the run; they must stay flat
//
// Wine answers 0 to GetProcessHandleCount and GetGuiResources, so the counts are probed: every
// handle value with GetHandleInformation, every 16-bit GDI handle value with GetObjectType.
#include "HeadlessTray.h"
#include "TestEnvironment.h"

#include "OXIL_dllmain.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "PluginStateHistory.h"
#include "StationDesktopUtils.h"
#include "ThreadManager.h"
#include "VarnelMenuUtils.h"
#include "VarnelPluginAPI.h"

#include "ErrorMsg.h"
#include "MenuXP.h"
#include "Tray.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const wchar_t kPluginsKey[] = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
const wchar_t kFixturesKey[] = L"SOFTWARE\\Zerova\\VarnelTests\\Fixtures";
const wchar_t kAlphaClass[] = L"ZerovaAlphaChannelWindow";

struct Resources {
    long long handles = 0;
    long long gdiObjects = 0;
    long long heapBytes = 0;
    long long threads = 0;
    long long privateBytes = 0;
};

long long CountHandles()
{
    long long count = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

long long CountGdiObjects()
{
    long long count = 0;
    for (ULONG_PTR value = 1; value < 0x10000; ++value)
        if (GetObjectType(reinterpret_cast<HGDIOBJ>(value)) != 0) ++count;
    return count;
}

long long HeapBytesInUse()
{
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    long long bytes = 0;
    for (HANDLE heap : heaps) {
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry))
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) bytes += entry.cbData;
        HeapUnlock(heap);
    }
    return bytes;
}

// Private memory committed anywhere in the process: the heaps and what is allocated beside them
// (plug-in records, thread stacks).
long long PrivateBytesCommitted()
{
    long long bytes = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; VirtualQuery(address, &region, sizeof(region)) == sizeof(region);) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) bytes += static_cast<long long>(region.RegionSize);
        const BYTE* next = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return bytes;
}

// Address space reserved or committed anywhere in the process.
long long AddressSpaceInUse()
{
    long long bytes = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; VirtualQuery(address, &region, sizeof(region)) == sizeof(region);) {
        if (region.State != MEM_FREE) bytes += static_cast<long long>(region.RegionSize);
        const BYTE* next = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return bytes;
}

long long CountThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    long long count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

Resources Measure()
{
    // Ended dialog threads and their objects go when the next one starts or a walk lets go: a
    // short pause lets the last ones end before counting.
    for (int i = 0; i < 10; ++i) {
        testenv::DispatchWaitingMessages();
        Sleep(5);
    }
    return {CountHandles(), CountGdiObjects(), HeapBytesInUse(), CountThreads(), PrivateBytesCommitted()};
}

void PumpUntil(const std::function<bool()>& done, DWORD milliseconds = 10000)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (!done() && GetTickCount64() < end) {
        testenv::DispatchWaitingMessages();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
    }
}

// Growth allowed per 1000 operations.
struct Bounds {
    long long handles;
    long long gdiObjects;
    long long heapBytes;
    long long threads;
    long long privateBytes;
};

struct Operation {
    const char* name;
    std::function<void()> run;
    Bounds bounds;
};

// The tray the operations run against: a host window with menu and tray icon, two plug-ins
// (one that stays, one that is reloaded) and a registered entry that always fails to load.
class Tray {
public:
    explicit Tray(const testenv::TempFolder& folder)
        : m_pluginsKey(HKEY_LOCAL_MACHINE, kPluginsKey), m_fixturesKey(HKEY_LOCAL_MACHINE, kFixturesKey)
    {
        Register(folder, L"Steady", L"FixtureWindow");
        // The reloaded plug-in is the smallest one, written in C: what it keeps is the tray's, not
        // its runtime's.
        Register(folder, L"Reloaded", L"BenchPlugin");
        Register(folder, L"AboutWriter", L"FixtureAbout");
        // An entry whose file is no library: refused at every load-all.
        testenv::WriteAnsi(folder.File(L"Failing.dll"), "not a library");
        RegisterPath(L"Failing", folder.File(L"Failing.dll"));
        m_host = std::make_unique<HeadlessTray>(L"Endurance");
        m_window = m_host->Window();
        CStationDesktopUtils::Instance()->SetMainAppHwnd(m_window, L"Endurance");
        CPluginInterface::Instance()->LoadPlugins();
        CPluginInterface::Instance()->LoadPlugin(L"Steady", &m_steady);
        CPluginInterface::Instance()->LoadPlugin(L"Reloaded", &m_reloaded);
    }
    ~Tray()
    {
        CThreadManager::Instance()->TerminateOpenDialogs(nullptr);
        m_host.reset();
    }
    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    bool Ready() const { return m_steady != nullptr && m_reloaded != nullptr; }

    void ChangeState()
    {
        wchar_t text[64];
        swprintf(text, 64, L"endurance %d", ++m_sequence);
        VarnelSetState(m_steady, static_cast<VARNEL_PLUGIN_STATE>(m_sequence % 3), text);
    }
    void AddAndRemoveMenuItem()
    {
        wchar_t caption[] = L"Endurance item";
        VarnelAddMenuItem(m_steady, caption, 7, VARNEL_MENU_CATEGORY_A);
        VarnelRemoveMenuItem(m_steady, 7);
    }
    void OpenAndCloseAboutBox()
    {
        CPluginInterface::Instance()->DisplayAboutBox(m_window);
        CloseDialog(CDialogThread::THREAD_ABOUTBOX);
    }
    void OpenAndCloseSystemHealth()
    {
        CPluginInterface::Instance()->DisplaySystemHealth(m_window);
        CloseDialog(CDialogThread::THREAD_SYSTEMHEALTH);
    }
    void ShowAndEndProgress()
    {
        wchar_t title[] = L"Endurance";
        CProgressDlg* dialog =
            VarnelCreateProgressDlg(m_steady, nullptr, title, PROGRESS_BAR_DLG_CANCEL, nullptr, nullptr, 0);
        wchar_t status[] = L"working", detail[] = L"a file";
        VarnelSetProgress(dialog, status, detail, 50);
        VarnelDestroyProgressDlg(dialog);
        PumpUntil([] { return !CThreadManager::Instance()->ActiveThreads(); });
    }
    void AskAndAnswer()
    {
        wchar_t title[] = L"Endurance question", text[] = L"Go on?";
        VarnelDisplayAdvisoryMsg(m_steady, nullptr, m_window, title, text, ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK,
                                 false, nullptr, false);
        HWND message = FindWindowW(kAlphaClass, title);
        if (message != nullptr)
            PostMessageW(message, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(message, IDOK)));
        PumpUntil([] { return !CThreadManager::Instance()->ActiveThreads(); });
    }
    void Reload()
    {
        CPluginInterface::Instance()->UnloadPlugin(m_reloaded);
        m_reloaded = nullptr;
        if (!CPluginInterface::Instance()->LoadPlugin(L"Reloaded", &m_reloaded) && m_failures++ == 0)
            m_firstFailure = CErrorMsg::Instance()->GetLastError();
    }
    // Operations that did not do what they should.
    int Failures() const { return m_failures; }
    int FirstFailure() const { return m_firstFailure; }
    void LoadAllWithAFailingEntry() { CPluginInterface::Instance()->LoadPlugins(); }

private:
    static void Register(const testenv::TempFolder& folder, const std::wstring& subkey, const std::wstring& fixture)
    {
        const std::wstring copy = folder.File(subkey + L".dll");
        CopyFileW(testenv::Join(testenv::ProgramFolder(), fixture + L".dll").c_str(), copy.c_str(), FALSE);
        RegisterPath(subkey, copy);
    }
    static void RegisterPath(const std::wstring& subkey, const std::wstring& path)
    {
        const std::wstring key = std::wstring(kPluginsKey) + L"\\" + subkey;
        testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Path", path);
        testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Name", subkey);
    }
    void CloseDialog(CDialogThread::THREAD_TYPE kind)
    {
        HWND window = nullptr;
        PumpUntil([&] {
            void* object = nullptr;
            window = CThreadManager::Instance()->FindExistingDialog(kind, &object);
            return window != nullptr && object != nullptr;
        });
        if (window != nullptr) PostMessageW(window, WM_COMMAND, IDOK, 0);
        PumpUntil([] { return !CThreadManager::Instance()->ActiveThreads(); });
    }

    testenv::RegistryKeyGuard m_pluginsKey;
    testenv::RegistryKeyGuard m_fixturesKey;
    std::unique_ptr<HeadlessTray> m_host;
    HWND m_window = nullptr;
    void* m_steady = nullptr;
    void* m_reloaded = nullptr;
    int m_sequence = 0;
    int m_failures = 0;
    int m_firstFailure = 0;
};

long long PerThousand(long long growth, int rounds) { return growth * 1000 / rounds; }

// Unload-all and load-all, as a tray asked to reload everything again and again: what the process
// holds must not grow with the cycles once the first ones are behind it. The plug-ins are the
// smallest one, written in C, so that what grows would be the tray's.
int RunCycles(int cycles, bool check)
{
    testenv::TempFolder folder(L"cycles");
    testenv::RegistryKeyGuard pluginsKey(HKEY_LOCAL_MACHINE, kPluginsKey);
    const int kPlugins = 4;
    for (int i = 0; i < kPlugins; ++i) {
        const std::wstring subkey = L"Cycled" + std::to_wstring(i);
        const std::wstring copy = folder.File(subkey + L".dll");
        CopyFileW(testenv::Join(testenv::ProgramFolder(), L"BenchPlugin.dll").c_str(), copy.c_str(), FALSE);
        const std::wstring key = std::wstring(kPluginsKey) + L"\\" + subkey;
        testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Path", copy);
        testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Name", subkey);
    }
    // What the system itself keeps per library loaded and freed, without the tray.
    std::vector<std::wstring> libraries;
    for (int i = 0; i < kPlugins; ++i) libraries.push_back(folder.File(L"Cycled" + std::to_wstring(i) + L".dll"));
    auto rawCycle = [&] {
        for (const std::wstring& library : libraries) {
            HMODULE module = LoadLibraryExW(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            if (module != nullptr) FreeLibrary(module);
        }
    };
    for (int i = 0; i < 100; ++i) rawCycle();
    const long long rawHeapBefore = HeapBytesInUse();
    const int rawCycles = std::min(cycles, 2000);
    for (int i = 0; i < rawCycles; ++i) rawCycle();
    const long long rawHeapPerCycle = (HeapBytesInUse() - rawHeapBefore) / rawCycles;
    std::printf("cycles: the system alone keeps %lld heap bytes per cycle of %d libraries loaded and freed\n",
                rawHeapPerCycle, kPlugins);

    HeadlessTray host(L"Cycles");
    CPluginInterface* registry = CPluginInterface::Instance();
    int refused = 0;
    auto cycle = [&] {
        registry->UnloadPlugins(false);
        if (!registry->LoadPlugins() || registry->GetTotalNumberOfPlugins() != kPlugins) ++refused;
    };
    // Warm: the first cycles, and long enough for the tray to let go of what it keeps a while after
    // an unload (two seconds).
    int warmUp = 0;
    for (const ULONGLONG warmUntil = GetTickCount64() + 3000; warmUp < std::max(100, cycles / 100) ||
                                                             GetTickCount64() < warmUntil;
         ++warmUp)
        cycle();
    const long long spaceBefore = AddressSpaceInUse(), heapBefore = HeapBytesInUse(),
                    privateBefore = PrivateBytesCommitted();
    std::printf("cycles: %d unload-all and load-all cycles of %d plug-ins after %d to warm up\n", cycles, kPlugins,
                warmUp);
    std::printf("%10s %16s %14s %16s %9s\n", "cycles", "address space KiB", "heap bytes", "private KiB", "ms/1000");
    long long worstSpace = 0, worstHeap = 0, worstPrivate = 0;
    std::vector<long long> heapLaps, privateLaps;
    ULONGLONG start = GetTickCount64(), lapStart = start;
    const int lap = std::max(1, cycles / 10);
    for (int done = 1; done <= cycles; ++done) {
        cycle();
        if (done % lap != 0 && done != cycles) continue;
        const long long space = AddressSpaceInUse() - spaceBefore, heap = HeapBytesInUse() - heapBefore,
                        privateBytes = PrivateBytesCommitted() - privateBefore;
        worstSpace = std::max(worstSpace, space);
        worstHeap = std::max(worstHeap, heap);
        worstPrivate = std::max(worstPrivate, privateBytes);
        heapLaps.push_back(heap);
        privateLaps.push_back(privateBytes);
        const ULONGLONG now = GetTickCount64();
        std::printf("%10d %+16lld %+14lld %+16lld %9llu\n", done, space / 1024, heap, privateBytes / 1024,
                    static_cast<unsigned long long>((now - lapStart) * 1000 / lap));
        lapStart = now;
    }
    std::printf("cycles: %d cycles in %llu s; largest growth over the warm state: address space %lld KiB, heap %lld "
                "bytes, private memory %lld KiB; %d cycles refused a load\n",
                cycles, static_cast<unsigned long long>((GetTickCount64() - start) / 1000), worstSpace / 1024, worstHeap,
                worstPrivate / 1024, refused);
    registry->UnloadPlugins(false);
    // Flat: no share per cycle. What the tray keeps for a while after an unload (two seconds of
    // records) and the allocator's own noise come and go with the pace; a trend would not: the
    // second half of the laps may hold at most 256 KB of heap and 2 MiB of private memory more
    // than the first, beyond what the system itself keeps for the same libraries.
    auto trend = [](const std::vector<long long>& laps) {
        const size_t half = laps.size() / 2;
        if (half == 0) return 0LL;
        long long first = 0, second = 0;
        for (size_t i = 0; i < half; ++i) first += laps[i];
        for (size_t i = laps.size() - half; i < laps.size(); ++i) second += laps[i];
        return (second - first) / static_cast<long long>(half);
    };
    const long long systemHeap = std::max(0LL, rawHeapPerCycle) * cycles / 2;
    const long long heapTrend = trend(heapLaps) - systemHeap, privateTrend = trend(privateLaps) - systemHeap;
    std::printf("cycles: trend from the first half of the run to the second: heap %+lld bytes, private memory %+lld "
                "KiB\n", heapTrend, privateTrend / 1024);
    const bool flat = worstSpace <= 2 * 1024 * 1024 && heapTrend <= 256 * 1024 && privateTrend <= 2 * 1024 * 1024 &&
                      refused == 0;
    std::printf("cycles: %s\n", flat ? "flat" : check ? "FAILED" : "growth");
    return check && !flat ? 1 : 0;
}

int Run(int rounds, const std::string& only, bool check)
{
    testenv::TempFolder folder(L"endurance");
    Tray tray(folder);
    if (!tray.Ready()) {
        std::printf("endurance: FAILED: the plug-ins could not be loaded\n");
        return 2;
    }
    // Growth allowed per 1000 operations: none, but for the allocator's and Wine's own noise.
    const Bounds flat{1, 1, 16 * 1024, 1, 256 * 1024};
    // An unloaded plug-in keeps its record, which stands alone on its page (4 KiB committed; see
    // the plug-in handle arena), and its emptied plug-in object: at most 1 KB of heap.
    const Bounds reloads{1, 1, 1000 * 1024, 1, 1000 * 6 * 1024};
    // A failed load keeps nothing beyond the last few plug-in objects of failed loads.
    const Bounds failedLoads{1, 1, 64 * 1024, 1, 256 * 1024};
    const std::vector<Operation> operations = {
        {"state change", [&] { tray.ChangeState(); }, flat},
        {"menu item added and removed", [&] { tray.AddAndRemoveMenuItem(); }, flat},
        {"about box opened and closed", [&] { tray.OpenAndCloseAboutBox(); }, flat},
        {"system health opened and closed", [&] { tray.OpenAndCloseSystemHealth(); }, flat},
        {"progress dialog shown and ended", [&] { tray.ShowAndEndProgress(); }, flat},
        {"advisory message asked and answered", [&] { tray.AskAndAnswer(); }, flat},
        {"plug-in unloaded and loaded again", [&] { tray.Reload(); }, reloads},
        {"load-all with an entry that fails", [&] { tray.LoadAllWithAFailingEntry(); }, failedLoads},
    };
    std::printf("endurance: %d rounds of each operation; growth per 1000 operations\n", rounds);
    std::printf("%-38s %9s %9s %12s %9s %13s %9s\n", "operation", "handles", "GDI", "heap bytes", "threads",
                "private bytes", "ms/1000");
    int failures = 0;
    for (const Operation& operation : operations) {
        if (!only.empty() && std::string(operation.name).find(only) == std::string::npos) continue;
        const int warmUp = rounds / 10 > 0 ? rounds / 10 : 1;
        for (int i = 0; i < warmUp; ++i) operation.run();
        const Resources before = Measure();
        const ULONGLONG start = GetTickCount64();
        for (int i = 0; i < rounds; ++i) operation.run();
        const ULONGLONG elapsed = GetTickCount64() - start;
        const Resources after = Measure();
        const Resources growth{PerThousand(after.handles - before.handles, rounds),
                               PerThousand(after.gdiObjects - before.gdiObjects, rounds),
                               PerThousand(after.heapBytes - before.heapBytes, rounds),
                               PerThousand(after.threads - before.threads, rounds),
                               PerThousand(after.privateBytes - before.privateBytes, rounds)};
        // What one object still finishing at the moment of counting holds is not growth.
        auto allowed = [&](long long perThousand, long long slack) { return perThousand * rounds / 1000 + slack; };
        const bool within = after.handles - before.handles <= allowed(operation.bounds.handles, 2) &&
                            after.gdiObjects - before.gdiObjects <= allowed(operation.bounds.gdiObjects, 2) &&
                            after.heapBytes - before.heapBytes <= allowed(operation.bounds.heapBytes, 16 * 1024) &&
                            after.threads - before.threads <= allowed(operation.bounds.threads, 1) &&
                            after.privateBytes - before.privateBytes <= allowed(operation.bounds.privateBytes, 256 * 1024);
        std::printf("%-38s %9lld %9lld %12lld %9lld %13lld %9llu%s\n", operation.name, growth.handles,
                    growth.gdiObjects, growth.heapBytes, growth.threads, growth.privateBytes,
                    static_cast<unsigned long long>(elapsed * 1000 / rounds),
                    within ? "" : "  BEYOND ITS BOUND");
        if (!within) ++failures;
    }
    if (tray.Failures() != 0) {
        std::printf("endurance: %d reloads were refused, the first with error %d\n", tray.Failures(),
                    tray.FirstFailure());
        ++failures;
    }
    std::printf("endurance: %s\n", failures == 0 ? "passed" : check ? "FAILED" : "growth beyond a bound");
    return check && failures != 0 ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int rounds = 2000;
    int cycles = 0;
    bool check = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        if (word == L"--rounds" && i + 1 < argc) rounds = _wtoi(argv[++i]);
        else if (word == L"--check") check = true;
        else if (word == L"--cycles" && i + 1 < argc) cycles = _wtoi(argv[++i]);
        else if (word == L"--only" && i + 1 < argc) only = testenv::Narrow(argv[++i]);
        else {
            std::fputs("usage: VarnelEndurance [--rounds N] [--only TEXT] [--check] | --cycles N [--check]\n", stderr);
            return 2;
        }
    }
    if (cycles > 0) return RunCycles(cycles, check);
    if (rounds < 10) rounds = 10;
    return Run(rounds, only, check);
}
