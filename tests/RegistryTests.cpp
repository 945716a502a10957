// The plug-in registry: which entries load, look-ups, counts, unloading and bad registry input.
#include "PluginHostTests.h"
#include "VarnelUtils.h"
#include "StationDesktopUtils.h"
#include "VarnelMenuUtils.h"
#include "ThreadManager.h"
#include <array>

#include "ErrorMsg.h"
#include "VarnelPluginAPI.h"

#include <algorithm>
#include <set>
#include <atomic>
#include <thread>

using hosttest::PluginHostTest;
using testenv::TraceCapture;

namespace {
bool Has(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}
}  // namespace

class PluginRegistry : public PluginHostTest {};

TEST_F(PluginRegistry, DoNotLoadMeSkipsEvenTheRequestedPlugin)
{
    Register(L"Skipped", Fixture(L"FixtureBasic"));
    testenv::SetRegDword(HKEY_LOCAL_MACHINE, std::wstring(hosttest::kPluginsKey) + L"\\Skipped", L"DoNotLoadMe", 1);
    void* handle = reinterpret_cast<void*>(1);
    EXPECT_FALSE(Registry()->LoadPlugin(L"Skipped", &handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_TRUE(CallsOf("FixtureBasic.dll").empty());
    EXPECT_TRUE(Registry()->ArePluginsLoaded());
}

TEST_F(PluginRegistry, LoadPluginAnswersTheExistingHandle)
{
    Register(L"Once", Fixture(L"FixtureBasic"));
    void *first = nullptr, *second = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Once", &first));
    ASSERT_TRUE(Registry()->LoadPlugin(L"ONCE", &second));
    EXPECT_EQ(first, second);
    const auto names = CallNamesOf("FixtureBasic.dll");
    EXPECT_EQ(1, std::count(names.begin(), names.end(), "Init"));
    EXPECT_FALSE(Registry()->LoadPlugins());  // nothing new
    EXPECT_EQ(1, Registry()->GetTotalNumberOfPlugins());
}

TEST_F(PluginRegistry, LoadPluginsLoadsEveryEntryInRegistryOrder)
{
    Register(L"A_first", CopyFixture(L"FixtureBasic", L"First.dll"));
    Register(L"B_second", CopyFixture(L"FixtureBasic", L"Second.dll"));
    Register(L"C_third", CopyFixture(L"FixtureBasic", L"Third.dll"));
    EXPECT_FALSE(Registry()->ArePluginsLoaded());
    EXPECT_TRUE(Registry()->LoadPlugins());
    EXPECT_TRUE(Registry()->ArePluginsLoaded());
    std::vector<std::string> order;
    for (const auto& call : Calls())
        if (call.name == "Init") order.push_back(call.file);
    EXPECT_EQ((std::vector<std::string>{"First.dll", "Second.dll", "Third.dll"}), order);
    const auto list = Registry()->GetPluginList();
    ASSERT_EQ(3u, list.size());
    wchar_t name[MAX_PATH];
    EXPECT_STREQ(L"A_first", PluginOf(list.front())->GetName(name, MAX_PATH));
    EXPECT_STREQ(L"C_third", PluginOf(list.back())->GetName(name, MAX_PATH));
}

TEST_F(PluginRegistry, SubkeysDeletedDuringTheWalkSkipNoPluginThatIsStillRegistered)
{
    for (const wchar_t* subkey : {L"A_first", L"B_second", L"C_third"})
        Register(subkey, CopyFixture(L"FixtureBasic", std::wstring(subkey) + L".dll"));
    // The first plug-in takes its own entry out of the list while the walk is past it.
    Configure(L"A_first.dll", L"DeleteKeyInInit", std::wstring(hosttest::kPluginsKey) + L"\\A_first");
    EXPECT_TRUE(Registry()->LoadPlugins());
    std::vector<std::wstring> names;
    wchar_t name[MAX_PATH];
    for (void* record : Registry()->GetPluginList()) names.push_back(PluginOf(record)->GetName(name, MAX_PATH));
    EXPECT_EQ((std::vector<std::wstring>{L"A_first", L"B_second", L"C_third"}), names);
}

TEST_F(PluginRegistry, SingletonsFirstAskedForFromManyThreadsAtOnceAreMadeOnce)
{
    for (int round = 0; round < 5; ++round) {
        delete COXIL_DllMain::Instance();  // every module singleton goes with it
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<std::array<void*, 5>> seen(8);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < seen.size(); ++i)
            threads.emplace_back([&seen, go, i] {
                WaitForSingleObject(go, INFINITE);
                seen[i] = {CPluginInterface::Instance(), CThreadManager::Instance(), CVarnelMenuUtils::Instance(),
                           CStationDesktopUtils::Instance(), CVarnelUtils::Instance()};
            });
        Sleep(20);
        SetEvent(go);
        for (std::thread& thread : threads) thread.join();
        CloseHandle(go);
        for (size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[0], seen[i]) << "round " << round << ", thread " << i;
    }
}

TEST_F(PluginRegistry, FailedLoadIsNotListedButUnloadedPluginIs)
{
    Register(L"Failing", CopyFixture(L"FixtureBasic", L"Failing.dll"));
    Configure(L"Failing.dll", L"InitResult", 1);
    Register(L"Good", Fixture(L"FixtureBasic"));
    EXPECT_TRUE(Registry()->LoadPlugins());
    auto list = Registry()->GetPluginList();
    ASSERT_EQ(1u, list.size());
    void* good = list.front();
    EXPECT_TRUE(Registry()->UnloadPlugin(good));
    list = Registry()->GetPluginList();
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(good, list.front());
    EXPECT_EQ(0, Registry()->GetTotalNumberOfPlugins());
    EXPECT_TRUE(Registry()->Find(good));
    EXPECT_FALSE(Registry()->ValidatePlugin(good));
    EXPECT_TRUE(Registry()->IsPluginInLegacyMode(L"good"));
    EXPECT_FALSE(Registry()->IsPluginInLegacyMode(L"Failing"));

    // Unloading again is refused; loading again gives a new plug-in with a new handle.
    EXPECT_FALSE(Registry()->UnloadPlugin(good));
    void* again = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Good", &again));
    EXPECT_NE(good, again);
    EXPECT_EQ(2u, Registry()->GetPluginList().size());
}

TEST_F(PluginRegistry, UnloadingCallsActivityCleanupAndFreesTheLibrary)
{
    Register(L"Plain", Fixture(L"FixtureBasic"));
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Plain", &handle));
    TraceCapture traces;
    Registry()->UnloadPlugins(false);
    const auto calls = CallsOf("FixtureBasic.dll");
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ("Activity", calls[2].name);
    EXPECT_EQ("2", calls[2].args[0]);
    EXPECT_EQ("0", calls[2].args[1]);
    EXPECT_EQ("0", calls[2].args[2]);
    EXPECT_EQ("Cleanup", calls[3].name);
    EXPECT_EQ(nullptr, GetModuleHandleW(L"FixtureBasic.dll"));
    EXPECT_TRUE(Registry()->GetPluginList().empty());
    EXPECT_TRUE(traces.Contains(L"CPluginInterface::UnloadPlugin - unloading \"Plain\""));
    EXPECT_TRUE(traces.Contains(L"CPluginInterface::UnloadPlugin - exit"));
}

TEST_F(PluginRegistry, OnlyUnloadableKeepsRefusersLoggersAndTheCore)
{
    Register(L"Refuser", Fixture(L"FixtureCanUnload"));
    Configure(L"FixtureCanUnload.dll", L"CanUnload", DWORD(0));
    Register(L"Logger", Fixture(L"FixtureLogger"));
    Register(L"Core", CopyFixture(L"FixtureBasic", L"Core.dll"));
    Configure(L"Core.dll", L"DisplayName", L"varnel CORE");
    Register(L"Plain", Fixture(L"FixtureBasic"));
    ASSERT_TRUE(Registry()->LoadPlugins());
    ASSERT_EQ(4, Registry()->GetTotalNumberOfPlugins());

    Registry()->UnloadPlugins(true);
    EXPECT_EQ(3, Registry()->GetTotalNumberOfPlugins());
    EXPECT_EQ(3u, Registry()->GetPluginList().size());
    for (const char* file : {"FixtureCanUnload.dll", "FixtureLogger.dll", "Core.dll", "FixtureBasic.dll"})
        EXPECT_TRUE(Has(CallNamesOf(file), "Activity")) << file;
    EXPECT_TRUE(Has(CallNamesOf("FixtureCanUnload.dll"), "CanUnload"));
    EXPECT_EQ("true", CallsOf("FixtureCanUnload.dll").back().args[0]);
    EXPECT_FALSE(Has(CallNamesOf("FixtureCanUnload.dll"), "Cleanup"));
    EXPECT_TRUE(Has(CallNamesOf("FixtureBasic.dll"), "Cleanup"));

    Registry()->UnloadPlugins(false);
    EXPECT_EQ(0, Registry()->GetTotalNumberOfPlugins());
    EXPECT_TRUE(Registry()->GetPluginList().empty());
    for (const char* file : {"FixtureCanUnload.dll", "FixtureLogger.dll", "Core.dll"})
        EXPECT_EQ("Cleanup", CallNamesOf(file).back()) << file;
}

TEST_F(PluginRegistry, ValidatingAnUnloadedHandleRecords530)
{
    Register(L"Gone", Fixture(L"FixtureBasic"));
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Gone", &handle));
    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    VARNEL_PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    EXPECT_FALSE(Registry()->ValidatePlugin(handle, &record, &plugin, false));
    EXPECT_EQ(handle, record);
    ASSERT_EQ(PluginOf(handle), plugin);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, plugin->GetState());
    EXPECT_FALSE(Registry()->ValidatePlugin(handle, &record, &plugin, true));
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, plugin->GetState());
    EXPECT_EQ(530, plugin->GetLastError());
    EXPECT_EQ(530, CErrorMsg::Instance()->GetLastError());

    // A handle that is not in the list: error 530 for the process, no plug-in to blame.
    int unknown = 0;
    CErrorMsg::Instance()->Error(0);
    record = nullptr;
    EXPECT_FALSE(Registry()->ValidatePlugin(&unknown, &record, &plugin, true));
    EXPECT_EQ(nullptr, plugin);
    EXPECT_EQ(nullptr, record);
    EXPECT_EQ(530, CErrorMsg::Instance()->GetLastError());
    EXPECT_FALSE(Registry()->ValidatePlugin(nullptr, &record, &plugin, true));
    EXPECT_TRUE(Registry()->ValidatePlugin(nullptr));
    EXPECT_TRUE(Registry()->ValidatePlugin(VARNEL_MAIN_APP_HANDLE));
    EXPECT_TRUE(CPluginInterface::IsMainApp(VARNEL_MAIN_APP_HANDLE));
    EXPECT_FALSE(Registry()->ValidatePlugin(&unknown));
    EXPECT_FALSE(Registry()->ClearPluginLastError(&unknown));
    EXPECT_EQ(0, Registry()->GetPluginLastError(&unknown));
}

