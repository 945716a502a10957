// The plug-in loader: calling order of the entry points, versions, refusals and their errors,
// capability bits, suite registration, traces, and the plug-in object's own state rules.
#include "PluginHostTests.h"

#include "ErrorMsg.h"
#include "Localize.h"
#include "VarnelPluginAPI.h"

#include <algorithm>

using hosttest::PluginHostTest;
using testenv::TraceCapture;

namespace {
const std::wstring kSubkeyRoot = L"SOFTWARE\\Zerova\\Varnel\\Plugins\\";

bool HasCall(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}
}  // namespace

class Loader : public PluginHostTest {};

TEST_F(Loader, CallsEntryPointsInContractOrderWithTheirArguments)
{
    Register(L"Everything", Fixture(L"FixtureCapabilities"), L"Everything Plugin");
    Configure(L"FixtureCapabilities.dll", L"SuiteResult", 1);
    Configure(L"FixtureCapabilities.dll", L"SuiteText", L"Open Everything");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"everything", &handle));

    // Error reports reach the logger whenever they happen (here: the tray menu is not set up).
    std::vector<hosttest::Call> calls;
    for (const auto& call : CallsOf("FixtureCapabilities.dll"))
        if (call.name != "LogError") calls.push_back(call);
    std::vector<std::string> names;
    for (const auto& call : calls) names.push_back(call.name);
    const std::vector<std::string> expected = {"GetVersionInfo", "Init", "SuiteRegister", "CreateMainWindow",
                                               "CreateMenus"};
    ASSERT_EQ(expected, names);

    EXPECT_EQ(Hex(handle), calls[0].args[0]);
    EXPECT_EQ("-1.-1", calls[0].args[1]);
    WORD first = 0, second = 0;
    CLocalize::Instance()->GetLangIDs(first, second);
    const auto& init = calls[1].args;
    EXPECT_EQ(Hex(handle), init[0]);
    EXPECT_EQ(std::to_string(second) + "," + std::to_string(first), init[1]);
    EXPECT_EQ("2.2", init[2]);
    EXPECT_EQ("SOFTWARE\\Zerova\\Varnel\\Plugins\\Everything", init[3]);
    EXPECT_EQ("Everything Plugin", init[4]);
    EXPECT_EQ("260", init[5]);
    EXPECT_EQ("25001", calls[2].args[1]);
    EXPECT_EQ("", calls[2].args[2]);
    EXPECT_EQ("260", calls[2].args[3]);
}

TEST_F(Loader, CapabilityBitsFollowTheExports)
{
    Register(L"All", Fixture(L"FixtureCapabilities"));
    Configure(L"FixtureCapabilities.dll", L"SuiteResult", 1);
    Configure(L"FixtureCapabilities.dll", L"SuiteText", L"Suite");
    Register(L"Basic", Fixture(L"FixtureBasic"));
    void *all = nullptr, *basic = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"All", &all));
    ASSERT_TRUE(Registry()->LoadPlugin(L"Basic", &basic));

    EXPECT_EQ(0x7FDu, PluginOf(all)->GetFlags());
    EXPECT_EQ(unsigned(PLUGIN_FLAG_CREATED | PLUGIN_FLAG_LOADED), PluginOf(basic)->GetFlags());
    EXPECT_TRUE(PluginOf(all)->HasMainWindow());
    EXPECT_TRUE(PluginOf(all)->HasAboutBox());
    EXPECT_TRUE(PluginOf(all)->IsErrorLogger());
    EXPECT_TRUE(PluginOf(all)->IsUpdater());
    EXPECT_TRUE(PluginOf(all)->HasHealth());
    EXPECT_FALSE(PluginOf(basic)->HasMainWindow());
    EXPECT_FALSE(PluginOf(basic)->IsErrorLogger());
    EXPECT_NE(nullptr, PluginOf(all)->GetHwnd());
    EXPECT_TRUE(IsWindow(PluginOf(all)->GetHwnd()));

    ASSERT_TRUE(Registry()->UnloadPlugin(all));
    EXPECT_EQ(unsigned(PLUGIN_FLAG_CREATED), PluginOf(all)->GetFlags());
    EXPECT_FALSE(PluginOf(all)->IsLoaded());
    EXPECT_EQ(nullptr, PluginOf(all)->GetHinstance());
}

