// Plug-ins whose code faults: the call ends, the plug-in is marked and reported as stopped, and the
// host and every other plug-in go on.
#include "PluginHostTests.h"

#include "ErrorMsg.h"
#include "PluginStateHistory.h"

#include <algorithm>
#include <functional>
#include <thread>

using hosttest::kSettingsKey;
using hosttest::PluginHostTest;

namespace {
const wchar_t kAccessViolation[] = L"0xC0000005";
const wchar_t kDumpSwitch[] = L"WriteCrashDumps";

struct FaultingEntry {
    const wchar_t* logged;   // the fixture's name of the entry point
    const wchar_t* reported; // the name the error gives
    std::function<void(CPlugin*)> call;
};
}  // namespace

class Faults : public PluginHostTest {
protected:
    // A crash dump takes seconds here (a process is started and reads this one): the tests write
    // them only where they look at the dump's name.
    void SetUp() override
    {
        PluginHostTest::SetUp();
        WriteDumps(false);
    }
    void TearDown() override
    {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kDumpSwitch);
        PluginHostTest::TearDown();
    }
    void WriteDumps(bool on)
    {
        m_dumps = on;
        ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, kDumpSwitch, on ? 1 : 0));
    }
    void* LoadFaulting(const std::wstring& fileName, const std::wstring& entry, const std::wstring& kind = L"")
    {
        const std::wstring subkey = fileName.substr(0, fileName.find(L'.'));
        Register(subkey, CopyFixture(L"FixtureCapabilities", fileName));
        Configure(fileName, L"FaultIn", entry);
        if (!kind.empty()) Configure(fileName, L"FaultKind", kind);
        void* handle = nullptr;
        m_loaded = Registry()->LoadPlugin(subkey.c_str(), &handle);
        return handle;
    }
    void* LoadHealthy(const std::wstring& fileName)
    {
        const std::wstring subkey = fileName.substr(0, fileName.find(L'.'));
        Register(subkey, CopyFixture(L"FixtureBasic", fileName));
        void* handle = nullptr;
        EXPECT_TRUE(Registry()->LoadPlugin(subkey.c_str(), &handle));
        return handle;
    }
    // An error logger that writes down every error the tray reports.
    void LoadWitness()
    {
        Register(L"Witness", CopyFixture(L"FixtureLogger", L"Witness.dll"));
        void* witness = nullptr;
        ASSERT_TRUE(Registry()->LoadPlugin(L"Witness", &witness));
    }
    bool WitnessHeard(int code)
    {
        for (const auto& call : CallsOf("Witness.dll"))
            if (call.name == "LogError" && call.args[0] == std::to_string(code)) return true;
        return false;
    }
    size_t CountOf(const std::string& file, const std::string& name)
    {
        const auto names = CallNamesOf(file);
        return static_cast<size_t>(std::count(names.begin(), names.end(), name));
    }
    // The plug-in is stopped and reported, and another plug-in still takes calls.
    void ExpectStoppedAndReported(CPlugin* plugin, const wchar_t* entry, const wchar_t* code)
    {
        wchar_t shown[MAX_PATH];
        plugin->GetDisplayName(shown, MAX_PATH);
        const std::wstring message = Message(439, shown, entry, code);
        EXPECT_TRUE(plugin->HasFaulted());
        EXPECT_EQ(439, plugin->GetLastError()) << "recorded against the plug-in and reported";
        EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, plugin->GetState());
        wchar_t text[MAX_PATH];
        const std::wstring shownText = plugin->GetStateText(text, MAX_PATH);
        EXPECT_EQ(message, shownText.substr(0, message.size()));
        if (m_dumps)
            EXPECT_NE(std::wstring::npos, shownText.find(L"Crash dump: ", message.size())) << "the text names the dump";
        else
            EXPECT_EQ(std::wstring::npos, shownText.find(L"Crash dump: ")) << "with dumps turned off none is named";

        CPluginStateHistory history(shown);
        history.Read();
        const int entries = history.GetNumHistoricalStateEntries();
        VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
        SYSTEMTIME when{};
        wchar_t recorded[MAX_PATH] = L"";
        for (int i = 0; i < entries; ++i) history.GetHistoricalState(&state, recorded, MAX_PATH, &when);
        EXPECT_GE(entries, 1) << "the stop has its history line";
        EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, state);
        VARNEL_PLUGIN_STATE tray = VARNEL_PLUGIN_STATE_OK;
        wchar_t title[MAX_PATH];
        EXPECT_TRUE(Registry()->GetTrayState(tray, title, MAX_PATH));
        EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, tray) << "the tray shows the stop";
    }

    bool m_loaded = false;
    bool m_dumps = false;
};