TEST_F(PluginRegistry, SameLibraryUnderTwoSubkeysLoadsOnce)
{
    const std::wstring path = Fixture(L"FixtureBasic");
    std::wstring upper = path;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    Register(L"One", path);
    Register(L"Two", upper);
    EXPECT_TRUE(Registry()->LoadPlugins());
    EXPECT_EQ(1, Registry()->GetTotalNumberOfPlugins());
    void* one = Registry()->GetPluginList().front();
    void* two = nullptr;
    EXPECT_TRUE(Registry()->LoadPlugin(L"Two", &two));
    EXPECT_EQ(one, two);
}

TEST_F(PluginRegistry, LookupsByFileNameAndPath)
{
    const std::wstring first = CopyFixture(L"FixtureBasic", L"Same.dll", L"a");
    const std::wstring second = CopyFixture(L"FixtureBasic", L"Same.dll", L"b");
    Register(L"A", first);
    Register(L"B", second);
    ASSERT_TRUE(Registry()->LoadPlugins());
    ASSERT_EQ(2, Registry()->GetTotalNumberOfPlugins());
    const auto list = Registry()->GetPluginList();
    void* a = list.front();
    void* b = list.back();

    EXPECT_EQ(a, Registry()->FindPluginFilenameOnly(L"same.DLL"));
    EXPECT_EQ(nullptr, Registry()->FindPluginFilenameOnly(L""));
    EXPECT_EQ(nullptr, Registry()->FindPluginFilenameOnly(nullptr));
    EXPECT_EQ(b, Registry()->FindPluginFullPath(second.c_str()));
    EXPECT_EQ(b, Registry()->IsPluginAlreadyLoaded(second.c_str()));
    EXPECT_EQ(nullptr, Registry()->IsPluginAlreadyLoaded(L""));
    EXPECT_TRUE(Registry()->VerifyPlugin(L"C:\\elsewhere\\Same.dll"));
    EXPECT_FALSE(Registry()->VerifyPlugin(L"Other.dll"));

    // A library file that was moved away is no longer found by its full path.
    const std::wstring moved = m_temp->File(L"b\\Moved.dll");
    if (MoveFileW(second.c_str(), moved.c_str())) {
        EXPECT_EQ(nullptr, Registry()->FindPluginFullPath(second.c_str()));
        EXPECT_EQ(b, Registry()->IsPluginAlreadyLoaded(second.c_str()));
    }

    EXPECT_TRUE(Registry()->UnloadPlugin(L"X:\\any\\folder\\Same.dll"));
    EXPECT_FALSE(Registry()->ValidatePlugin(a));
    EXPECT_TRUE(Registry()->ValidatePlugin(b));
    EXPECT_FALSE(Registry()->UnloadPlugin(L"Unknown.dll"));
    EXPECT_FALSE(Registry()->UnloadPlugin(static_cast<const wchar_t*>(nullptr)));
}