TEST_F(Loader, AcceptsOnlyInterfaceVersions21And22)
{
    struct Version { const wchar_t* file; DWORD major, minor; bool accepted; };
    const Version versions[] = {{L"V20.dll", 2, 0, false}, {L"V21.dll", 2, 1, true}, {L"V22.dll", 2, 2, true},
                                {L"V23.dll", 2, 3, false}, {L"V31.dll", 3, 1, false}};
    for (const Version& v : versions) {
        Register(v.file, CopyFixture(L"FixtureBasic", v.file), std::wstring(L"Name of ") + v.file);
        Configure(v.file, L"Major", v.major);
        Configure(v.file, L"Minor", v.minor);
    }
    TraceCapture traces;
    for (const Version& v : versions) {
        SCOPED_TRACE(testenv::Narrow(v.file));
        void* handle = nullptr;
        EXPECT_EQ(v.accepted, Registry()->LoadPlugin(v.file, &handle));
        const std::wstring name = std::wstring(L"Name of ") + v.file;
        EXPECT_EQ(!v.accepted, traces.Contains(RecordErrorTrace(425, Message(425, name.c_str()))));
        // A refused plug-in is cleaned up before its library goes; its initialisation never ran.
        const auto names = CallNamesOf(testenv::Narrow(v.file));
        EXPECT_EQ(v.accepted, HasCall(names, "Init"));
        EXPECT_EQ(!v.accepted, HasCall(names, "Cleanup"));
        if (v.accepted) {
            int major = 0, minor = 0;
            ASSERT_TRUE(Registry()->GetPluginInterfaceVersion(handle, &major, &minor));
            EXPECT_EQ(int(v.major), major);
            EXPECT_EQ(int(v.minor), minor);
        }
    }
}

TEST_F(Loader, MissingRequiredExportIsRefusedWith424)
{
    const wchar_t* fixtures[] = {L"FixtureNoVersion", L"FixtureNoInit", L"FixtureNoActivity", L"FixtureNoCleanup"};
    TraceCapture traces;
    for (const wchar_t* fixture : fixtures) {
        SCOPED_TRACE(testenv::Narrow(fixture));
        Register(fixture, Fixture(fixture));
        void* handle = nullptr;
        EXPECT_FALSE(Registry()->LoadPlugin(fixture, &handle));
        Unregister(fixture);
        EXPECT_TRUE(traces.Contains(RecordErrorTrace(424, Message(424, fixture))));
        const auto names = CallNamesOf(testenv::Narrow(fixture) + ".dll");
        EXPECT_FALSE(HasCall(names, "GetVersionInfo"));
        EXPECT_FALSE(HasCall(names, "Init"));
    }
    EXPECT_EQ(424, CErrorMsg::Instance()->GetLastError());
    // Without PluginInit the library still gets PluginCleanup, with a null context.
    const auto noInit = CallsOf("FixtureNoInit.dll");
    ASSERT_EQ(1u, noInit.size());
    EXPECT_EQ("Cleanup", noInit[0].name);
    EXPECT_EQ("0", noInit[0].args[0]);
    EXPECT_TRUE(traces.ContainsPart(L"VARNEL_INIT_CALLBACK_PROC: 00000000\r\n"));
    EXPECT_TRUE(Registry()->GetPluginList().empty());
}