TEST_F(Faults, AFaultInAnyEntryPointOfALoadedPluginEndsOnlyThatCallAndStopsThePlugin)
{
    const FaultingEntry entries[] = {
        {L"Activity", L"PluginActivity", [](CPlugin* p) { p->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, 1, 0); }},
        {L"Update", L"PluginUpdate", [](CPlugin* p) { p->CallUpdate(); }},
        {L"LogError", L"PluginLogError", [](CPlugin* p) { p->CallLogError(nullptr, L"first", L"second", 7); }},
        {L"GetAboutBoxText", L"PluginGetAboutBoxText",
         [](CPlugin* p) {
             VARNEL_ABOUT_INFO info{};
             wchar_t* pairs = nullptr;
             wchar_t* extra = nullptr;
             bool more = false;
             EXPECT_FALSE(p->GetAboutInfo(&info, &pairs, &extra, &more));
         }},
        {L"GetPluginHealth", L"PluginGetPluginHealth",
         [](CPlugin* p) {
             VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
             wchar_t name[MAX_PATH], text[MAX_PATH];
             bool more = false;
             p->GetHealth(&state, name, MAX_PATH, text, MAX_PATH, &more);
         }},
        {L"CanUnload", L"PluginCanUnload", [](CPlugin* p) { p->CanUnload(); }},
    };
    void* other = LoadHealthy(L"Bystander.dll");
    for (const auto& entry : entries) {
        SCOPED_TRACE(testenv::Narrow(entry.logged));
        WriteDumps(&entry == &entries[0]);
        const std::wstring file = std::wstring(L"Faulty") + entry.logged + L".dll";
        void* handle = LoadFaulting(file, entry.logged);
        ASSERT_TRUE(m_loaded);
        CPlugin* plugin = PluginOf(handle);
        entry.call(plugin);
        ExpectStoppedAndReported(plugin, entry.reported, kAccessViolation);
        entry.call(plugin);
        EXPECT_EQ(1u, CountOf(testenv::Narrow(file), testenv::Narrow(entry.logged)))
            << "a stopped plug-in's code is not called again";

        PluginOf(other)->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, 2, 0);
        EXPECT_FALSE(PluginOf(other)->HasFaulted());
        EXPECT_TRUE(Registry()->UnloadPlugin(handle)) << "a stopped plug-in still unloads";
    }
    EXPECT_EQ(std::size(entries), CountOf("Bystander.dll", "Activity")) << "the other plug-in took every call";
}

TEST_F(Faults, EveryKindOfExceptionFromPluginCodeIsCaught)
{
    const std::pair<const wchar_t*, const wchar_t*> kinds[] = {
        {L"AccessViolation", kAccessViolation}, {L"DivideByZero", L"0xC0000094"}, {L"CxxException", L"0xE06D7363"}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(testenv::Narrow(kind.first));
        const std::wstring file = std::wstring(L"Kind") + kind.first + L".dll";
        void* handle = LoadFaulting(file, L"Update", kind.first);
        ASSERT_TRUE(m_loaded);
        PluginOf(handle)->CallUpdate();
        ExpectStoppedAndReported(PluginOf(handle), L"PluginUpdate", kind.second);
    }
}

TEST_F(Faults, AFaultWhileLoadingRefusesTheLoadAndTheNextPluginStillLoads)
{
    LoadWitness();
    for (const wchar_t* entry : {L"GetVersionInfo", L"Init", L"CreateMainWindow", L"CreateMenus"}) {
        SCOPED_TRACE(testenv::Narrow(entry));
        const std::wstring file = std::wstring(L"Early") + entry + L".dll";
        LoadFaulting(file, entry);
        EXPECT_FALSE(m_loaded);
    }
    for (const char* entry : {"PluginGetVersionInfo", "PluginInit", "PluginCreateMainWindow", "PluginCreateMenus"}) {
        bool reported = false;
        for (const auto& call : CallsOf("Witness.dll"))
            reported |= call.name == "LogError" && call.args[0] == "439" &&
                        (call.args[1] + call.args[2]).find(entry) != std::string::npos;
        EXPECT_TRUE(reported) << entry << ": the refused load is reported as a fault of that entry point";
    }
    void* healthy = LoadHealthy(L"AfterThem.dll");
    EXPECT_NE(nullptr, healthy);
}

