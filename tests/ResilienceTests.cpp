// Plug-ins that hang, fault or end the process: the tray reports a hung call while it runs and puts
// the plug-in back when it returns, writes crash dumps for the plug-in's vendor, keeps repeat
// offenders out until they are cleared, and names plug-ins that are slow to load.
#include "PluginHostTests.h"

#include "ErrorMsg.h"
#include "PluginStateHistory.h"
#include "RegistryEx.h"

#include <dbghelp.h>

#include <algorithm>
#include <thread>

using hosttest::kPluginsKey;
using hosttest::kSettingsKey;
using hosttest::PluginHostTest;

namespace {
const wchar_t* const kSettings[] = {L"HangLimitMilliseconds", L"QuarantineAfter", L"QuarantineHours",
                                    L"WriteCrashDumps"};

// The streams of a minidump file, read the way a vendor's debugger reads them.
class DumpFile {
public:
    explicit DumpFile(const std::wstring& path)
    {
        m_file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (m_file == INVALID_HANDLE_VALUE) return;
        m_mapping = CreateFileMappingW(m_file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (m_mapping != nullptr) m_base = MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, 0);
    }
    ~DumpFile()
    {
        if (m_base != nullptr) UnmapViewOfFile(m_base);
        if (m_mapping != nullptr) CloseHandle(m_mapping);
        if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    }
    bool Opened() const { return m_base != nullptr; }
    template <typename T>
    const T* Stream(ULONG kind) const
    {
        MINIDUMP_DIRECTORY* directory = nullptr;
        void* stream = nullptr;
        ULONG size = 0;
        if (m_base == nullptr || !MiniDumpReadDumpStream(m_base, kind, &directory, &stream, &size) || size < sizeof(T))
            return nullptr;
        return static_cast<const T*>(stream);
    }
    std::wstring StringAt(RVA rva) const
    {
        const auto* text = reinterpret_cast<const MINIDUMP_STRING*>(static_cast<const BYTE*>(m_base) + rva);
        return std::wstring(text->Buffer, text->Length / sizeof(wchar_t));
    }

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
    HANDLE m_mapping = nullptr;
    void* m_base = nullptr;
};

// Runs the helper process with arguments and waits; its exit code, or -1.
long RunPeer(const std::wstring& arguments)
{
    std::wstring command = L"\"" + testenv::Join(testenv::ProgramFolder(), L"PluginCrashPeer.exe") + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = static_cast<DWORD>(-1);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

std::wstring RegText(const std::wstring& key, const wchar_t* value)
{
    wchar_t text[2048] = L"";
    CRegistryEx::Get(HKEY_LOCAL_MACHINE, key.c_str(), value, text, 2048);
    return text;
}

DWORD RegNumber(const std::wstring& key, const wchar_t* value)
{
    DWORD number = 0;
    CRegistryEx::Get(HKEY_LOCAL_MACHINE, key.c_str(), value, number);
    return number;
}
}  // namespace

class Resilience : public PluginHostTest {
protected:
    void SetUp() override
    {
        PluginHostTest::SetUp();
        for (const wchar_t* value : kSettings) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, value);
        m_release = CreateEventW(nullptr, TRUE, FALSE, L"VarnelTestsRelease");
        ResetEvent(m_release);
    }
    void TearDown() override
    {
        SetEvent(m_release);
        PluginHostTest::TearDown();
        for (const wchar_t* value : kSettings) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, value);
        CloseHandle(m_release);
    }
    void Setting(const wchar_t* value, DWORD data) { ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, value, data)); }
    void RegisterFaulting(const std::wstring& subkey)
    {
        const std::wstring file = subkey + L".dll";
        Register(subkey, CopyFixture(L"FixtureCapabilities", file));
        Configure(file, L"FaultIn", L"Activity");
    }
    void* LoadFaulting(const std::wstring& subkey)
    {
        RegisterFaulting(subkey);
        void* handle = nullptr;
        Registry()->LoadPlugin(subkey.c_str(), &handle);
        return handle;
    }
    // Loads the plug-in, makes it fault in its activity and unloads it.
    void FaultOnce(const std::wstring& subkey)
    {
        void* handle = nullptr;
        ASSERT_TRUE(Registry()->LoadPlugin(subkey.c_str(), &handle));
        PluginOf(handle)->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, 1, 0);
        ASSERT_TRUE(PluginOf(handle)->HasFaulted());
        Registry()->UnloadPlugin(handle);
    }
    std::wstring HealthText()
    {
        std::vector<wchar_t> text(65536);
        Registry()->GetSystemHealthText(text.data(), static_cast<int>(text.size()));
        return text.data();
    }
    static std::wstring Entry(const std::wstring& subkey) { return std::wstring(kPluginsKey) + L"\\" + subkey; }

    HANDLE m_release = nullptr;
};