TEST_F(Loader, InitFailuresMapToTheirErrors)
{
    struct Case { const wchar_t* file; DWORD result; int code; };
    const Case cases[] = {{L"R1.dll", 1, 429}, {L"R2.dll", 2, 430}, {L"R3.dll", 3, 431}, {L"R7.dll", 7, 0}};
    TraceCapture traces;
    for (const Case& c : cases) {
        SCOPED_TRACE(testenv::Narrow(c.file));
        Register(c.file, CopyFixture(L"FixtureBasic", c.file));
        Configure(c.file, L"InitResult", c.result);
        traces.Clear();
        CErrorMsg::Instance()->Error(0);
        void* handle = nullptr;
        EXPECT_FALSE(Registry()->LoadPlugin(c.file, &handle));
        Unregister(c.file);
        EXPECT_TRUE(traces.Contains(L"Plugin returned \"" + std::to_wstring(c.result) + L"\" from plugin Init"));
        const std::wstring subkey = kSubkeyRoot + c.file;
        const std::wstring path = m_temp->File(c.file);
        if (c.code == 431) {
            EXPECT_TRUE(traces.Contains(RecordErrorTrace(431, Message(431, c.file, subkey.c_str(), path.c_str()))));
        } else if (c.code != 0) {
            EXPECT_TRUE(traces.Contains(RecordErrorTrace(c.code, Message(UINT(c.code), c.file))));
        } else {
            EXPECT_FALSE(traces.ContainsPart(L"CPlugin::RecordError"));
        }
        EXPECT_EQ(c.code, CErrorMsg::Instance()->GetLastError());
        const auto calls = CallsOf(testenv::Narrow(c.file));
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ("Cleanup", calls.back().name);
        EXPECT_NE("0", calls.back().args[0]);  // the context PluginInit handed back
    }
}

TEST_F(Loader, EmptyDisplayNameIsRefusedWith436)
{
    Register(L"Nameless", Fixture(L"FixtureBasic"), L"Registered Name");
    Configure(L"FixtureBasic.dll", L"DisplayName", L"<empty>");
    TraceCapture traces;
    void* handle = nullptr;
    EXPECT_FALSE(Registry()->LoadPlugin(L"Nameless", &handle));
    EXPECT_TRUE(traces.Contains(RecordErrorTrace(436, Message(436, L"Registered Name"))));
}

TEST_F(Loader, DisplayNameFromInitReplacesTheRegistryName)
{
    Register(L"Renamed", Fixture(L"FixtureBasic"), L"Registered Name");
    Configure(L"FixtureBasic.dll", L"DisplayName", L"Shown Name");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Renamed", &handle));
    wchar_t text[MAX_PATH];
    EXPECT_STREQ(L"Shown Name", PluginOf(handle)->GetDisplayName(text, MAX_PATH));
    EXPECT_STREQ(L"Registered Name", PluginOf(handle)->GetName(text, MAX_PATH));
    EXPECT_EQ(nullptr, PluginOf(handle)->GetName(nullptr, MAX_PATH));
    text[0] = L'x';
    EXPECT_EQ(text, PluginOf(handle)->GetName(text, 0));
    EXPECT_EQ(L'x', text[0]);
}

TEST_F(Loader, NullMainWindowIsRefusedWith427AndStartsTheLegacyProgram)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    const std::wstring marker = m_temp->File(L"legacy.txt");
    Register(L"NoWindow", Fixture(L"FixtureWindow"), L"Windowless");
    Configure(L"FixtureWindow.dll", L"MainWindow", DWORD(0));
    Configure(L"FixtureWindow.dll", L"DisplayName", L"Windowless Shown");
    Configure(L"FixtureWindow.dll", L"LegacyExe", cmd);
    Configure(L"FixtureWindow.dll", L"LegacyArgs", L"/c echo legacy> \"" + marker + L"\"");
    TraceCapture traces;
    void* handle = nullptr;
    EXPECT_FALSE(Registry()->LoadPlugin(L"NoWindow", &handle));

    EXPECT_TRUE(traces.Contains(RecordErrorTrace(427, Message(427, L"Windowless Shown"))));
    const auto names = CallNamesOf("FixtureWindow.dll");
    EXPECT_TRUE(HasCall(names, "CreateMainWindow"));
    EXPECT_FALSE(HasCall(names, "CreateMenus"));
    EXPECT_EQ("Cleanup", names.back());
    EXPECT_TRUE(traces.Contains(L"CPlugin::Cleanup\r\n    about to launch legacy tray EXE\r\n    \"" + cmd +
                                L"\"\r\n    for \"Windowless\""));
    bool started = false;
    for (int i = 0; i < 200 && !started; ++i, Sleep(50)) started = GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
    EXPECT_TRUE(started);
}

