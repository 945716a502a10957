// Plug-in states and the merged tray state without a tray (the host has not set up its menu), and
// the calls that reach all plug-ins at once: activities, updates, plug-in messages, advisory
// answers and error reports; plug-in windows.
#include "PluginHostTests.h"

#include "ErrorMsg.h"
#include "VarnelPluginAPI.h"
#include "PluginStateHistory.h"

#include <algorithm>

using hosttest::PluginHostTest;

class States : public PluginHostTest {
protected:
    void* Load(const std::wstring& target, const std::wstring& fileName)
    {
        const std::wstring subkey = fileName.substr(0, fileName.find(L'.'));
        Register(subkey, CopyFixture(target, fileName));
        void* handle = nullptr;
        EXPECT_TRUE(Registry()->LoadPlugin(subkey.c_str(), &handle)) << testenv::Narrow(fileName);
        return handle;
    }
    VARNEL_PLUGIN_STATE TrayState()
    {
        VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_WARNING;
        wchar_t title[MAX_PATH];
        EXPECT_TRUE(Registry()->GetTrayState(state, title, MAX_PATH));
        return state;
    }
    std::vector<std::string> ActivitiesOf(const std::string& file)
    {
        std::vector<std::string> activities;
        for (const auto& call : CallsOf(file))
            if (call.name == "Activity") activities.push_back(call.args[0] + "|" + call.args[1] + "|" + call.args[2]);
        return activities;
    }
};

using Broadcasts = States;

// ---------------------------------------------------------------- states

TEST_F(States, LineBreaksInTheTextBecomeSpacesAlsoInTheCallersBuffer)
{
    void* handle = Load(L"FixtureBasic", L"Breaks.dll");
    wchar_t text[] = L"first\r\nsecond";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_WARNING, text, nullptr);
    EXPECT_STREQ(L"first  second", text);
    VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
    wchar_t stored[MAX_PATH];
    ASSERT_TRUE(Registry()->GetState(handle, state, stored, MAX_PATH));
    EXPECT_EQ(VARNEL_PLUGIN_STATE_WARNING, state);
    EXPECT_STREQ(L"first  second", stored);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_WARNING, TrayState());
}

TEST_F(States, ReadOnlyTextsAreStoredAsTheWritableOnesWithoutBeingWritten)
{
    void* handle = Load(L"FixtureBasic", L"Literal.dll");
    // Texts in read-only memory, as a plug-in's string literals are.
    static const wchar_t kBroken[] = L"first\r\nsecond";
    VarnelSetState(handle, VARNEL_PLUGIN_STATE_WARNING, const_cast<wchar_t*>(kBroken));
    wchar_t stored[MAX_PATH];
    EXPECT_STREQ(L"first  second", PluginOf(handle)->GetStateText(stored, MAX_PATH));
    EXPECT_STREQ(L"first\r\nsecond", kBroken);

    static const wchar_t kLong[] =
        L"0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
        L"0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
        L"0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789";
    VarnelSetState(handle, VARNEL_PLUGIN_STATE_ERROR, const_cast<wchar_t*>(kLong));
    EXPECT_EQ(std::wstring(kLong, MAX_PATH - 1), std::wstring(PluginOf(handle)->GetStateText(stored, MAX_PATH)));
    EXPECT_EQ(300u, wcslen(kLong));

    wchar_t writable[400];
    wcscpy(writable, kLong);
    writable[280] = L'\n';
    VarnelSetState(handle, VARNEL_PLUGIN_STATE_WARNING, writable);
    EXPECT_EQ(std::wstring(kLong, MAX_PATH - 1), std::wstring(PluginOf(handle)->GetStateText(stored, MAX_PATH)));
    EXPECT_EQ(MAX_PATH - 1, static_cast<int>(wcslen(writable))) << "a writable buffer is cut in place as before";
}