TEST_F(PluginRegistry, CountsByCapability)
{
    Register(L"Updater", Fixture(L"FixtureUpdater"));
    Register(L"Logger", Fixture(L"FixtureLogger"));
    Register(L"Core", CopyFixture(L"FixtureBasic", L"Core.dll"));
    Configure(L"Core.dll", L"DisplayName", L"Varnel Core");
    Register(L"Product", Fixture(L"FixtureBasic"));
    Configure(L"FixtureBasic.dll", L"DisplayName", L"Product Shown");
    ASSERT_TRUE(Registry()->LoadPlugins());
    TraceCapture traces;
    EXPECT_EQ(4, Registry()->GetTotalNumberOfPlugins());
    EXPECT_EQ(1, Registry()->GetNumberOfUpdaters());
    EXPECT_EQ(1, Registry()->GetNumberOfErrorLoggers());
    EXPECT_EQ(2, Registry()->GetNumberOfPointProductPlugins());
    EXPECT_TRUE(traces.Contains(L"Point product plugin: Product Shown"));
    EXPECT_TRUE(traces.Contains(L"Point product plugin: Updater"));
    EXPECT_FALSE(traces.ContainsPart(L"Point product plugin: Varnel Core"));
}

TEST_F(PluginRegistry, MissingPluginListIsReportedWith1500)
{
    m_pluginsKey.reset();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, hosttest::kPluginsKey);
    TraceCapture traces;
    EXPECT_FALSE(Registry()->LoadPlugins());
    EXPECT_TRUE(traces.Contains(Message(1500, hosttest::kPluginsKey)));
    EXPECT_TRUE(Registry()->ArePluginsLoaded());
}

