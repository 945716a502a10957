// Benchmarks of the library, each against a raw Win32 baseline doing the same essential work in
// the same run. Prints a Markdown table: median and spread over repeated runs, the ratio, and
// how each figure grows with the size of the work.
//
//   VarnelBench [--repeats N] [--quick] [--only load|state|history|copydata|menu|texts|watch]
//   (--peer: the copy-data host, started by itself)
// Exit code 1 when a figure could not be measured as it should.
#include "HeadlessTray.h"
#include "TestEnvironment.h"

#include "MenuXP.h"
#include "OXIL_dllmain.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "PluginStateHistory.h"
#include "ThreadValue.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"
#include "VarnelPluginAPI.h"
#include "VarnelPrivateInterface.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const wchar_t kPluginsKey[] = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
const wchar_t kPeerClass[] = L"VarnelBenchPeer";
const wchar_t kPeerTitle[] = L"Varnel benchmark copy-data host";
const wchar_t kPeerReady[] = L"VarnelBenchPeerReady";

int g_repeats = 5;
int g_anomalies = 0;

// Something that makes a figure meaningless (a plug-in that did not load, a host that did not
// answer): printed beside the table, and the run ends with exit code 1.
void Anomaly(const char* format, ...)
{
    ++g_anomalies;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

// ---------------------------------------------------------------- measuring

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

struct Stats {
    double median = 0;
    double low = 0;
    double high = 0;
};

// Runs prepare, the timed work and tidy repeat times; the statistics of the timed part in ms.
Stats Measure(const std::function<void()>& prepare, const std::function<void()>& work,
              const std::function<void()>& tidy)
{
    std::vector<double> times;
    for (int run = 0; run < g_repeats; ++run) {
        prepare();
        const double start = Now();
        work();
        times.push_back(Now() - start);
        tidy();
    }
    std::sort(times.begin(), times.end());
    Stats stats;
    stats.median = times[times.size() / 2];
    stats.low = times.front();
    stats.high = times.back();
    return stats;
}

void Nothing() {}

void Row(const char* figure, const std::string& size, const Stats& library, const Stats& baseline)
{
    std::printf("| %s | %s | %.3f (%.3f-%.3f) | %.3f (%.3f-%.3f) | %.2f |\n", figure, size.c_str(), library.median,
                library.low, library.high, baseline.median, baseline.low, baseline.high,
                baseline.median > 0 ? library.median / baseline.median : 0.0);
    std::fflush(stdout);
}

// A figure measured against the fair baseline (raw Win32 doing the same visible work) and a lower
// bound (the essential call alone), with the library's cost per unit of work.
void FairRow(const char* figure, const std::string& size, double units, const Stats& library, const Stats& fair,
             const Stats& lower)
{
    std::printf("| %s | %s | %.3f (%.3f-%.3f) | %.3f (%.3f-%.3f) | %.2f | %.3f | %.1f |\n", figure, size.c_str(),
                library.median, library.low, library.high, fair.median, fair.low, fair.high,
                fair.median > 0 ? library.median / fair.median : 0.0, lower.median,
                units > 0 ? library.median * 1000.0 / units : 0.0);
    std::fflush(stdout);
}

void FairHeader(const char* title, const char* library, const char* fair, const char* lower, const char* unit)
{
    std::printf("\n### %s\n\nLibrary: %s. Fair baseline: %s. Lower bound: %s.\n\n", title, library, fair, lower);
    std::printf("| figure | size | library ms, median (min-max) | fair baseline ms, median (min-max) | ratio to fair |"
                " lower bound ms | library us per %s |\n",
                unit);
    std::printf("|---|---|---|---|---|---|---|\n");
}

void Header(const char* title, const char* library, const char* baseline)
{
    std::printf("\n### %s\n\nLibrary: %s. Baseline: %s.\n\n", title, library, baseline);
    std::printf("| figure | size | library ms, median (min-max) | baseline ms, median (min-max) | ratio |\n");
    std::printf("|---|---|---|---|---|\n");
}

// ---------------------------------------------------------------- the host and its plug-ins

class Host {
public:
    explicit Host(size_t pluginFiles) : m_folder(L"bench")
    {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder");
        const std::wstring source = testenv::Join(testenv::ProgramFolder(), L"BenchPlugin.dll");
        for (size_t i = 0; i < pluginFiles; ++i) {
            m_files.push_back(m_folder.File(L"Bench" + std::to_wstring(i) + L".dll"));
            CopyFileW(source.c_str(), m_files.back().c_str(), FALSE);
        }
        m_tray = std::make_unique<HeadlessTray>(L"Bench");
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The plug-in list holds exactly the first count plug-in files.
    void Register(size_t count)
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPluginsKey);
        testenv::SetRegString(HKEY_LOCAL_MACHINE, kPluginsKey, L"", L"");
        for (size_t i = 0; i < count && i < m_files.size(); ++i) {
            const std::wstring key = std::wstring(kPluginsKey) + L"\\Bench" + std::to_wstring(i);
            testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Path", m_files[i]);
            testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Name", L"Bench plug-in " + std::to_wstring(i));
        }
    }
    // Registers and loads count plug-ins; their handles in load order.
    std::vector<void*> Load(size_t count)
    {
        Register(count);
        CPluginInterface::Instance()->LoadPlugins();
        std::vector<void*> handles;
        for (size_t i = 0; i < count; ++i)
            handles.push_back(CPluginInterface::Instance()->FindPluginFullPath(m_files[i].c_str()));
        return handles;
    }
    void UnloadAll() { CPluginInterface::Instance()->UnloadPlugins(false); }

    const std::vector<std::wstring>& Files() const { return m_files; }
    const testenv::TempFolder& Folder() const { return m_folder; }

private:
    testenv::TempFolder m_folder;
    std::vector<std::wstring> m_files;
    // Made after the plug-in files are copied, gone before their folder.
    std::unique_ptr<HeadlessTray> m_tray;
};