// A reported text's line breaks become spaces first, so a long one is cut after 259 characters:
// from 260 characters on, in the plug-in's buffer too; 259 fit and stay as they are.
TEST_F(States, AReportedTextOf260CharactersOrMoreIsCutAfter259AlsoInTheCallersBuffer)
{
    void* handle = Load(L"FixtureBasic", L"Cut.dll");
    const auto report = [&](size_t length, VARNEL_PLUGIN_STATE state) {
        std::vector<wchar_t> buffer(length, L'x');
        buffer[50] = L'\r';
        buffer.push_back(L'\0');
        VarnelSetState(handle, state, buffer.data());
        wchar_t stored[MAX_PATH] = L"";
        return std::make_pair(std::wstring(PluginOf(handle)->GetStateText(stored, MAX_PATH)), std::wstring(buffer.data()));
    };
    const auto spaced = [](size_t length) {
        std::wstring text(length, L'x');
        text[50] = L' ';
        return text;
    };
    EXPECT_EQ(std::make_pair(spaced(259), spaced(259)), report(259, VARNEL_PLUGIN_STATE_WARNING));
    EXPECT_EQ(std::make_pair(spaced(259), spaced(259)), report(260, VARNEL_PLUGIN_STATE_ERROR));
    EXPECT_EQ(std::make_pair(spaced(259), spaced(259)), report(261, VARNEL_PLUGIN_STATE_WARNING));
}

TEST_F(States, RepeatingAStateTouchesNeitherTheHistoryNorTheTray)
{
    void* handle = Load(L"FixtureBasic", L"Repeat.dll");
    CPluginStateHistory::DeleteHistoryFile();
    testenv::TraceCapture traces;
    wchar_t text[] = L"same";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_ERROR, text, nullptr);
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_ERROR, text, nullptr);
    EXPECT_EQ(1u, traces.Count(L"Varnel state: 2"));
    CPluginStateHistory reader(L"Repeat");
    reader.Read();
    EXPECT_EQ(1, reader.GetNumHistoricalStateEntries());
    CPluginStateHistory::DeleteHistoryFile();
}

TEST_F(States, BadHandlesAndMissingBuffersAreRefused)
{
    void* handle = Load(L"FixtureBasic", L"Refused.dll");
    CPlugin* plugin = PluginOf(handle);
    VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
    EXPECT_FALSE(Registry()->GetState(handle, state, nullptr, MAX_PATH));
    EXPECT_EQ(531, plugin->GetLastError());
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, plugin->GetState());

    wchar_t title[MAX_PATH];
    CErrorMsg::Instance()->Error(1);
    EXPECT_FALSE(Registry()->GetTrayState(state, nullptr, MAX_PATH));
    EXPECT_FALSE(Registry()->GetTrayState(state, title, 0));
    EXPECT_EQ(531, CErrorMsg::Instance()->GetLastError());

    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    plugin->ClearLastError();
    wchar_t text[] = L"after unload";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_WARNING, text, nullptr);
    EXPECT_EQ(530, plugin->GetLastError());
    EXPECT_NE(L"after unload", std::wstring(plugin->GetStateText(title, MAX_PATH)));
}

TEST_F(States, MergeTakesTheWorstCountedStateAndNegativeStatesNeverWin)
{
    void* first = Load(L"FixtureBasic", L"MergeA.dll");
    void* second = Load(L"FixtureBasic", L"MergeB.dll");
    wchar_t text[] = L"x";
    Registry()->SetState(first, static_cast<VARNEL_PLUGIN_STATE>(-4), text, nullptr);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, TrayState());
    Registry()->SetState(second, VARNEL_PLUGIN_STATE_ERROR, text, nullptr);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, TrayState());

    // Unloading does not recompute; an unloaded plug-in counts only while its error bit is set.
    ASSERT_TRUE(Registry()->UnloadPlugin(second));
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, TrayState());
    Registry()->UpdateTrayState();
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, TrayState());
    PluginOf(second)->AddFlags(PLUGIN_FLAG_ERROR);
    Registry()->UpdateTrayState();
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, TrayState());
}

TEST_F(States, MergeWithoutPluginsResetsOnlyTheState)
{
    testenv::TraceCapture traces;
    Registry()->UpdateTrayState();
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, TrayState());
    EXPECT_TRUE(traces.Contains(L"Varnel state: 0"));
}

// ---------------------------------------------------------------- broadcasts