TEST_F(PluginRegistry, BadEntriesAreRefusedAndTheNextPluginStillLoads)
{
    const std::wstring plugins = hosttest::kPluginsKey;
    // "Path" of the wrong type
    testenv::SetRegDword(HKEY_LOCAL_MACHINE, plugins + L"\\A_dword", L"Path", 5);
    testenv::SetRegString(HKEY_LOCAL_MACHINE, plugins + L"\\A_dword", L"Name", L"Dword");
    // an empty "Name"
    Register(L"B_noname", CopyFixture(L"FixtureBasic", L"NoName.dll"), L"");
    testenv::SetRegString(HKEY_LOCAL_MACHINE, plugins + L"\\B_noname", L"Name", L"");
    // a path longer than 260 characters
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'p') + L".dll";
    Register(L"C_long", longPath);
    // a directory, and a file that is no library
    Register(L"D_folder", m_temp->Path());
    const std::wstring notPe = m_temp->File(L"NotPe.dll");
    ASSERT_TRUE(testenv::WriteAnsi(notPe, "this is not a library"));
    Register(L"E_notpe", notPe, L"Not PE");
    // a subkey name at the registry's length limit
    const std::wstring longSubkey = L"F" + std::wstring(254, L'k');
    Register(longSubkey, CopyFixture(L"FixtureBasic", L"LongKey.dll"));
    // a missing library
    Register(L"G_missing", m_temp->File(L"Missing.dll"));
    Register(L"Z_good", Fixture(L"FixtureBasic"));

    TraceCapture traces;
    EXPECT_TRUE(Registry()->LoadPlugins());
    EXPECT_EQ(1, Registry()->GetTotalNumberOfPlugins());
    EXPECT_TRUE(Has(CallNamesOf("FixtureBasic.dll"), "Init"));

    EXPECT_TRUE(traces.Contains(Message(1505, (plugins + L"\\A_dword").c_str())));
    EXPECT_TRUE(traces.Contains(
        RecordErrorTrace(438, Message(438, (plugins + L"\\B_noname").c_str()))));
    EXPECT_TRUE(traces.Contains(Message(1505, (plugins + L"\\C_long").c_str())));
    EXPECT_TRUE(traces.Contains(Message(1510, m_temp->Path().c_str())));
    EXPECT_TRUE(traces.Contains(RecordErrorTrace(
        423, Message(423, L"Not PE") + L" " + Message(461, sizeof(void*) == 8 ? L"64-bit" : L"32-bit"))));
    EXPECT_TRUE(traces.Contains(Message(1505, longSubkey.c_str())));
    EXPECT_TRUE(traces.Contains(Message(1510, m_temp->File(L"Missing.dll").c_str())));
    EXPECT_TRUE(CallsOf("NoName.dll").empty());
    EXPECT_TRUE(CallsOf("LongKey.dll").empty());
}