// ---------------------------------------------------------------- 1. loading plug-ins

void LoadingPlugins(Host& host, const std::vector<size_t>& sizes)
{
    Header("Loading plug-ins", "`LoadPlugins` of the registered plug-ins",
           "`LoadLibraryExW`, four `GetProcAddress` and the two init calls by hand");
    for (size_t count : sizes) {
        host.Register(count);
        const Stats library = Measure(Nothing, [&] { CPluginInterface::Instance()->LoadPlugins(); },
                                      [&] {
                                          if (static_cast<size_t>(CPluginInterface::Instance()->GetTotalNumberOfPlugins()) != count)
                                              Anomaly("(only %d of %zu loaded)\n",
                                                          CPluginInterface::Instance()->GetTotalNumberOfPlugins(), count);
                                          host.UnloadAll();
                                      });
        std::vector<HMODULE> modules;
        const Stats baseline = Measure(
            Nothing,
            [&] {
                for (size_t i = 0; i < count; ++i) {
                    HMODULE module = LoadLibraryExW(host.Files()[i].c_str(), nullptr, 0);
                    if (module == nullptr) continue;
                    modules.push_back(module);
                    auto version = reinterpret_cast<VARNEL_GET_VERSION_INFO_CALLBACK_PROC>(
                        reinterpret_cast<void*>(GetProcAddress(module, "PluginGetVersionInfo")));
                    auto init = reinterpret_cast<VARNEL_INIT_CALLBACK_PROC>(
                        reinterpret_cast<void*>(GetProcAddress(module, "PluginInit")));
                    GetProcAddress(module, "PluginActivity");
                    GetProcAddress(module, "PluginCleanup");
                    int major = 2, minor = 2;
                    void* context = nullptr;
                    wchar_t name[MAX_PATH] = L"Bench";
                    wchar_t subkey[MAX_PATH] = L"Bench";
                    if (version != nullptr) version(&modules, &major, &minor);
                    if (init != nullptr) init(&modules, 0x409, 0x409, &major, &minor, &context, subkey, name, MAX_PATH);
                }
            },
            [&] {
                for (HMODULE module : modules) FreeLibrary(module);
                modules.clear();
            });
        Row("LoadPlugins", std::to_string(count) + " plug-ins", library, baseline);
    }
}

// ---------------------------------------------------------------- 2. state changes

std::wstring HistoryLine(int state, const wchar_t* name, const wchar_t* text)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME fileTime;
    SystemTimeToFileTime(&now, &fileTime);
    const unsigned long long value = (static_cast<unsigned long long>(fileTime.dwHighDateTime) << 32) |
                                     fileTime.dwLowDateTime;
    wchar_t line[1024];
    swprintf(line, 1024, L"%llu|%d|%ls|%ls|%04d-%02d-%02d %02d:%02d:%02d|\r\n", value, state, name, text, now.wYear,
             now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    return line;
}

void AppendByHand(const wchar_t* path, const std::wstring& line)
{
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}

// What the tray shows of a state, made by hand: a notification icon of its own and a menu item
// whose bitmap follows the state.
class HandMadeTray {
public:
    HandMadeTray()
    {
        m_window = CreateWindowExW(0, L"STATIC", L"Fair baseline", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                   nullptr);
        m_icon.cbSize = sizeof(m_icon);
        m_icon.hWnd = m_window;
        m_icon.uID = 7;
        m_icon.uFlags = NIF_ICON | NIF_TIP;
        m_icon.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        wcscpy(m_icon.szTip, L"Fair baseline");
        Shell_NotifyIconW(NIM_ADD, &m_icon);
        m_menu = CreatePopupMenu();
        AppendMenuW(m_menu, MF_STRING, 4000, L"System health");
        for (HBITMAP& bitmap : m_bitmaps) bitmap = CreateBitmap(16, 16, 1, 32, nullptr);
        m_icons[0] = LoadIconW(nullptr, IDI_INFORMATION);
        m_icons[1] = LoadIconW(nullptr, IDI_WARNING);
        m_icons[2] = LoadIconW(nullptr, IDI_ERROR);
    }
    ~HandMadeTray()
    {
        Shell_NotifyIconW(NIM_DELETE, &m_icon);
        DestroyMenu(m_menu);
        for (HBITMAP bitmap : m_bitmaps) DeleteObject(bitmap);
        DestroyWindow(m_window);
    }
    HandMadeTray(const HandMadeTray&) = delete;
    HandMadeTray& operator=(const HandMadeTray&) = delete;