TEST_F(Resilience, ACallPastTheHangLimitShowsThePluginStoppedWhileItRunsAndItsStateComesBackWhenItReturns)
{
    Setting(L"HangLimitMilliseconds", 400);
    Register(L"Sleepy", CopyFixture(L"FixtureBasic", L"Sleepy.dll"));
    Configure(L"Sleepy.dll", L"HangIn", L"Activity");
    Configure(L"Sleepy.dll", L"DisplayName", L"Sleepy plug-in");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Sleepy", &handle));
    CPlugin* plugin = PluginOf(handle);
    wchar_t busy[] = L"scanning";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_WARNING, busy, nullptr);
    wchar_t shown[MAX_PATH];
    plugin->GetDisplayName(shown, MAX_PATH);

    std::thread caller([plugin] { plugin->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, 1, 0); });
    const bool reported = testenv::PumpUntil([&] { return plugin->IsHung(); }, 5000);
    EXPECT_TRUE(reported) << "reported while the call still runs";
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, plugin->GetState());
    EXPECT_EQ(445, plugin->GetLastError());
    wchar_t text[MAX_PATH];
    const std::wstring hung = plugin->GetStateText(text, MAX_PATH);
    const std::wstring expected = Message(445, shown, L"PluginActivity", L"");
    EXPECT_EQ(expected.substr(0, expected.find(L" seconds") - 1), hung.substr(0, expected.find(L" seconds") - 1));
    VARNEL_PLUGIN_STATE tray = VARNEL_PLUGIN_STATE_OK;
    wchar_t title[MAX_PATH];
    Registry()->GetTrayState(tray, title, MAX_PATH);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, tray) << "the tray shows it";
    EXPECT_NE(std::wstring::npos, HealthText().find(L"does not respond")) << "and its health line says so";
    wchar_t meanwhile[] = L"still scanning";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_WARNING, meanwhile, nullptr);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, plugin->GetState()) << "and shown once the call returns";

    SetEvent(m_release);
    caller.join();
    EXPECT_FALSE(plugin->IsHung());
    EXPECT_EQ(VARNEL_PLUGIN_STATE_WARNING, plugin->GetState()) << "its state comes back when the call returns";
    EXPECT_EQ(std::wstring(L"still scanning"), std::wstring(plugin->GetStateText(text, MAX_PATH)));
    Registry()->GetTrayState(tray, title, MAX_PATH);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_WARNING, tray);

    CPluginStateHistory history(shown);
    history.Read();
    std::vector<std::pair<VARNEL_PLUGIN_STATE, std::wstring>> lines;
    const int entries = history.GetNumHistoricalStateEntries();
    for (int i = 0; i < entries; ++i) {
        VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
        SYSTEMTIME when{};
        wchar_t recorded[MAX_PATH] = L"";
        history.GetHistoricalState(&state, recorded, MAX_PATH, &when);
        lines.emplace_back(state, recorded);
    }
    std::string all;
    for (const auto& line : lines) all += std::to_string(line.first) + " " + testenv::Narrow(line.second) + "\n";
    ASSERT_GE(lines.size(), 3u) << all;
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, lines[lines.size() - 3].first) << "the hang has its history line\n" << all;
    EXPECT_EQ(std::wstring(L"still scanning"), lines[lines.size() - 2].second) << "what it set meanwhile too\n" << all;
    EXPECT_EQ(VARNEL_PLUGIN_STATE_WARNING, lines.back().first);
    EXPECT_NE(std::wstring::npos, lines.back().second.find(L"responds again")) << "and so has the return";
    EXPECT_EQ(1u, RegNumber(Entry(L"Sleepy"), L"OffenceCount")) << "a hang past the limit counts against it";
}