TEST_F(PluginRegistry, ListsStaySoundWhileOtherThreadsReadThem)
{
    for (int i = 0; i < 4; ++i) {
        const std::wstring file = L"Busy" + std::to_wstring(i) + L".dll";
        Register(file, CopyFixture(L"FixtureUpdater", file));
    }
    std::atomic<bool> stop{false};
    std::atomic<long> checks{0};
    std::atomic<bool> sound{true};
    auto reader = [&] {
        while (!stop) {
            for (VARNEL_PLUGIN_DATA* record : Registry()->GetPluginList()) {
                VARNEL_PLUGIN_DATA* found = nullptr;
                CPlugin* plugin = nullptr;
                // A record taken off the list meanwhile is no longer found, but it stays allocated.
                if (Registry()->ValidatePlugin(record, &found, &plugin, false) && plugin != PluginOf(record))
                    sound = false;
                wchar_t name[MAX_PATH];
                PluginOf(record)->GetName(name, MAX_PATH);
            }
            const int total = Registry()->GetTotalNumberOfPlugins();
            if (total < 0 || total > 4) sound = false;
            Registry()->GetNumberOfUpdaters();
            ++checks;
        }
    };
    std::thread first(reader), second(reader);
    for (int round = 0; round < 15; ++round) {
        Registry()->LoadPlugins();
        Registry()->BroadcastUpdate();
        Registry()->UnloadPlugins(false);
    }
    stop = true;
    first.join();
    second.join();
    EXPECT_TRUE(sound);
    EXPECT_GT(checks.load(), 0);
    const auto names = CallNamesOf("Busy0.dll");
    EXPECT_EQ(15, std::count(names.begin(), names.end(), "Init"));
}