    // The two notification-icon calls and the menu item's bitmap, as the tray does at each change.
    void Show(int state)
    {
        const int kind = state < 0 ? 0 : state > 2 ? 2 : state;
        m_icon.uFlags = NIF_ICON;
        m_icon.hIcon = m_icons[kind];
        Shell_NotifyIconW(NIM_MODIFY, &m_icon);
        m_icon.uFlags = NIF_TIP;
        swprintf(m_icon.szTip, 128, L"Varnel - %ls", kind == 0 ? L"everything is working" : L"attention");
        Shell_NotifyIconW(NIM_MODIFY, &m_icon);
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_BITMAP;
        info.hbmpItem = m_bitmaps[kind];
        SetMenuItemInfoW(m_menu, 4000, FALSE, &info);
    }

private:
    HWND m_window = nullptr;
    NOTIFYICONDATAW m_icon{};
    HMENU m_menu = nullptr;
    HBITMAP m_bitmaps[3] = {};
    HICON m_icons[3] = {};
};

// Where the time of a state change goes: its parts, each run alone as often as the changes.
std::string ProfileStateChange(const std::vector<void*>& handles, int changes)
{
    auto each = [&](const std::function<void(int)>& part) {
        const Stats stats = Measure(Nothing, [&] { for (int i = 0; i < changes; ++i) part(i); }, Nothing);
        return stats.median * 1000.0 / changes;
    };
    const double history = each([&](int i) {
        CPluginStateHistory line(L"Bench plug-in 0");
        line.SetState(i % 2 != 0 ? VARNEL_PLUGIN_STATE_WARNING : VARNEL_PLUGIN_STATE_OK, L"bench", nullptr, true);
    });
    const double merge = each([&](int) { CPluginInterface::Instance()->UpdateTrayState(); });
    const double refresh = each([&](int) { CPluginInterface::Instance()->RefreshTrayState(); });
    int calls = 0;
    const double whole = each([&](int i) {
        // A text never given before: a change the plug-in already has would be refused at once.
        std::wstring text = L"profile " + std::to_wstring(++calls);
        VarnelSetState(handles[static_cast<size_t>(i) % handles.size()],
                       i % 2 != 0 ? VARNEL_PLUGIN_STATE_WARNING : VARNEL_PLUGIN_STATE_OK, &text[0]);
    });
    char line[512];
    std::snprintf(line, sizeof(line),
                  "\nProfile of one state change with %zu plug-ins (us): whole %.1f; history line %.1f; merge and "
                  "tray look %.1f; merge, tray look and observers %.1f; the rest (validation, text checks, state) "
                  "%.1f.\n",
                  handles.size(), whole, history, merge, refresh, whole - history - refresh);
    return line;
}

void StateChanges(Host& host, const std::vector<size_t>& sizes, int changes)
{
    FairHeader("State changes", "`VarnelSetState` on the loaded plug-ins in turn, alternating warning and all well",
               "append the same history line, merge the states of all plug-ins by hand, the two `Shell_NotifyIconW` "
               "calls and the menu item's bitmap",
               "the history line appended alone", "change");
    const std::wstring history = CPluginInterface::Instance()->GetHistoryFilePath();
    HandMadeTray handMade;
    std::string profile;
    for (size_t count : sizes) {
        std::vector<void*> handles = host.Load(count);
        int round = 0;
        auto stateOf = [&](int i, int r) {
            return ((static_cast<size_t>(i) / count + static_cast<size_t>(r)) % 2) != 0 ? VARNEL_PLUGIN_STATE_WARNING
                                                                                        : VARNEL_PLUGIN_STATE_OK;
        };
        const Stats library = Measure(
            [&] { CPluginStateHistory::DeleteHistoryFile(); },
            [&] {
                for (int i = 0; i < changes; ++i) {
                    std::wstring text = L"bench " + std::to_wstring(round) + L" " + std::to_wstring(i);
                    VarnelSetState(handles[static_cast<size_t>(i) % count], stateOf(i, round), &text[0]);
                }
            },
            [&] { ++round; });
        std::vector<int> states(count, VARNEL_PLUGIN_STATE_OK);
        int fairRound = 0;
        const Stats fair = Measure(
            [&] { DeleteFileW(history.c_str()); },
            [&] {
                for (int i = 0; i < changes; ++i) {
                    const size_t owner = static_cast<size_t>(i) % count;
                    const std::wstring name = L"Bench plug-in " + std::to_wstring(owner);
                    const std::wstring text = L"bench " + std::to_wstring(fairRound) + L" " + std::to_wstring(i);
                    states[owner] = stateOf(i, fairRound);
                    AppendByHand(history.c_str(), HistoryLine(states[owner], name.c_str(), text.c_str()));
                    int merged = VARNEL_PLUGIN_STATE_OK;
                    for (int state : states) merged = state > merged ? state : merged;
                    handMade.Show(merged);
                }
            },
            [&] { ++fairRound; });
        const Stats lower = Measure(
            [&] { DeleteFileW(history.c_str()); },
            [&] {
                for (int i = 0; i < changes; ++i) {
                    const std::wstring name = L"Bench plug-in " + std::to_wstring(static_cast<size_t>(i) % count);
                    const std::wstring text = L"bench " + std::to_wstring(i);
                    AppendByHand(history.c_str(), HistoryLine(i % 2, name.c_str(), text.c_str()));
                }
            },
            Nothing);
        if (count == sizes.back()) profile = ProfileStateChange(handles, changes);
        host.UnloadAll();
        FairRow("VarnelSetState", std::to_string(changes) + " changes, " + std::to_string(count) + " plug-ins",
                changes, library, fair, lower);
    }
    std::printf("%s", profile.c_str());
}