TEST_F(Resilience, ACallWithinTheHangLimitIsNotReported)
{
    Setting(L"HangLimitMilliseconds", 3000);
    Register(L"Brief", CopyFixture(L"FixtureBasic", L"Brief.dll"));
    Configure(L"Brief.dll", L"HangIn", L"Activity");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Brief", &handle));
    CPlugin* plugin = PluginOf(handle);
    std::thread caller([plugin] { plugin->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, 1, 0); });
    testenv::Pump(1500);
    EXPECT_FALSE(plugin->IsHung());
    SetEvent(m_release);
    caller.join();
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, plugin->GetState());
    EXPECT_EQ(0u, RegNumber(Entry(L"Brief"), L"OffenceCount"));
}

TEST_F(Resilience, AGuardedFaultLeavesACrashDumpWithTheExceptionTheThreadsAndTheModules)
{
    void* handle = LoadFaulting(L"Crashy");
    ASSERT_NE(nullptr, handle);
    PluginOf(handle)->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, 1, 0);
    wchar_t text[MAX_PATH];
    const std::wstring shown = PluginOf(handle)->GetStateText(text, MAX_PATH);
    const size_t note = shown.find(L"Crash dump: ");
    ASSERT_NE(std::wstring::npos, note) << testenv::Narrow(shown);
    const std::wstring file = shown.substr(note + 12);
    EXPECT_EQ(0u, file.find(L"Crashy-")) << "named after the plug-in";

    DumpFile dump(Registry()->CrashDumpFolder() + L"\\" + file);
    ASSERT_TRUE(dump.Opened());
    const auto* exception = dump.Stream<MINIDUMP_EXCEPTION_STREAM>(ExceptionStream);
    ASSERT_NE(nullptr, exception);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), exception->ExceptionRecord.ExceptionCode);
    EXPECT_EQ(GetCurrentThreadId(), exception->ThreadId) << "the faulting thread";
    const auto* threads = dump.Stream<MINIDUMP_THREAD_LIST>(ThreadListStream);
    ASSERT_NE(nullptr, threads);
    const MINIDUMP_THREAD* faulting = nullptr;
    for (ULONG i = 0; i < threads->NumberOfThreads; ++i)
        if (threads->Threads[i].ThreadId == GetCurrentThreadId()) faulting = &threads->Threads[i];
    ASSERT_NE(nullptr, faulting);
    EXPECT_GT(faulting->Stack.Memory.DataSize, 0u) << "with its stack";
    const auto* modules = dump.Stream<MINIDUMP_MODULE_LIST>(ModuleListStream);
    ASSERT_NE(nullptr, modules);
    bool pluginListed = false;
    for (ULONG i = 0; i < modules->NumberOfModules; ++i) {
        const std::wstring name = dump.StringAt(modules->Modules[i].ModuleNameRva);
        pluginListed |= name.size() >= 10 && _wcsicmp(name.c_str() + name.size() - 10, L"Crashy.dll") == 0;
    }
    EXPECT_TRUE(pluginListed) << "and the plug-in's library among the modules";
}