TEST_F(Loader, OneWindowExportAloneGivesNoMainWindow)
{
    Register(L"WindowOnly", Fixture(L"FixtureWindowOnly"));
    Register(L"MenusOnly", Fixture(L"FixtureMenusOnly"));
    void *windowOnly = nullptr, *menusOnly = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"WindowOnly", &windowOnly));
    ASSERT_TRUE(Registry()->LoadPlugin(L"MenusOnly", &menusOnly));
    EXPECT_EQ(0u, PluginOf(windowOnly)->GetFlags() & PLUGIN_FLAG_MAIN_WINDOW);
    EXPECT_EQ(0u, PluginOf(menusOnly)->GetFlags() & PLUGIN_FLAG_MAIN_WINDOW);
    EXPECT_EQ((std::vector<std::string>{"GetVersionInfo", "Init"}), CallNamesOf("FixtureWindowOnly.dll"));
    EXPECT_EQ((std::vector<std::string>{"GetVersionInfo", "Init"}), CallNamesOf("FixtureMenusOnly.dll"));
    EXPECT_EQ(nullptr, PluginOf(windowOnly)->GetHwnd());
}

TEST_F(Loader, SuiteEntriesTakeIdentifiersOnlyWhenComplete)
{
    ASSERT_TRUE(COXIL_DllMain::Instance()->LoadResources());
    struct Suite { const wchar_t* file; DWORD result; const wchar_t* text; bool entry; const char* offered; };
    const Suite suites[] = {{L"S1.dll", 1, L"First suite", true, "25001"},
                            {L"S2.dll", 0, L"Refused suite", false, "25002"},
                            {L"S3.dll", 1, L"", false, "25002"},
                            {L"S4.dll", 1, L"Second suite", true, "25002"}};
    for (const Suite& s : suites) {
        Register(s.file, CopyFixture(L"FixtureSuite", s.file));
        Configure(s.file, L"SuiteResult", s.result);
        Configure(s.file, L"SuiteText", s.text);
    }
    TraceCapture traces;
    std::vector<void*> handles;
    for (const Suite& s : suites) {
        SCOPED_TRACE(testenv::Narrow(s.file));
        void* handle = nullptr;
        ASSERT_TRUE(Registry()->LoadPlugin(s.file, &handle));
        handles.push_back(handle);
        EXPECT_EQ(s.entry, (PluginOf(handle)->GetFlags() & PLUGIN_FLAG_SUITE) != 0);
        const auto calls = CallsOf(testenv::Narrow(s.file));
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ("SuiteRegister", calls[2].name);
        EXPECT_EQ(s.offered, calls[2].args[1]);
    }
    EXPECT_EQ(25001u, PluginOf(handles[0])->GetSuiteMenuId());
    EXPECT_EQ(25002u, PluginOf(handles[3])->GetSuiteMenuId());
    EXPECT_EQ(2u, traces.Count(L"Inserted suite menu item successfully"));

    // Both entries stand above the item before system health, the later one below the earlier.
    HMENU menu = COXIL_DllMain::Instance()->GetSubMenu();
    int health = -1;
    for (int i = 0; i < GetMenuItemCount(menu); ++i)
        if (GetMenuItemID(menu, i) == 4000) health = i;
    ASSERT_GE(health, 3);
    EXPECT_EQ(25001u, GetMenuItemID(menu, health - 3));
    EXPECT_EQ(25002u, GetMenuItemID(menu, health - 2));
    wchar_t text[MAX_PATH] = L"";
    GetMenuStringW(menu, 25002, text, MAX_PATH, MF_BYCOMMAND);
    EXPECT_STREQ(L"Second suite", text);

    // The suite action reaches the owner with its handle and cookie; unloading takes the entry away.
    Registry()->NotifySuiteMenuAction(25002);
    const auto s4 = CallsOf("S4.dll");
    ASSERT_EQ("SuiteAction", s4.back().name);
    EXPECT_EQ(Hex(handles[3]), s4.back().args[0]);
    EXPECT_EQ("c00c1e", s4.back().args[2]);
    ASSERT_TRUE(Registry()->UnloadPlugin(handles[0]));
    EXPECT_EQ(0xFFFFFFFFu, GetMenuState(menu, 25001, MF_BYCOMMAND));
    EXPECT_NE(0xFFFFFFFFu, GetMenuState(menu, 25002, MF_BYCOMMAND));
}