// The texts and the unload of every plug-in, as their costs grow with the number of plug-ins.
void TextsAndUnload(Host& host, const std::vector<size_t>& sizes)
{
    FairHeader("Health text and unload-all", "`GetSystemHealthText` (16384 characters); `UnloadPlugins(false)`",
               "the same health lines formatted by hand into one buffer; `PluginActivity`, `PluginCleanup` and "
               "`FreeLibrary` of every plug-in by hand",
               "none (0)", "plug-in");
    std::vector<wchar_t> text(16384);
    const Stats none;
    for (size_t count : sizes) {
        std::vector<void*> handles = host.Load(count);
        const Stats library = Measure(Nothing, [&] { CPluginInterface::Instance()->GetSystemHealthText(text.data(), 16384); },
                                      Nothing);
        const Stats fair = Measure(
            Nothing,
            [&] {
                wchar_t* at = text.data();
                wchar_t* const end = text.data() + text.size();
                for (size_t i = 0; i < count && end - at > 1; ++i) {
                    const int written = swprintf(at, static_cast<size_t>(end - at),
                                                 L"%ls|hContext=%lld||OK||font=NORMAL|Bench plug-in %zu|OK||font=NORMAL|%ls\r\n",
                                                 i % 2 == 0 ? L"|dark|" : L"|light|",
                                                 static_cast<long long>(reinterpret_cast<INT_PTR>(handles[i])), i,
                                                 L"Everything is working");
                    if (written < 0) break;
                    at += written;
                }
            },
            Nothing);
        FairRow("GetSystemHealthText", std::to_string(count) + " plug-ins", static_cast<double>(count), library, fair,
                none);
        const Stats unload = Measure([&] { host.Load(count); }, [&] { host.UnloadAll(); }, Nothing);
        std::vector<HMODULE> modules;
        const Stats unloadByHand = Measure(
            [&] {
                for (size_t i = 0; i < count; ++i) {
                    HMODULE module = LoadLibraryExW(host.Files()[i].c_str(), nullptr, 0);
                    if (module != nullptr) modules.push_back(module);
                }
            },
            [&] {
                for (HMODULE module : modules) {
                    auto activity = reinterpret_cast<VARNEL_ACTIVITY_CALLBACK_PROC>(
                        reinterpret_cast<void*>(GetProcAddress(module, "PluginActivity")));
                    auto cleanup = reinterpret_cast<VARNEL_CLEANUP_CALLBACK_PROC>(
                        reinterpret_cast<void*>(GetProcAddress(module, "PluginCleanup")));
                    if (activity != nullptr) activity(static_cast<VARNEL_ACTIVITY>(2), 0, 0, nullptr);
                    if (cleanup != nullptr) cleanup(nullptr);
                    FreeLibrary(module);
                }
                modules.clear();
            },
            Nothing);
        FairRow("UnloadPlugins", std::to_string(count) + " plug-ins", static_cast<double>(count), unload, unloadByHand,
                none);
    }
}

// ---------------------------------------------------------------- 3. reading the history

void WriteHistory(const std::wstring& path, size_t lines, size_t targetBytes)
{
    std::wstring content;
    for (size_t i = 0; (lines != 0 && i < lines) || (targetBytes != 0 && content.size() * 2 < targetBytes); ++i)
        content += HistoryLine(static_cast<int>(i % 3), (L"Plug-in " + std::to_wstring(i % 20)).c_str(),
                               (L"state text number " + std::to_wstring(i)).c_str());
    testenv::WriteText(path, content);
}

void HistoryReads()
{
    Header("Reading the history", "`CPluginStateHistory::Read` of one of 20 names",
           "read the whole file and split it into lines");
    const std::wstring path = CPluginInterface::Instance()->GetHistoryFilePath();
    struct Size {
        size_t lines;
        size_t bytes;
        std::string label;
    };
    for (const Size& size : {Size{10, 0, "10 lines"}, Size{100, 0, "100 lines"}, Size{1000, 0, "1000 lines"},
                             Size{0, 2 * 1024 * 1024 - 4096, "2 MiB"}}) {
        WriteHistory(path, size.lines, size.bytes);
        int entries = 0;
        const Stats library = Measure(Nothing,
                                      [&] {
                                          CPluginStateHistory reader(L"Plug-in 7");
                                          reader.Read();
                                          entries = reader.GetNumHistoricalStateEntries();
                                      },
                                      Nothing);
        size_t lineCount = 0;
        const Stats baseline = Measure(
            Nothing,
            [&] {
                HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
                LARGE_INTEGER bytes{};
                GetFileSizeEx(file, &bytes);
                std::vector<wchar_t> text(static_cast<size_t>(bytes.QuadPart) / 2 + 1);
                DWORD got = 0;
                ReadFile(file, text.data(), static_cast<DWORD>(bytes.QuadPart), &got, nullptr);
                CloseHandle(file);
                std::vector<std::wstring> lines;
                const wchar_t* start = text.data();
                const wchar_t* end = text.data() + got / 2;
                for (const wchar_t* c = start; c + 1 < end; ++c)
                    if (c[0] == L'\r' && c[1] == L'\n') {
                        lines.emplace_back(start, c);
                        start = c + 2;
                    }
                lineCount = lines.size();
            },
            Nothing);
        if (entries == 0 || lineCount == 0) Anomaly("(nothing read: %d entries, %zu lines)\n", entries, lineCount);
        Row("Read", size.label, library, baseline);
    }
    CPluginStateHistory::DeleteHistoryFile();
}