TEST_F(Resilience, TheDumpFolderKeepsTheNewestTenDumps)
{
    const std::wstring folder = Registry()->CrashDumpFolder();
    ASSERT_FALSE(folder.empty());
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*.dmp").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
        DeleteFileW((folder + L"\\" + found.cFileName).c_str());
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    // Eleven older dumps, a day apart.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time{};
    time.LowPart = now.dwLowDateTime;
    time.HighPart = now.dwHighDateTime;
    std::vector<std::wstring> old;
    for (int day = 1; day <= 11; ++day) {
        const std::wstring path = folder + L"\\Older-" + std::to_wstring(day) + L".dmp";
        ASSERT_TRUE(testenv::WriteAnsi(path, "MDMP"));
        ULARGE_INTEGER then = time;
        then.QuadPart -= static_cast<ULONGLONG>(day) * 864000000000ull;
        HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        FILETIME written{then.LowPart, then.HighPart};
        SetFileTime(file, nullptr, nullptr, &written);
        CloseHandle(file);
        old.push_back(path);
    }
    void* handle = LoadFaulting(L"Crashy");
    ASSERT_NE(nullptr, handle);
    PluginOf(handle)->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, 1, 0);

    for (int day = 1; day <= 9; ++day)
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(old[day - 1].c_str())) << "day " << day << " stays";
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(old[9].c_str())) << "the eleventh newest goes";
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(old[10].c_str()));
    for (int day = 1; day <= 9; ++day) DeleteFileW(old[day - 1].c_str());
}

TEST_F(Resilience, TheTimeACrashDumpTakesIsNotAHangOfTheFaultedCall)
{
    Setting(L"HangLimitMilliseconds", 100);  // far below what a dump takes (a process is started)
    RegisterFaulting(L"Crashy");
    testenv::TraceCapture traces;
    FaultOnce(L"Crashy");
    EXPECT_EQ(1u, RegNumber(Entry(L"Crashy"), L"OffenceCount")) << "one fault, one offence";
    EXPECT_FALSE(traces.ContainsPart(L"does not respond")) << "no hang was reported";
    EXPECT_NE(std::wstring::npos, RegText(Entry(L"Crashy"), L"LastOffence").find(L"stopped working"))
        << testenv::Narrow(RegText(Entry(L"Crashy"), L"LastOffence"));
}

TEST_F(Resilience, APluginThatFaultsThreeTimesWithinTheWindowIsKeptOutUntilItIsCleared)
{
    RegisterFaulting(L"Crashy");
    FaultOnce(L"Crashy");
    FaultOnce(L"Crashy");
    EXPECT_FALSE(Registry()->IsQuarantined(L"Crashy")) << "two offences are below the limit";
    EXPECT_EQ(2u, RegNumber(Entry(L"Crashy"), L"OffenceCount"));
    FaultOnce(L"Crashy");
    std::wstring reason;
    EXPECT_TRUE(Registry()->IsQuarantined(L"Crashy", &reason)) << "the third one puts it in quarantine";
    EXPECT_NE(std::wstring::npos, reason.find(L"stopped working")) << testenv::Narrow(reason);
    EXPECT_EQ(1u, RegNumber(Entry(L"Crashy"), L"Quarantined"));

    void* handle = nullptr;
    EXPECT_FALSE(Registry()->LoadPlugin(L"Crashy", &handle)) << "it is not loaded";
    EXPECT_EQ(448, CErrorMsg::Instance()->GetLastError()) << "and that is reported";
    EXPECT_NE(std::wstring::npos, HealthText().find(L"In quarantine: ")) << "its health line says why";

    EXPECT_TRUE(Registry()->ClearQuarantine(L"Crashy"));
    EXPECT_FALSE(Registry()->IsQuarantined(L"Crashy"));
    EXPECT_EQ(0u, RegNumber(Entry(L"Crashy"), L"OffenceCount")) << "its offences are forgotten";
    EXPECT_TRUE(Registry()->LoadPlugin(L"Crashy", &handle)) << "a cleared plug-in loads at once";
    EXPECT_EQ(std::wstring::npos, HealthText().find(L"In quarantine: "));
}