TEST_F(Faults, AFaultInTheCleanUpStillUnloadsThePlugin)
{
    void* handle = LoadFaulting(L"LastWords.dll", L"Cleanup");
    ASSERT_TRUE(m_loaded);
    EXPECT_TRUE(Registry()->UnloadPlugin(handle));
    EXPECT_EQ(1u, CountOf("LastWords.dll", "Cleanup"));
    void* again = LoadHealthy(L"Successor.dll");
    EXPECT_NE(nullptr, again);
}

TEST_F(Faults, APluginWritingPastItsDisplayNameIsRefusedBeforeItHarmsTheHost)
{
    LoadWitness();
    // One character past the 260 the buffer holds, a little more, and far past it.
    for (DWORD overrun : {261u, 300u, 10000u, 1u << 20}) {
        SCOPED_TRACE(overrun);
        const std::wstring file = L"Careless" + std::to_wstring(overrun) + L".dll";
        const std::wstring subkey = file.substr(0, file.find(L'.'));
        Register(subkey, CopyFixture(L"FixtureBasic", file));
        Configure(file, L"DisplayNameOverrun", overrun);
        void* handle = nullptr;
        EXPECT_FALSE(Registry()->LoadPlugin(subkey.c_str(), &handle));
        EXPECT_EQ(nullptr, handle);
        EXPECT_TRUE(WitnessHeard(440));
    }
    EXPECT_NE(nullptr, LoadHealthy(L"Careful.dll"));
}

TEST_F(Faults, ADisplayNameThatFillsItsBufferExactlyIsTaken)
{
    Register(L"Exact", CopyFixture(L"FixtureBasic", L"Exact.dll"));
    Configure(L"Exact.dll", L"DisplayNameOverrun", 259);  // 259 characters and the terminator
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Exact", &handle));
    wchar_t shown[MAX_PATH];
    EXPECT_EQ(259u, wcslen(PluginOf(handle)->GetDisplayName(shown, MAX_PATH)));
}

TEST_F(Faults, AnUnloadWaitsForAHungCallAndTheLibraryLoadsAgainOnceItReturns)
{
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"VarnelTestsRelease");
    ResetEvent(release);
    LoadWitness();
    const std::wstring library = CopyFixture(L"FixtureBasic", L"Stuck.dll");
    Register(L"Stuck", library);
    Configure(L"Stuck.dll", L"HangIn", L"Activity");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Stuck", &handle));
    std::thread caller([plugin = PluginOf(handle)] { plugin->CallActivity(VARNEL_ACTIVITY_PLUGIN_COMM, 1, 0); });
    while (CountOf("Stuck.dll", "Activity") == 0) Sleep(10);

    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(Registry()->UnloadPlugin(handle));
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 9000u) << "the unload waits for the call a while";
    EXPECT_LT(waited, 20000u) << "but not for ever";
    EXPECT_TRUE(WitnessHeard(441)) << "the plug-in it gave up on is reported";
    EXPECT_EQ(0u, CountOf("Stuck.dll", "Cleanup")) << "no clean-up while its call runs";
    EXPECT_FALSE(Registry()->ValidatePlugin(handle)) << "it is gone for everyone else";

    Register(L"StuckAgain", library);
    void* again = nullptr;
    EXPECT_FALSE(Registry()->LoadPlugin(L"StuckAgain", &again)) << "the old instance's library is not handed out again";
    EXPECT_TRUE(WitnessHeard(442));

    SetEvent(release);
    caller.join();
    CloseHandle(release);
    EXPECT_TRUE(testenv::PumpUntil([&] { return CountOf("Stuck.dll", "Cleanup") == 1; }, 5000))
        << "the clean-up follows once the call has returned";
    Configure(L"Stuck.dll", L"HangIn", L"");
    EXPECT_TRUE(Registry()->LoadPlugin(L"StuckAgain", &again)) << "and the library loads again, without a restart";
    EXPECT_NE(nullptr, again);
}