// ---------------------------------------------------------------- 4. copy-data round trips

LRESULT CALLBACK PeerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA) return 1;
    return DefWindowProcW(window, message, wParam, lParam);
}

int RunPeer()
{
    HWND window = testenv::MakePopupWindow(kPeerClass, kPeerTitle, &PeerProc);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kPeerReady);
    if (ready != nullptr) {
        SetEvent(ready);
        CloseHandle(ready);
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    DestroyWindow(window);
    return 0;
}

void CopyDataRoundTrips()
{
    Header("Copy-data round trips", "`CVarnelPrivateInterface::CopyDataIPC` to a window of another process",
           "`SendMessageW(WM_COPYDATA)` of the same 2056 bytes to that window");
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kPeerReady);
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --peer";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION peer{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &peer) ||
        WaitForSingleObject(ready, 20000) != WAIT_OBJECT_0) {
        Anomaly("(the copy-data host did not start)\n");
        CloseHandle(ready);
        return;
    }
    CloseHandle(ready);
    HWND target = FindWindowW(kPeerClass, kPeerTitle);

    CVarnelPrivateInterface::IPC_DATA record{};
    record.reason = 8;
    wcsncpy(record.stringValue, L"C:\\Program Files\\Zerova\\Plugins\\Scanner.dll", 1023);
    record.intValue = 1;
    COPYDATASTRUCT data{};
    data.cbData = sizeof(record);
    data.lpData = &record;
    for (int trips : {10, 100, 1000}) {
        bool refused = false;
        const Stats library = Measure(Nothing,
                                      [&] {
                                          for (int i = 0; i < trips; ++i)
                                              refused |= !CVarnelPrivateInterface::CopyDataIPC(
                                                  target, nullptr, 8, L"C:\\Program Files\\Zerova\\Plugins\\Scanner.dll", 1);
                                      },
                                      Nothing);
        const Stats baseline = Measure(Nothing,
                                       [&] {
                                           for (int i = 0; i < trips; ++i)
                                               SendMessageW(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
                                       },
                                       Nothing);
        if (refused) Anomaly("(the host refused a request)\n");
        Row("CopyDataIPC", std::to_string(trips) + " round trips of " + std::to_string(sizeof(record)) + " bytes",
            library, baseline);
    }
    PostMessageW(target, WM_QUIT, 0, 0);
    PostThreadMessageW(peer.dwThreadId, WM_QUIT, 0, 0);
    if (WaitForSingleObject(peer.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(peer.hProcess, 0);
    CloseHandle(peer.hThread);
    CloseHandle(peer.hProcess);
}

// ---------------------------------------------------------------- 5. menu items

// The same read-back as CVarnelMenuUtils::Checksum, written by hand.
void ChecksumByHand(HMENU menu, __int64& sum)
{
    const int count = GetMenuItemCount(menu);
    for (int position = 0; position < count; ++position) {
        wchar_t caption[MAX_PATH] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_SUBMENU | MIIM_DATA | MIIM_STRING;
        info.dwTypeData = caption;
        info.cch = MAX_PATH;
        GetMenuItemInfoW(menu, static_cast<UINT>(position), TRUE, &info);
        sum += info.fMask + info.fState + info.fType + info.wID;
        for (const wchar_t* unit = caption; *unit != L'\0'; ++unit) sum += static_cast<unsigned short>(*unit);
        if (info.hSubMenu != nullptr) ChecksumByHand(info.hSubMenu, sum);
    }
}

// Plug-in items placed by hand as the menu model places them: three flyouts, each owner's items in
// the order of their identifiers, a duplicate (same owner, identifier and caption) refused, a record
// per item. The flyouts show what the tray menu shows after every add: they start as the emptied
// ones stand (disabled, still in the menu); the first add takes out every other disabled one, and a
// flyout that is out comes back when it gets its first item, enabled.
class HandMadeFlyouts {
public:
    HandMadeFlyouts()
    {
        m_popup = CreatePopupMenu();
        for (int c = 0; c < 3; ++c) {
            m_lists[c] = CreatePopupMenu();
            AppendMenuW(m_popup, MF_POPUP | MF_GRAYED | MF_DISABLED, reinterpret_cast<UINT_PTR>(m_lists[c]), L"Flyout");
            m_shown[c] = true;
        }
    }
    ~HandMadeFlyouts()
    {
        for (int c = 0; c < 3; ++c)
            if (!m_shown[c]) DestroyMenu(m_lists[c]);
        DestroyMenu(m_popup);
    }
    HandMadeFlyouts(const HandMadeFlyouts&) = delete;
    HandMadeFlyouts& operator=(const HandMadeFlyouts&) = delete;

    bool Add(UINT owner, const wchar_t* caption, int itemId, int category)
    {
        HMENU list = m_lists[category];
        std::map<int, std::vector<std::wstring>>& own = m_placed[{category, owner}];
        const auto next = own.lower_bound(itemId);
        if (next != own.end() && next->first == itemId &&
            std::find(next->second.begin(), next->second.end(), caption) != next->second.end())
            return false;
        m_records.push_back(std::make_unique<int>(itemId));
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_ID | MIIM_STRING | MIIM_DATA | MIIM_STATE;
        info.wID = owner + static_cast<UINT>(itemId);
        info.dwTypeData = const_cast<wchar_t*>(caption);
        info.dwItemData = reinterpret_cast<ULONG_PTR>(m_records.back().get());
        const bool wasEmpty = GetMenuItemCount(list) == 0;
        if (!m_shown[category]) {
            InsertMenuW(m_popup, static_cast<UINT>(PositionOf(category)), MF_BYPOSITION | MF_POPUP,
                        reinterpret_cast<UINT_PTR>(list), L"Flyout");
            m_shown[category] = true;
        }
        const BOOL inserted = next != own.end()
                                  ? InsertMenuItemW(list, owner + static_cast<UINT>(next->first), FALSE, &info)
                                  : InsertMenuItemW(list, static_cast<UINT>(GetMenuItemCount(list)), TRUE, &info);
        if (!inserted) return false;
        own[itemId].push_back(caption);
        if (wasEmpty) EnableMenuItem(m_popup, static_cast<UINT>(PositionOf(category)), MF_BYPOSITION | MF_ENABLED);
        if (m_hidePending) HideEmptyFlyouts();
        return true;
    }
    HMENU Popup() const { return m_popup; }

private:
    // Among the flyouts in the menu, in their order.
    int PositionOf(int category) const
    {
        int position = 0;
        for (int c = 0; c < category; ++c) position += m_shown[c] ? 1 : 0;
        return position;
    }
    void HideEmptyFlyouts()
    {
        for (int c = 2; c >= 0; --c)
            if (m_shown[c] && GetMenuItemCount(m_lists[c]) == 0) {
                RemoveMenu(m_popup, static_cast<UINT>(PositionOf(c)), MF_BYPOSITION);
                m_shown[c] = false;
            }
        m_hidePending = false;
    }

    HMENU m_popup = nullptr;
    HMENU m_lists[3] = {};
    bool m_shown[3] = {};
    bool m_hidePending = true;
    std::map<std::pair<int, UINT>, std::map<int, std::vector<std::wstring>>> m_placed;
    std::vector<std::unique_ptr<int>> m_records;
};

// What the menu calls of an add cost once the menu holds many items: Windows looks for a command
// item by item, through every pop-up list.
void ProfileMenuWithItems(const std::vector<void*>& handles, HMENU popup, int items)
{
    for (int i = 0; i < items; ++i)
        CVarnelMenuUtils::Instance()->AddMenuItem(handles[static_cast<size_t>(i % 10)],
                                                  (L"Command " + std::to_wstring(i)).c_str(), i / 10 + 1,
                                                  static_cast<VARNEL_MENU_CATEGORY>(i % 3));
    const int lookups = 1000;
    double start = Now();
    for (int i = 0; i < lookups; ++i) GetMenuState(popup, 0xFFFFFFF0u - static_cast<UINT>(i), MF_BYCOMMAND);
    const double missing = (Now() - start) * 1000.0 / lookups;
    start = Now();
    for (int i = 0; i < lookups; ++i)
        CVarnelMenuUtils::Instance()->AddMenuItem(handles[0], L"Profile", 60000 + i, VARNEL_MENU_CATEGORY_A);
    const double add = (Now() - start) * 1000.0 / lookups;
    __int64 sum = 0;
    start = Now();
    CVarnelMenuUtils::Checksum(popup, sum);
    const double checksum = Now() - start;
    std::printf("\nProfile with %d items in the menu: one `AddMenuItem` %.1f us, of which one whole-menu look-up of a "
                "command that is not there (the collision check) %.1f us; the read-back checksum %.3f ms.\n",
                items, add, missing, checksum);
    for (void* handle : handles) CVarnelMenuUtils::Instance()->RemovePluginMenuItems(handle);
}

void MenuItems(Host& host, const std::vector<int>& sizes)
{
    FairHeader("Menu items", "`AddMenuItem` over 10 plug-ins into the three category flyouts, then `Checksum` of the menu",
               "the same items placed by hand in owner and identifier order with the duplicate check, a record per "
               "item, the flyout enabled (and put back when it was out) at its first item and the emptied flyouts "
               "taken out at the first add, then the same read-back checksum",
               "`InsertMenuItemW` appending the same items to three pop-up menus", "item");
    std::vector<void*> handles = host.Load(10);
    HMENU popup = COXIL_DllMain::Instance()->GetSubMenu();
    for (int items : sizes) {
        __int64 sum = 0;
        int added = 0;
        auto caption = [](int i) { return L"Command " + std::to_wstring(i); };
        const Stats library = Measure(
            [&] { added = 0; },
            [&] {
                for (int i = 0; i < items; ++i)
                    added += CVarnelMenuUtils::Instance()->AddMenuItem(handles[static_cast<size_t>(i % 10)],
                                                                       caption(i).c_str(), i / 10 + 1,
                                                                       static_cast<VARNEL_MENU_CATEGORY>(i % 3));
                CVarnelMenuUtils::Checksum(popup, sum);
            },
            [&] {
                if (added != items) Anomaly("(only %d of %d items added)\n", added, items);
                for (void* handle : handles) CVarnelMenuUtils::Instance()->RemovePluginMenuItems(handle);
            });
        std::unique_ptr<HandMadeFlyouts> handMade;
        const Stats fair = Measure(
            [&] { handMade = std::make_unique<HandMadeFlyouts>(); },
            [&] {
                for (int i = 0; i < items; ++i)
                    handMade->Add(0x10000u * static_cast<UINT>(i % 10 + 1), caption(i).c_str(), i / 10 + 1, i % 3);
                ChecksumByHand(handMade->Popup(), sum);
            },
            [&] { handMade.reset(); });
        std::vector<HMENU> menus;
        const Stats lower = Measure(
            [&] {
                for (int c = 0; c < 3; ++c) menus.push_back(CreatePopupMenu());
            },
            [&] {
                for (int i = 0; i < items; ++i) {
                    const std::wstring text = caption(i);
                    MENUITEMINFOW info{};
                    info.cbSize = sizeof(info);
                    info.fMask = MIIM_ID | MIIM_STRING | MIIM_DATA;
                    info.wID = static_cast<UINT>(10000 + i);
                    info.dwTypeData = const_cast<wchar_t*>(text.c_str());
                    info.dwItemData = static_cast<ULONG_PTR>(i);
                    HMENU menu = menus[static_cast<size_t>(i % 3)];
                    InsertMenuItemW(menu, static_cast<UINT>(GetMenuItemCount(menu)), TRUE, &info);
                }
            },
            [&] {
                for (HMENU menu : menus) DestroyMenu(menu);
                menus.clear();
            });
        FairRow("AddMenuItem + Checksum", std::to_string(items) + " items", items, library, fair, lower);
    }
    ProfileMenuWithItems(handles, popup, sizes.back());
    host.UnloadAll();
}

// One plug-in adding many items while the host's thread waits: the longest single call.
void ManyItemsFromOnePlugin(Host& host, int items)
{
    std::vector<void*> handles = host.Load(1);
    double longest = 0;
    const double start = Now();
    int added = 0;
    for (int i = 0; i < items; ++i) {
        const std::wstring caption = L"Command " + std::to_wstring(i);
        const double before = Now();
        added += CVarnelMenuUtils::Instance()->AddMenuItem(handles[0], caption.c_str(), i + 1,
                                                           static_cast<VARNEL_MENU_CATEGORY>(i % 3));
        longest = std::max(longest, Now() - before);
    }
    const double total = Now() - start;
    std::printf("\n%d items from one plug-in: %d added in %.1f ms; the longest single `AddMenuItem` took %.3f ms.\n",
                items, added, total, longest);
    if (added != items) Anomaly("(only %d of %d items added)\n", added, items);
    CVarnelMenuUtils::Instance()->RemovePluginMenuItems(handles[0]);
    host.UnloadAll();
}

// ---------------------------------------------------------------- what the hang watch adds

// The work the hang watch and the call record put on a state change and a menu add, timed on its
// own: every export names itself for the length of its call (a thread slot read, written, written
// back) and a state set asks the thread's chain of plug-in calls for its innermost entry (one more
// read). The same slot class the library uses, as often as the library uses it.
double AddedNanoseconds(bool withChainRead)
{
    static zerova::ThreadValue<const char*> exportName;
    static zerova::ThreadValue<const void*> innermostCall;
    const int iterations = 1000000;
    const void* volatile seen = nullptr;
    const Stats stats = Measure(Nothing,
                                [&] {
                                    for (int i = 0; i < iterations; ++i) {
                                        const char* outer = exportName.Get();
                                        exportName.Set("VarnelSetState");
                                        if (withChainRead) seen = innermostCall.Get();
                                        exportName.Set(outer);
                                    }
                                },
                                Nothing);
    (void)seen;
    return stats.median * 1e6 / iterations;
}

// The host's processor time while it waits for nothing, in ms per second: all its threads, of
// which the hang watch looks at the call record ten times a second.
double IdleProcessorMsPerSecond(double seconds)
{
    auto used = [] {
        FILETIME created, ended, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
        auto ms = [](const FILETIME& t) {
            return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
        };
        return ms(kernel) + ms(user);
    };
    const double before = used();
    Sleep(static_cast<DWORD>(seconds * 1000));
    return (used() - before) / seconds;
}

void WhatTheWatchAdds(Host& host, double idleSeconds)
{
    std::printf("\n### What the hang watch and the call record add\n\n"
                "Library: `VarnelSetState` and `VarnelAddMenuItem` through the exports with 10 plug-ins loaded, "
                "and `PluginActivity` of a plug-in that does nothing called through the library (its guard and "
                "call record). Added work: what the exports and a state set do for the hang watch and the errors "
                "that name a refused call, timed alone; the raw call of `PluginActivity` by its address.\n\n");
    std::printf("| figure | size | library us per operation | added us | share of the operation |\n"
                "|---|---|---|---|---|\n");
    std::vector<void*> handles = host.Load(10);
    const int changes = 2000;
    int round = 0;
    const Stats state = Measure(
        [&] { CPluginStateHistory::DeleteHistoryFile(); },
        [&] {
            for (int i = 0; i < changes; ++i) {
                std::wstring text = L"watch " + std::to_wstring(round) + L" " + std::to_wstring(i);
                VarnelSetState(handles[static_cast<size_t>(i) % handles.size()],
                               (i / 10 + round) % 2 != 0 ? VARNEL_PLUGIN_STATE_WARNING : VARNEL_PLUGIN_STATE_OK,
                               &text[0]);
            }
        },
        [&] { ++round; });
    const int items = 1000;
    int added = 0;
    const Stats menu = Measure([&] { added = 0; },
                               [&] {
                                   for (int i = 0; i < items; ++i)
                                       added += VarnelAddMenuItem(handles[static_cast<size_t>(i % 10)],
                                                                  (L"Command " + std::to_wstring(i)).c_str(),
                                                                  i / 10 + 1, static_cast<VARNEL_MENU_CATEGORY>(i % 3));
                               },
                               [&] {
                                   if (added != items) Anomaly("(only %d of %d items added)\n", added, items);
                                   for (void* handle : handles) CVarnelMenuUtils::Instance()->RemovePluginMenuItems(handle);
                               });
    const double stateUs = state.median * 1000.0 / changes;
    const double menuUs = menu.median * 1000.0 / items;
    const double stateAddedUs = AddedNanoseconds(true) / 1000.0;
    const double menuAddedUs = AddedNanoseconds(false) / 1000.0;
    std::printf("| VarnelSetState | 10 plug-ins | %.3f | %.4f | %.3f%% |\n", stateUs, stateAddedUs,
                100.0 * stateAddedUs / stateUs);
    std::printf("| VarnelAddMenuItem | 10 plug-ins | %.3f | %.4f | %.3f%% |\n", menuUs, menuAddedUs,
                100.0 * menuAddedUs / menuUs);

    CPlugin* plugin = static_cast<CPlugin*>(static_cast<VARNEL_PLUGIN_DATA*>(handles[0])->plugin);
    using ActivityProc = int(VARNEL_CALL*)(VARNEL_ACTIVITY, int, INT_PTR, void*);
    const auto raw = reinterpret_cast<ActivityProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(host.Files()[0].c_str()), "PluginActivity")));
    if (raw == nullptr) {
        Anomaly("(the plug-in's PluginActivity was not found)\n");
        host.UnloadAll();
        return;
    }
    const int calls = 100000;
    const Stats guarded = Measure(
        Nothing, [&] { for (int i = 0; i < calls; ++i) plugin->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, i, 0); }, Nothing);
    const Stats direct = Measure(
        Nothing, [&] { for (int i = 0; i < calls; ++i) raw(VARNEL_ACTIVITY_PLUGIN_COMM, i, 0, nullptr); }, Nothing);
    const double guardedUs = guarded.median * 1000.0 / calls;
    const double directUs = direct.median * 1000.0 / calls;
    std::printf("| PluginActivity through the library | one call | %.3f | %.3f over the raw call's %.3f | |\n", guardedUs,
                guardedUs - directUs, directUs);
    const double idle = IdleProcessorMsPerSecond(idleSeconds);
    std::printf("| the idle host | %.0f s | %.3f ms of processor time per second | | %.3f%% of one processor |\n",
                idleSeconds, idle, idle / 10.0);
    host.UnloadAll();
}