namespace {
// Address space of this process that is reserved or committed, in bytes.
SIZE_T AddressSpaceInUse()
{
    SIZE_T used = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; VirtualQuery(address, &region, sizeof(region)) == sizeof(region);) {
        if (region.State != MEM_FREE) used += region.RegionSize;
        const BYTE* next = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return used;
}

// The span of commands a plug-in's 16-bit item identifiers can make.
struct CommandSpan {
    UINT32 first;
    UINT32 last;
};
CommandSpan CommandsOf(void* handle)
{
    const auto low = static_cast<UINT32>(reinterpret_cast<UINT_PTR>(handle));
    return {low, low + 0xFFFFu};
}
}  // namespace

TEST_F(PluginRegistry, ReloadCyclesNeedNoMoreAddressSpaceAndNeverHandOutAStaleHandleAgain)
{
    // The smallest plug-in: its own run-time keeps nothing per load.
    Register(L"Cycler", CopyFixture(L"BenchPlugin", L"Cycler.dll"));
    Register(L"Partner", CopyFixture(L"BenchPlugin", L"Partner.dll"));
    // Paced: unloaded plug-ins that other threads may have seen are kept two seconds, so what the
    // cycles keep grows with their pace; at a steady pace it is steady after the warm-up, and a
    // machine busy with other work can only make the cycles slower.
    LARGE_INTEGER frequency{}, now{};
    QueryPerformanceFrequency(&frequency);
    const LONGLONG pace = frequency.QuadPart * 3 / 1000;  // 3 ms
    LONGLONG nextCycle = 0;
    auto cycle = [&] {
        for (QueryPerformanceCounter(&now); now.QuadPart < nextCycle; QueryPerformanceCounter(&now)) SwitchToThread();
        nextCycle = now.QuadPart + pace;
        EXPECT_TRUE(Registry()->LoadPlugins());
        std::vector<void*> loaded;
        for (CPluginInterface::PLUGIN_DATA* record : Registry()->GetPluginList()) loaded.push_back(record);
        Registry()->UnloadPlugins(false);
        return loaded;
    };
    for (const ULONGLONG warm = GetTickCount64() + 3000; GetTickCount64() < warm;) cycle();
    const SIZE_T before = AddressSpaceInUse();

    std::set<void*> handedOut;
    for (int round = 0; round < 1000; ++round) {
        const std::vector<void*> loaded = cycle();
        ASSERT_EQ(2u, loaded.size());
        for (void* handle : loaded) ASSERT_TRUE(handedOut.insert(handle).second) << "a handle came back in round " << round;
        // Plug-ins loaded at the same time never share a command.
        const CommandSpan a = CommandsOf(loaded[0]), b = CommandsOf(loaded[1]);
        ASSERT_TRUE(a.last < b.first || b.last < a.first) << "round " << round;
        ASSERT_GE(a.first, 0x10000u) << "commands stay above the host's own";
    }
    const SIZE_T grown = AddressSpaceInUse() - std::min(before, AddressSpaceInUse());
    EXPECT_LT(grown, SIZE_T{4} << 20) << "address space grew by " << (grown >> 10) << " KiB in 1000 cycles";

    // A handle of the first cycles is answered as stale, also by the calls that report it.
    void* stale = *handedOut.begin();
    CPluginInterface::PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    EXPECT_FALSE(Registry()->ValidatePlugin(stale, &record, &plugin, true));
    EXPECT_EQ(nullptr, plugin);
    EXPECT_EQ(530, CErrorMsg::Instance()->GetLastError());
    EXPECT_FALSE(VarnelDoesMenuItemExist(stale, 1));
}