TEST_F(Faults, AnUnloadAskedFromInsideThePluginsOwnCallFinishesAfterTheCallReturns)
{
    LoadWitness();
    Register(L"Nested", CopyFixture(L"FixtureBasic", L"Nested.dll"));
    Configure(L"Nested.dll", L"SetStateInActivity", 2);  // a warning, reported from inside its activity
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Nested", &handle));

    // Stands for a request let in by a wait of the tray's thread while the plug-in's call runs.
    struct UnloadOnWarning : IPluginObserver {
        std::function<bool()> unload;
        std::function<size_t()> cleanUps;
        bool unloaded = false;
        size_t cleanUpsInside = 0;
        void PluginStateChanged(const VarnelPluginStateChange& change) override
        {
            if (unloaded || change.state != VARNEL_PLUGIN_STATE_WARNING) return;
            unloaded = unload();
            cleanUpsInside = cleanUps();
        }
        void TrayStateChanged(VARNEL_PLUGIN_STATE) override {}
    };
    auto observer = std::make_shared<UnloadOnWarning>();
    observer->unload = [&] { return Registry()->UnloadPlugin(handle); };
    observer->cleanUps = [&] { return CountOf("Nested.dll", "Cleanup"); };
    Registry()->Subscribe(observer);
    Registry()->PluginComm(L"now", 1);
    Registry()->Unsubscribe(observer.get());

    EXPECT_TRUE(observer->unloaded);
    EXPECT_EQ(0u, observer->cleanUpsInside) << "the clean-up never runs inside the plug-in's own call";
    EXPECT_FALSE(Registry()->ValidatePlugin(handle));
    EXPECT_TRUE(testenv::PumpUntil([&] { return CountOf("Nested.dll", "Cleanup") == 1; }, 5000))
        << "it follows once the call has returned";
    EXPECT_FALSE(WitnessHeard(442));
    void* again = nullptr;
    EXPECT_TRUE(Registry()->LoadPlugin(L"Nested", &again)) << "and the plug-in loads again";
    EXPECT_NE(handle, again);
    EXPECT_TRUE(Registry()->ValidatePlugin(again));
}

TEST_F(Faults, AFaultInTheSuiteMenuCallbackStopsThePluginAndItsEntryGoes)
{
    ASSERT_TRUE(COXIL_DllMain::Instance()->LoadResources());
    Register(L"Suite", CopyFixture(L"FixtureSuite", L"Suite.dll"));
    Configure(L"Suite.dll", L"SuiteResult", 1);
    Configure(L"Suite.dll", L"SuiteText", L"Scan now");
    Configure(L"Suite.dll", L"FaultIn", L"SuiteAction");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Suite", &handle));
    CPlugin* plugin = PluginOf(handle);
    ASSERT_NE(0u, plugin->GetFlags() & PLUGIN_FLAG_SUITE);
    Registry()->NotifySuiteMenuAction(plugin->GetSuiteMenuId());
    ExpectStoppedAndReported(plugin, L"its suite menu callback", kAccessViolation);
    Registry()->NotifySuiteMenuAction(plugin->GetSuiteMenuId());
    EXPECT_EQ(1u, CountOf("Suite.dll", "SuiteAction"));
}

TEST_F(Faults, HealthIntoANameOrTextOfNoCapacityIsRefusedAndOfOneCharacterIsAnEmptyText)
{
    Register(L"Capacity", CopyFixture(L"FixtureBasic", L"Capacity.dll"));
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Capacity", &handle));
    VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
    bool more = false;
    wchar_t guard[2] = {L'#', L'#'};
    wchar_t name[MAX_PATH] = L"", text[MAX_PATH] = L"";
    EXPECT_FALSE(PluginOf(handle)->GetHealth(&state, name, MAX_PATH, guard + 1, 0, &more));
    EXPECT_FALSE(PluginOf(handle)->GetHealth(&state, guard + 1, 0, text, MAX_PATH, &more));
    EXPECT_EQ(L'#', guard[0]) << "nothing is written before the buffer";
    EXPECT_EQ(L'#', guard[1]);
    wchar_t one[1] = {L'x'}, oneName[1] = {L'x'};
    EXPECT_TRUE(PluginOf(handle)->GetHealth(&state, oneName, 1, one, 1, &more));
    EXPECT_EQ(L'\0', one[0]);
    EXPECT_EQ(L'\0', oneName[0]);
}