TEST_F(Loader, StateReportedDuringInitIsRefusedWith530NamingTheCallAndWhenItIsTaken)
{
    Register(L"Eager", Fixture(L"FixtureBasic"));
    Configure(L"FixtureBasic.dll", L"SetStateInInit", 3);  // state 2
    TraceCapture traces;
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Eager", &handle));
    CPlugin* plugin = PluginOf(handle);
    const std::wstring explained = Message(457, L"VarnelSetState", L"Eager", L"PluginInit");
    EXPECT_NE(std::wstring::npos, explained.find(L"PluginSuiteRegister")) << "says from when calls are taken";
    EXPECT_TRUE(traces.Contains(RecordErrorTrace(530, explained)));
    EXPECT_EQ(530, plugin->GetLastError());
    EXPECT_NE(0u, plugin->GetFlags() & PLUGIN_FLAG_ERROR);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, plugin->GetState());  // the completed load sets state 0
    EXPECT_TRUE(Registry()->ClearPluginLastError(handle));
    EXPECT_EQ(0, Registry()->GetPluginLastError(handle));
}

TEST_F(Loader, StateReportedDuringMenusIsReplacedWhenTheLoadCompletes)
{
    Register(L"Early", Fixture(L"FixtureWindow"));
    Configure(L"FixtureWindow.dll", L"SetStateInMenus", 2);  // state 1
    Configure(L"FixtureWindow.dll", L"StateText", L"starting up");
    TraceCapture traces;
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Early", &handle));
    CPlugin* plugin = PluginOf(handle);
    wchar_t text[MAX_PATH] = L"x";
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, plugin->GetState());
    EXPECT_STREQ(L"", plugin->GetStateText(text, MAX_PATH));
    EXPECT_EQ(0u, plugin->GetFlags() & PLUGIN_FLAG_ERROR);
    EXPECT_TRUE(traces.Contains(Message(460, L"Early", L"PluginCreateMenus"))) << "the trace says why it is gone";

    traces.Clear();
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_WARNING, text, nullptr);
    EXPECT_FALSE(traces.ContainsPart(L"set a state inside")) << "only states set inside the load are named";
}

TEST_F(Loader, CallFromAPluginAfterItsUnloadIsRefusedWith530SayingItIsNoLongerLoaded)
{
    Register(L"Gone", Fixture(L"FixtureBasic"));
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Gone", &handle));
    CPlugin* plugin = PluginOf(handle);
    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    TraceCapture traces;
    wchar_t text[] = L"late";
    VarnelSetState(handle, VARNEL_PLUGIN_STATE_WARNING, text);  // as a thread of the plug-in that outlived it
    EXPECT_EQ(530, plugin->GetLastError());
    EXPECT_TRUE(traces.Contains(RecordErrorTrace(530, Message(458, L"VarnelSetState", L"Gone"))));
    plugin->ClearLastError();
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_WARNING, text, nullptr);  // the host's own call
    EXPECT_TRUE(traces.Contains(RecordErrorTrace(530, Message(530)))) << "only a plug-in's call is explained";
}