void PrintMachine()
{
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto wineVersion = reinterpret_cast<const char* (*)()>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    std::printf("Processors: %lu; Wine: %s; build: %s; repeats per figure: %d.\n", system.dwNumberOfProcessors,
                wineVersion != nullptr ? wineVersion() : "none (Windows)", sizeof(void*) == 8 ? "x86_64" : "i686",
                g_repeats);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    bool quick = false;
    std::wstring only;
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        if (word == L"--peer") return RunPeer();
        if (word == L"--quick") quick = true;
        else if (word == L"--repeats" && i + 1 < argc) g_repeats = std::max(1, _wtoi(argv[++i]));
        else if (word == L"--only" && i + 1 < argc) only = argv[++i];
    }
    testenv::RegistryKeyGuard plugins(HKEY_LOCAL_MACHINE, kPluginsKey);
    PrintMachine();
    const size_t most = quick ? 100 : 1000;
    Host host(most);
    auto wanted = [&](const wchar_t* section) { return only.empty() || only == section; };
    if (wanted(L"load")) LoadingPlugins(host, quick ? std::vector<size_t>{10, 100} : std::vector<size_t>{10, 100, 200, 1000});
    if (wanted(L"state"))
        StateChanges(host, quick ? std::vector<size_t>{10, 50} : std::vector<size_t>{10, 50, 100, 1000}, 200);
    if (wanted(L"history")) HistoryReads();
    if (wanted(L"copydata")) CopyDataRoundTrips();
    if (wanted(L"menu")) {
        MenuItems(host, quick ? std::vector<int>{10, 100} : std::vector<int>{10, 100, 1000, 3000});
        ManyItemsFromOnePlugin(host, quick ? 1000 : 10000);
    }
    if (wanted(L"watch")) WhatTheWatchAdds(host, quick ? 1.0 : 5.0);
    if (wanted(L"texts")) TextsAndUnload(host, quick ? std::vector<size_t>{10, 100} : std::vector<size_t>{10, 100, 1000});
    testenv::DispatchWaitingMessages();
    return g_anomalies == 0 ? 0 : 1;
}