TEST_F(Broadcasts, ActivityReachesTheLoadedPluginsWhoseBitsMeetTheMask)
{
    Load(L"FixtureBasic", L"Plain.dll");
    Load(L"FixtureUpdater", L"Updating.dll");
    Registry()->BroadcastActivity(static_cast<VARNEL_ACTIVITY>(3), PLUGIN_FLAG_UPDATER);
    EXPECT_TRUE(ActivitiesOf("Plain.dll").empty());
    EXPECT_EQ((std::vector<std::string>{"3|0|0"}), ActivitiesOf("Updating.dll"));
    Registry()->BroadcastActivity(static_cast<VARNEL_ACTIVITY>(6), 0xFFFF);
    EXPECT_EQ((std::vector<std::string>{"6|0|0"}), ActivitiesOf("Plain.dll"));

    Registry()->BroadcastUpdate();
    auto names = CallNamesOf("Updating.dll");
    EXPECT_EQ(1, std::count(names.begin(), names.end(), "Update"));
    names = CallNamesOf("Plain.dll");
    EXPECT_EQ(0, std::count(names.begin(), names.end(), "Update"));
}

TEST_F(Broadcasts, ExitReachesNobodyWithAnEmptyMaskButStopsLegacyPrograms)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring program = testenv::Join(system, L"cmd.exe");
    Register(L"Legacy", CopyFixture(L"FixtureBasic", L"Legacy.dll"));
    Configure(L"Legacy.dll", L"LegacyExe", program);
    Configure(L"Legacy.dll", L"LegacyArgs", L"/c exit");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Legacy", &handle));

    Registry()->BroadcastActivity(VARNEL_ACTIVITY_EXIT, 0);
    EXPECT_TRUE(ActivitiesOf("Legacy.dll").empty());
    testenv::TraceCapture traces;
    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    EXPECT_FALSE(traces.ContainsPart(L"about to launch legacy tray EXE"));
}

TEST_F(Broadcasts, PluginMessagesCarryTheNumberAndTheText)
{
    Load(L"FixtureBasic", L"CommA.dll");
    Load(L"FixtureBasic", L"CommB.dll");
    EXPECT_TRUE(Registry()->PluginComm(L"rescan now", 42));
    EXPECT_EQ((std::vector<std::string>{"7|42|rescan now"}), ActivitiesOf("CommA.dll"));
    EXPECT_EQ((std::vector<std::string>{"7|42|rescan now"}), ActivitiesOf("CommB.dll"));
}

TEST_F(Broadcasts, AdvisoryAnswerGoesToItsLoadedPluginOnly)
{
    void* handle = Load(L"FixtureBasic", L"Asker.dll");
    Registry()->NotifyAdvisoryResult(VARNEL_MAIN_APP_HANDLE, 1, 2);
    Registry()->NotifyAdvisoryResult(handle, 7, 1234);
    EXPECT_EQ((std::vector<std::string>{"5|7|1234"}), ActivitiesOf("Asker.dll"));
    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    Registry()->NotifyAdvisoryResult(handle, 8, 1);
    EXPECT_EQ((std::vector<std::string>{"5|7|1234"}), ActivitiesOf("Asker.dll")) << "an unloaded plug-in gets nothing";
}

TEST_F(Broadcasts, ErrorsReachEveryLoadedLogger)
{
    Load(L"FixtureLogger", L"LogA.dll");
    Load(L"FixtureLogger", L"LogB.dll");
    Load(L"FixtureBasic", L"Silent.dll");
    CErrorMsg::Instance()->Error(777, L"disk is full");
    for (const char* file : {"LogA.dll", "LogB.dll"}) {
        const auto calls = CallsOf(file);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ("LogError", calls.back().name);
        EXPECT_EQ("777", calls.back().args[0]);
        EXPECT_EQ("disk is full", calls.back().args[1]);
    }
    const auto names = CallNamesOf("Silent.dll");
    EXPECT_EQ(0, std::count(names.begin(), names.end(), "LogError"));
}

TEST_F(Broadcasts, PluginWindowsAreKnownAndDeadOnesSaySo)
{
    void* handle = Load(L"FixtureWindow", L"Windowed.dll");
    HWND window = PluginOf(handle)->GetHwnd();
    ASSERT_NE(nullptr, window);
    bool dead = true;
    EXPECT_TRUE(Registry()->IsPluginWindow(window, dead));
    EXPECT_FALSE(dead);
    EXPECT_FALSE(Registry()->IsPluginWindow(GetDesktopWindow(), dead));
    EXPECT_FALSE(Registry()->IsPluginWindow(nullptr, dead));
    DestroyWindow(window);
    EXPECT_TRUE(Registry()->IsPluginWindow(window, dead));
    EXPECT_TRUE(dead);
}