TEST_F(Loader, TracesDescribeTheLoad)
{
    Register(L"Traced", Fixture(L"FixtureBasic"), L"Traced Plugin");
    TraceCapture traces;
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Traced", &handle));
    const std::wstring path = Fixture(L"FixtureBasic");
    EXPECT_TRUE(traces.Contains(L"\r\n\r\n-------------------------------------------------\r\n"));
    EXPECT_TRUE(traces.Contains(L"\r\n\r\nLoading plugin:\r\n    registry subfolder: " + kSubkeyRoot +
                                L"Traced\r\n    name: Traced Plugin\r\n    path: " + path));
    EXPECT_TRUE(traces.ContainsPart(L"\r\n\r\nPlugin version info:\r\n    description: "));
    EXPECT_TRUE(traces.ContainsPart(L"\r\n\r\nPlugin REQUIRED exports:\r\n    VARNEL_GET_VERSION_INFO_CALLBACK_PROC: "));
    EXPECT_TRUE(traces.Contains(L"Plugin returned \"0\" from plugin Init"));
    EXPECT_TRUE(traces.ContainsPart(L"    VARNEL_GET_PLUGIN_HEALTH_CALLBACK_PROC: 00000000 VARNEL_SUITE_REGISTER_CALLBACK: 00000000"));
    EXPECT_TRUE(traces.Contains(L"CPluginInterface::LoadPlugins - xxx Plugin Name - Traced Plugin (0:4)"));
    EXPECT_TRUE(traces.Contains(L"CPluginInterface::LoadPlugins - ENTER"));
    EXPECT_TRUE(traces.Contains(L"CPluginInterface::LoadPlugins - EXIT"));
    // The required entry points print as eight hex digits, the low 32 bits of their addresses.
    HMODULE module = GetModuleHandleW(path.c_str());
    ASSERT_NE(nullptr, module);
    const auto low32 = [module](const char* name) {
        wchar_t digits[16];
        swprintf(digits, 16, L"%.8X", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(GetProcAddress(module, name))));
        return std::wstring(digits);
    };
    EXPECT_TRUE(traces.Contains(L"\r\n\r\nPlugin REQUIRED exports:\r\n    VARNEL_GET_VERSION_INFO_CALLBACK_PROC: " +
                                low32("PluginGetVersionInfo") + L"\r\n    VARNEL_INIT_CALLBACK_PROC: " + low32("PluginInit") +
                                L"\r\n    VARNEL_ACTIVITY_CALLBACK_PROC: " + low32("PluginActivity") +
                                L"\r\n    VARNEL_CLEANUP_CALLBACK_PROC: " + low32("PluginCleanup")));
    EXPECT_FALSE(traces.ContainsPart(L"VARNEL_GET_VERSION_INFO_CALLBACK_PROC: 00000000"));
}

// ---------------------------------------------------------------- the plug-in object's own rules

class PluginObject : public PluginHostTest {};

TEST_F(PluginObject, SameStateAndTextIsNoChange)
{
    CPlugin plugin;
    wchar_t text[] = L"busy";
    EXPECT_TRUE(plugin.SetState(VARNEL_PLUGIN_STATE_WARNING, text, nullptr));
    wchar_t again[] = L"busy";
    EXPECT_FALSE(plugin.SetState(VARNEL_PLUGIN_STATE_WARNING, again, nullptr));
    wchar_t other[] = L"Busy";
    EXPECT_TRUE(plugin.SetState(VARNEL_PLUGIN_STATE_WARNING, other, nullptr));  // the text compares exactly
    EXPECT_TRUE(plugin.SetState(VARNEL_PLUGIN_STATE_OK, nullptr, nullptr));
    EXPECT_FALSE(plugin.SetState(VARNEL_PLUGIN_STATE_OK, nullptr, nullptr));
}

TEST_F(PluginObject, LongStateTextIsCut)
{
    CPlugin plugin;
    std::wstring longText(300, L'a');
    EXPECT_TRUE(plugin.SetState(VARNEL_PLUGIN_STATE_ERROR, &longText[0], nullptr));
    wchar_t stored[1024];
    EXPECT_EQ(std::wstring(259, L'a'), plugin.GetStateText(stored, 1024));
    std::wstring withBreak = std::wstring(200, L'b') + L"\n" + std::wstring(100, L'c') + L"\r" + L"tail";
    EXPECT_TRUE(plugin.SetState(VARNEL_PLUGIN_STATE_ERROR, &withBreak[0], nullptr));
    const std::wstring firstLine = std::wstring(200, L'b') + L"\n" + std::wstring(100, L'c');
    EXPECT_EQ(firstLine, withBreak.c_str());  // cut in place at the carriage return
    EXPECT_EQ(firstLine.substr(0, 259), plugin.GetStateText(stored, 1024));
    wchar_t shortText[] = L"short\r\ntext";
    EXPECT_TRUE(plugin.SetState(VARNEL_PLUGIN_STATE_ERROR, shortText, nullptr));
    EXPECT_STREQ(L"short\r\ntext", plugin.GetStateText(stored, 1024));  // short texts stay whole
}