TEST_F(Resilience, OffencesOlderThanTheWindowDoNotCountAndTheLimitsComeFromTheLibrarysKey)
{
    RegisterFaulting(L"Crashy");
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG nowTicks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const ULONGLONG hour = 36000000000ull;
    auto offences = [&](ULONGLONG hoursAgo) {
        const std::wstring time = std::to_wstring(nowTicks - hoursAgo * hour - 60 * 10000000ull);
        testenv::SetRegString(HKEY_LOCAL_MACHINE, Entry(L"Crashy"), L"OffenceTimes", time + L" " + time);
    };
    offences(24);  // just outside the 24 hours
    FaultOnce(L"Crashy");
    EXPECT_FALSE(Registry()->IsQuarantined(L"Crashy"));
    EXPECT_EQ(1u, RegNumber(Entry(L"Crashy"), L"OffenceCount"));

    offences(23);  // just inside
    FaultOnce(L"Crashy");
    EXPECT_TRUE(Registry()->IsQuarantined(L"Crashy"));
    Registry()->ClearQuarantine(L"Crashy");

    Setting(L"QuarantineHours", 48);
    offences(24);
    FaultOnce(L"Crashy");
    EXPECT_TRUE(Registry()->IsQuarantined(L"Crashy")) << "a longer window from the library's key";
    Registry()->ClearQuarantine(L"Crashy");

    Setting(L"QuarantineAfter", 1);
    FaultOnce(L"Crashy");
    EXPECT_TRUE(Registry()->IsQuarantined(L"Crashy")) << "and a lower limit";
}

TEST_F(Resilience, APluginInACallWhenTheProcessEndsIsCountedOnceAtTheNextStartWithTheDumpOfTheEnd)
{
    // Far below what the dump of the end takes: the call stays in it meanwhile, and is no hang.
    Setting(L"HangLimitMilliseconds", 100);
    Register(L"Overflow", CopyFixture(L"FixtureBasic", L"Overflow.dll"));
    Configure(L"Overflow.dll", L"FaultIn", L"Activity");
    Configure(L"Overflow.dll", L"FaultKind", L"StackOverflow");
    EXPECT_NE(0, RunPeer(L"load Overflow")) << "the stack overflow ends that tray";
    EXPECT_EQ(0, RunPeer(L"start")) << "the next start";

    const std::wstring offence = RegText(Entry(L"Overflow"), L"LastOffence");
    EXPECT_NE(std::wstring::npos, offence.find(Message(449, L"Overflow", L"PluginActivity"))) << testenv::Narrow(offence);
    const size_t note = offence.find(L"Crash dump: ");
    ASSERT_NE(std::wstring::npos, note) << "with the dump written as the process ended";
    const std::wstring file = offence.substr(note + 12);
    EXPECT_EQ(0u, file.find(L"process-"));
    DumpFile dump(Registry()->CrashDumpFolder() + L"\\" + file);
    ASSERT_TRUE(dump.Opened());
    const auto* exception = dump.Stream<MINIDUMP_EXCEPTION_STREAM>(ExceptionStream);
    ASSERT_NE(nullptr, exception);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW), exception->ExceptionRecord.ExceptionCode);
    EXPECT_EQ(1u, RegNumber(Entry(L"Overflow"), L"OffenceCount"));
}

TEST_F(Resilience, APluginTakingMoreThanASecondToLoadIsNamedOnItsHealthLine)
{
    Register(L"Slow", CopyFixture(L"FixtureBasic", L"Slow.dll"));
    Configure(L"Slow.dll", L"HangIn", L"Init");
    Register(L"Quick", CopyFixture(L"FixtureBasic", L"Quick.dll"));
    std::thread releaser([this] {
        Sleep(1300);
        SetEvent(m_release);
    });
    void* slow = nullptr;
    void* quick = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Slow", &slow));
    releaser.join();
    ASSERT_TRUE(Registry()->LoadPlugin(L"Quick", &quick));
    EXPECT_GE(PluginOf(slow)->SlowLoadMs(), 1000u);
    EXPECT_EQ(0u, PluginOf(quick)->SlowLoadMs());
    const std::wstring health = HealthText();
    EXPECT_NE(std::wstring::npos, health.find(L"(slow start: 1.")) << testenv::Narrow(health);
    EXPECT_EQ(health.find(L"(slow start:"), health.rfind(L"(slow start:")) << "only the slow one is named";
}