// The cut starts at 260 characters: 259 fit the field with their terminator and stay whole, line
// breaks and all; from 260 on the text is cut at its first carriage return, else at its first line
// feed, else after 259 characters, in the caller's buffer as well.
TEST_F(PluginObject, ATextIsCutFrom260CharactersOnAtItsFirstLineBreakElseAfter259)
{
    const auto cut = [](size_t length, size_t breakAt, wchar_t lineBreak) {
        CPlugin plugin;
        std::wstring text(length, L'x');
        if (breakAt < length) text[breakAt] = lineBreak;
        std::vector<wchar_t> buffer(text.begin(), text.end());
        buffer.push_back(L'\0');
        EXPECT_TRUE(plugin.SetState(VARNEL_PLUGIN_STATE_WARNING, buffer.data(), nullptr));
        wchar_t stored[1024] = L"";
        plugin.GetStateText(stored, 1024);
        return std::make_pair(std::wstring(stored), std::wstring(buffer.data()));
    };
    const size_t none = 1000;
    for (const wchar_t lineBreak : {L'\r', L'\n'}) {
        const std::wstring head(50, L'x');
        std::wstring whole(259, L'x');
        whole[50] = lineBreak;
        EXPECT_EQ(std::make_pair(whole, whole), cut(259, 50, lineBreak)) << "259 characters fit";
        EXPECT_EQ(std::make_pair(head, head), cut(260, 50, lineBreak)) << "260 characters are cut at the break";
        EXPECT_EQ(std::make_pair(head, head), cut(261, 50, lineBreak));
    }
    const std::wstring first259(259, L'x');
    EXPECT_EQ(std::make_pair(first259, first259), cut(259, none, L'\r'));
    EXPECT_EQ(std::make_pair(first259, first259), cut(260, none, L'\r')) << "no break: after 259 characters";
    EXPECT_EQ(std::make_pair(first259, first259), cut(261, none, L'\r'));
}

TEST_F(PluginObject, LegacyTrayProgramMustExist)
{
    CPlugin plugin;
    EXPECT_FALSE(plugin.SetLegacyTrayEXE(m_temp->File(L"missing.exe").c_str(), L"args", true));
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_TRUE(plugin.SetLegacyTrayEXE((std::wstring(system) + L"\\cmd.exe").c_str(), L"", false));
    EXPECT_TRUE(plugin.SetLegacyTrayEXE((std::wstring(system) + L"\\cmd.exe").c_str(), nullptr, false));
}

TEST_F(PluginObject, ErrorWithoutTextRecordsNothing)
{
    CPlugin plugin;
    TraceCapture traces;
    plugin.RecordError(9999);  // no such string
    EXPECT_EQ(0, plugin.GetLastError());
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, plugin.GetState());
    EXPECT_EQ(unsigned(PLUGIN_FLAG_CREATED), plugin.GetFlags());
    EXPECT_FALSE(traces.ContainsPart(L"CPlugin::RecordError"));

    plugin.RecordError(423, L"custom message");
    EXPECT_EQ(423, plugin.GetLastError());
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, plugin.GetState());
    EXPECT_NE(0u, plugin.GetFlags() & PLUGIN_FLAG_ERROR);
    wchar_t text[MAX_PATH];
    EXPECT_STREQ(L"custom message", plugin.GetStateText(text, MAX_PATH));
    plugin.RecordError(0, L"no code");
    EXPECT_EQ(423, plugin.GetLastError());  // code 0 keeps the last error
}

TEST_F(PluginObject, ReservedNameComparesWithoutCase)
{
    CPlugin plugin;
    EXPECT_TRUE(plugin.IsReservedSource(L"VARNEL core"));
    EXPECT_FALSE(plugin.IsReservedSource(L""));
    EXPECT_FALSE(plugin.IsReservedSource(nullptr));
    EXPECT_FALSE(plugin.HasReservedName());
    EXPECT_TRUE(plugin.CanUnload());  // no PluginCanUnload: willing
}

TEST_F(Loader, MissingDependentLibraryIsNamedIn423WithTheWindowsError)
{
    const std::wstring built = testenv::Join(testenv::ProgramFolder(), L"signing\\built\\FixtureWithHelper.dll");
    const std::wstring alone = m_temp->File(L"FixtureWithHelper.dll");
    ASSERT_TRUE(CopyFileW(built.c_str(), alone.c_str(), FALSE));
    ASSERT_EQ(nullptr, GetModuleHandleW(L"FixtureHelper.dll"));
    Register(L"Lonely", alone);

    TraceCapture traces;
    Registry()->LoadPlugins();
    EXPECT_EQ(0, Registry()->GetTotalNumberOfPlugins());
    const std::wstring recorded = RecordErrorTrace(423, Message(423, L"Lonely") + L" Windows error 126: ");
    const std::wstring head = recorded.substr(0, recorded.size() - 1);  // without the closing quote
    const std::wstring tail = L" " + Message(456, L"FixtureHelper.dll") + L"\"";
    const std::vector<testenv::TraceLine> lines = traces.Lines();
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const testenv::TraceLine& line) {
                  return line.text.rfind(head, 0) == 0 && line.text.size() > head.size() + tail.size() &&
                         line.text.compare(line.text.size() - tail.size(), tail.size(), tail) == 0;
              }));
}

TEST_F(Loader, LoadRequestForAnEntryNotInTheListIsTraced)
{
    Register(L"Present", Fixture(L"FixtureBasic"));
    TraceCapture traces;
    void* handle = nullptr;
    EXPECT_FALSE(Registry()->LoadPlugin(L"Absent", &handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_TRUE(traces.ContainsPart(Message(454, L"Absent")));
    traces.Clear();
    Registry()->UnloadPlugins(false);
    ASSERT_TRUE(Registry()->LoadPlugin(L"present", &handle)) << "entry names are found without case";
    EXPECT_FALSE(traces.ContainsPart(Message(454, L"present")));
}

TEST_F(Loader, LibrariesOfTheOtherArchitectureOrTruncatedAreRefusedWith423BeforeLoading)
{
    // Built by the other architecture's compiler: 0x014C on 64-bit builds, 0x8664 on 32-bit ones.
    const std::wstring other = testenv::Join(testenv::ProgramFolder(), L"foreign\\FixtureForeign.dll");
    const wchar_t* const otherMachine = sizeof(void*) == 8 ? L"(machine 0x014C)" : L"(machine 0x8664)";
    const std::wstring foreign = m_temp->File(L"Foreign.dll");
    ASSERT_TRUE(CopyFileW(other.c_str(), foreign.c_str(), FALSE));
    std::vector<BYTE> head = testenv::ReadBytes(Fixture(L"FixtureBasic"));
    head.resize(100);  // cut before the PE header
    const std::wstring truncated = m_temp->File(L"Truncated.dll");
    ASSERT_TRUE(testenv::WriteBytes(truncated, head.data(), head.size()));
    Register(L"A_Foreign", foreign);
    Register(L"B_Truncated", truncated);
    Register(L"C_Good", Fixture(L"FixtureBasic"));

    testenv::TraceCapture traces;
    ASSERT_TRUE(Registry()->LoadPlugins());
    EXPECT_EQ(1, Registry()->GetTotalNumberOfPlugins()) << "the good one still loads";
    EXPECT_TRUE(traces.ContainsPart(std::wstring(L"is a library of another architecture ") + otherMachine));
    EXPECT_TRUE(traces.ContainsPart(L"is not a library file"));
    const std::wstring notForThisTray = Message(461, sizeof(void*) == 8 ? L"64-bit" : L"32-bit");
    EXPECT_TRUE(traces.Contains(RecordErrorTrace(423, Message(423, L"A_Foreign") + L" " + notForThisTray)));
    EXPECT_TRUE(traces.Contains(RecordErrorTrace(423, Message(423, L"B_Truncated") + L" " + notForThisTray)));
    EXPECT_TRUE(CallsOf("Foreign.dll").empty()) << "never loaded";
}
