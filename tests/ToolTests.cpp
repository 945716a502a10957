// The reference tray host's command line and the plug-in author's tools, through real processes:
// Varnel.exe (its help, its exit codes and the line that tells each, the report it sends) and
// varnelctl.exe (report, the reasons it gives for a load request, check-plugin with its dry run in
// a separate host process), with fixture plug-ins registered by the tests.
#include "TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

const wchar_t kPluginsKey[] = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
const wchar_t kFixturesKey[] = L"SOFTWARE\\Zerova\\VarnelTests\\Fixtures";
const wchar_t kCheckKey[] = L"Software\\Zerova\\VarnelPluginCheck";
const DWORD kProgramTimeoutMs = 90000;
const ULONG_PTR kReportRequest = 0x56524551u;

struct Finished {
    DWORD exitCode = 0xFFFFFFFFu;
    std::string output;  // standard output and error, UTF-8
    bool Has(const std::string& part) const { return output.find(part) != std::string::npos; }
    size_t Count(const std::string& part) const { return testenv::Occurrences(output, part); }
};

std::string Utf8(const std::wstring& text) { return testenv::Narrow(text); }

std::wstring Program(const wchar_t* name) { return testenv::Join(testenv::ProgramFolder(), name); }

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

class Tools : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_temp = std::make_unique<testenv::TempFolder>(L"tools");
        m_plugins = std::make_unique<testenv::RegistryKeyGuard>(HKEY_LOCAL_MACHINE, kPluginsKey);
        m_fixtures = std::make_unique<testenv::RegistryKeyGuard>(HKEY_LOCAL_MACHINE, kFixturesKey);
        m_callLog = m_temp->File(L"calls.log");
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kFixturesKey, L"CallLog", m_callLog));
    }
    void TearDown() override
    {
        if (m_host.hProcess != nullptr) {
            PostMessageW(FindWindowW(L"Zerova_VarnelWindowClass", nullptr), WM_CLOSE, 0, 0);
            if (WaitForSingleObject(m_host.hProcess, 15000) != WAIT_OBJECT_0) TerminateProcess(m_host.hProcess, 9);
            CloseHandle(m_host.hProcess);
            CloseHandle(m_host.hThread);
        }
        m_fixtures.reset();
        m_plugins.reset();
        m_temp.reset();
    }

    // Runs a program of the build to its end with its output in a file.
    Finished Run(const std::wstring& program, const std::wstring& arguments)
    {
        Finished finished;
        const std::wstring output = m_temp->File(L"output-" + std::to_wstring(++m_runs) + L".txt");
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file);
        std::wstring commandLine = Quoted(program) + L" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = file;
        startup.hStdError = file;
        PROCESS_INFORMATION started{};
        BOOL made = FALSE;
        // Wine now and then fails to start a process with ERROR_INTERNAL_ERROR on a busy machine.
        for (int attempt = 0; attempt < 3 && !made; ++attempt) {
            made = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &started);
            if (!made && GetLastError() != ERROR_INTERNAL_ERROR) break;
            if (!made) Sleep(200);
        }
        CloseHandle(file);
        EXPECT_TRUE(made) << Utf8(commandLine);
        if (!made) return finished;
        if (WaitForSingleObject(started.hProcess, kProgramTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(started.hProcess, 9);
            ADD_FAILURE() << "did not end: " << Utf8(commandLine);
        }
        GetExitCodeProcess(started.hProcess, &finished.exitCode);
        CloseHandle(started.hProcess);
        CloseHandle(started.hThread);
        const std::vector<BYTE> bytes = testenv::ReadBytes(output);
        finished.output.assign(bytes.begin(), bytes.end());
        finished.output.erase(std::remove(finished.output.begin(), finished.output.end(), '\r'), finished.output.end());
        return finished;
    }
    Finished Varnelctl(const std::wstring& arguments) { return Run(Program(L"varnelctl.exe"), arguments); }
    Finished Host(const std::wstring& arguments) { return Run(Program(L"Varnel.exe"), arguments); }

    // A fixture plug-in of the program folder registered under its own name.
    void Register(const wchar_t* library, const wchar_t* name)
    {
        const std::wstring entry = std::wstring(kPluginsKey) + L"\\" + name;
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, entry, L"Path", Program(library)));
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, entry, L"Name", name));
    }
    void Configure(const wchar_t* library, const wchar_t* value, DWORD number)
    {
        ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, std::wstring(kFixturesKey) + L"\\" + library, value, number));
    }
    void Configure(const wchar_t* library, const wchar_t* value, const std::wstring& text)
    {
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, std::wstring(kFixturesKey) + L"\\" + library, value, text));
    }

    void StartHost()
    {
        m_hostLog = m_temp->File(L"host.log");
        const std::wstring executable = Program(L"Varnel.exe");
        std::wstring commandLine = Quoted(executable) + L" --log " + Quoted(m_hostLog);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        ASSERT_TRUE(CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &m_host));
        ASSERT_TRUE(testenv::PumpUntil([&] { return HostLog().find("ready") != std::string::npos; }, 20000)) << HostLog();
        m_notify = FindWindowW(L"ZerovaFramework_NotifyIcon", nullptr);
        ASSERT_NE(nullptr, m_notify);
    }
    std::string HostLog() const
    {
        const std::vector<BYTE> bytes = testenv::ReadBytes(m_hostLog);
        return std::string(bytes.begin(), bytes.end());
    }
    size_t Calls(const std::string& part) const
    {
        const std::vector<BYTE> bytes = testenv::ReadBytes(m_callLog);
        return testenv::Occurrences(std::string(bytes.begin(), bytes.end()), part);
    }

    std::unique_ptr<testenv::TempFolder> m_temp;
    std::unique_ptr<testenv::RegistryKeyGuard> m_plugins;
    std::unique_ptr<testenv::RegistryKeyGuard> m_fixtures;
    std::wstring m_callLog;
    std::wstring m_hostLog;
    PROCESS_INFORMATION m_host{};
    HWND m_notify = nullptr;
    int m_runs = 0;
};

using HostCommandLine = Tools;
using Report = Tools;
using LoadRequest = Tools;
using CheckPlugin = Tools;
using MenuPick = Tools;

// ---------------------------------------------------------------- Varnel.exe's command line and exit codes

TEST_F(HostCommandLine, HelpListsEveryOptionAndEveryExitCode)
{
    const Finished help = Host(L"--help");
    EXPECT_EQ(0u, help.exitCode);
    for (const char* option : {"--log FILE", "--report", "--show WHAT", "--message TEXT", "--headless", "ignorehwnd=N",
                               "load_all", "unload", "--check-plugin PATH", "--help"})
        EXPECT_TRUE(help.Has(option)) << option << "\n" << help.output;
    for (int code = 0; code <= 7; ++code)
        EXPECT_TRUE(help.Has("\n  " + std::to_string(code) + "  ")) << "exit code " << code << "\n" << help.output;
}

TEST_F(HostCommandLine, WordsItDoesNotKnowEndItWithTwoAndASentenceThatSaysWhich)
{
    const Finished unknown = Host(L"--bogus");
    EXPECT_EQ(2u, unknown.exitCode);
    EXPECT_TRUE(unknown.Has("Varnel: unknown option \"--bogus\"; \"Varnel.exe --help\" lists the options (exit code 2)\n"))
        << unknown.output;
    const Finished noValue = Host(L"--log");
    EXPECT_EQ(2u, noValue.exitCode);
    EXPECT_TRUE(noValue.Has("Varnel: --log needs a value")) << noValue.output;
    const Finished badShow = Host(L"--show everything");
    EXPECT_EQ(2u, badShow.exitCode);
    EXPECT_TRUE(badShow.Has("--show takes health, about, history or traymenu, not \"everything\"")) << badShow.output;
}

TEST_F(HostCommandLine, SecondHostOnTheDesktopEndsWithOneAndSaysSoOnItsErrorStreamAndInItsLog)
{
    StartHost();
    const std::wstring secondLog = m_temp->File(L"second.log");
    const Finished second = Host(L"--log " + Quoted(secondLog));
    EXPECT_EQ(1u, second.exitCode);
    EXPECT_TRUE(second.Has("Varnel: another tray host runs on this desktop (process ")) << second.output;
    EXPECT_TRUE(second.Has("this one ends and leaves it alone (exit code 1)")) << second.output;
    const std::vector<BYTE> log = testenv::ReadBytes(secondLog);
    EXPECT_NE(std::string::npos, std::string(log.begin(), log.end()).find("(exit code 1)"));
    EXPECT_TRUE(IsWindow(m_notify)) << "the first host runs on";
}

TEST_F(HostCommandLine, UnreadableTrayMenuEndsItWithThreeAndNamesTheGuiFolder)
{
    // An application folder whose GUI tree has a redirect to a skin that does not exist and no
    // language module of its own: the library still finds the one beside it, so the menu loads;
    // what cannot load is a language module without the tray menu, put into the application folder.
    const std::wstring application = m_temp->File(L"application");
    CreateDirectoryW(application.c_str(), nullptr);
    const std::wstring host = testenv::Join(application, L"Varnel.exe");
    ASSERT_TRUE(CopyFileW(Program(L"Varnel.exe").c_str(), host.c_str(), FALSE));
    for (const wchar_t* library : {L"VarnelInterfaceLib.dll", L"ZerovaWin32GUISupportDLL.dll"})
        ASSERT_TRUE(CopyFileW(Program(library).c_str(), testenv::Join(application, library).c_str(), FALSE));
    // A library with no resources at all stands in for a language module without its tray menu.
    ASSERT_TRUE(CopyFileW(Program(L"FixtureBasic.dll").c_str(), testenv::Join(application, L"ZerovaLanguage.dll").c_str(), FALSE));
    const Finished ended = Run(host, L"");
    EXPECT_EQ(3u, ended.exitCode) << ended.output;
    EXPECT_TRUE(ended.Has("Varnel: the GUI configuration under \"")) << ended.output;
    EXPECT_TRUE(ended.Has("or the tray menu of the language module (ZerovaLanguage.dll) could not be read (exit code 3)"))
        << ended.output;
}

// ---------------------------------------------------------------- varnelctl report

TEST_F(Report, ListsThePluginsTheirStatesTheTrayStateAndTheMenuWithCommandIdentifiers)
{
    Register(L"FixtureWindow.dll", L"Window");
    Register(L"FixtureBasic.dll", L"Basic");
    Configure(L"FixtureWindow.dll", L"MenuItems", L"0:7:Seventh item;1:8:Eighth item");
    // Texts beyond ASCII come out in UTF-8, whatever the code page of the console.
    Configure(L"FixtureBasic.dll", L"DisplayName", L"Gr\u00FC\u00DFe \u201EBasic\u201C");
    StartHost();
    const Finished report = Varnelctl(L"report");
    EXPECT_EQ(0u, report.exitCode) << report.output;
    EXPECT_TRUE(report.Has("plug-in \"Window\" shown as \"Window\": loaded, capabilities 0x00D, state 0 \"\"\n"))
        << report.output;
    EXPECT_TRUE(report.Has("plug-in \"Basic\" shown as \"Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x9E" "Basic\xE2\x80\x9C\": loaded, "
                           "capabilities 0x005, state 0 \"\"\n"))
        << report.output;
    EXPECT_TRUE(report.Has("tray state 0, title \"")) << report.output;
    EXPECT_TRUE(report.Has("tray menu:\n  [4006] ")) << report.output;
    EXPECT_TRUE(report.Has("] Seventh item\n")) << report.output;
    EXPECT_TRUE(report.Has("] Eighth item\n")) << report.output;
    EXPECT_TRUE(report.Has("  [4000] ")) << report.output;
}

// ---------------------------------------------------------------- varnelctl menu-pick

TEST_F(MenuPick, PicksAPluginsItemByItsFullCommandAndThePluginHearsActivity100WithItsIdentifier)
{
    Register(L"FixtureWindow.dll", L"Window");
    Configure(L"FixtureWindow.dll", L"MenuItems", L"1:8:Eighth item");
    StartHost();
    const Finished report = Varnelctl(L"report");
    const size_t at = report.output.find("] Eighth item\n");
    ASSERT_NE(std::string::npos, at) << report.output;
    const size_t open = report.output.rfind('[', at);
    const std::string command = report.output.substr(open + 1, at - open - 1);
    ASSERT_GT(std::stoull(command), 65535u) << "a plug-in item's command does not fit in a WM_COMMAND";

    const Finished pick = Varnelctl(L"menu-pick " + std::wstring(command.begin(), command.end()));
    EXPECT_EQ(0u, pick.exitCode) << pick.output;
    EXPECT_TRUE(pick.Has("picked: " + command + "\n")) << pick.output;
    EXPECT_TRUE(testenv::PumpUntil([&] { return Calls("FixtureWindow.dll|Activity|100|8|") == 1; }, 10000))
        << HostLog();
}

TEST_F(MenuPick, ACommandNoEnabledItemHasIsRefusedWithOneAndNothingRuns)
{
    Register(L"FixtureWindow.dll", L"Window");
    StartHost();
    const Finished pick = Varnelctl(L"menu-pick 7");
    EXPECT_EQ(1u, pick.exitCode) << pick.output;
    EXPECT_TRUE(pick.Has("varnelctl: not picked: no enabled item of the tray menu has the command 7 ")) << pick.output;
    EXPECT_NE(std::string::npos, HostLog().find("refused: menu pick 7, ")) << HostLog();
    for (const wchar_t* word : {L"0", L"4294967296", L"-1", L"12x"}) {
        const Finished bad = Varnelctl(std::wstring(L"menu-pick ") + word);
        EXPECT_EQ(2u, bad.exitCode) << bad.output;
    }
    EXPECT_EQ(0u, Calls("|Activity|100|")) << "no pick reached the plug-in";
}

TEST_F(Report, IsRefusedToARequestThatNamesNoWindowToSendItTo)
{
    StartHost();
    COPYDATASTRUCT request{};
    request.dwData = kReportRequest;
    EXPECT_EQ(0, SendMessageW(m_notify, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&request)));
    int payload = 1;
    request.cbData = sizeof(payload);
    request.lpData = &payload;
    EXPECT_EQ(0, SendMessageW(m_notify, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&request)));
    EXPECT_NE(std::string::npos, HostLog().find("refused: report request, it names no window to send the report to"))
        << HostLog();
    EXPECT_NE(std::string::npos, HostLog().find("refused: malformed report request")) << HostLog();
}

TEST_F(Report, WithoutARunningHostEndsWithOneAndSaysSo)
{
    const Finished report = Varnelctl(L"report");
    EXPECT_EQ(1u, report.exitCode);
    EXPECT_TRUE(report.Has("varnelctl: no tray host runs on this desktop (exit code 1)\n")) << report.output;
}

// ---------------------------------------------------------------- varnelctl load-plugin: the reasons

TEST_F(LoadRequest, ForALibraryNoPluginIsRegisteredWithSaysSoAndSendsNothing)
{
    Register(L"FixtureBasic.dll", L"Basic");
    StartHost();
    const std::wstring elsewhere = m_temp->File(L"FixtureBasic.dll");
    ASSERT_TRUE(CopyFileW(Program(L"FixtureBasic.dll").c_str(), elsewhere.c_str(), FALSE));
    const Finished load = Varnelctl(L"load-plugin " + Quoted(elsewhere));
    EXPECT_EQ(1u, load.exitCode);
    EXPECT_TRUE(load.Has("varnelctl: not loaded: no plug-in is registered with the library \"" + Utf8(elsewhere) + "\""))
        << load.output;
    EXPECT_EQ(std::string::npos, HostLog().find("request 5 ")) << "no request reached the host";

    const Finished relative = Varnelctl(L"load-plugin sub\\FixtureBasic.dll");
    EXPECT_EQ(1u, relative.exitCode);
    EXPECT_TRUE(relative.Has("is neither a full path (X:\\...) nor a library file name")) << relative.output;
}

TEST_F(LoadRequest, ForAPluginWithDoNotLoadMeSaysTheHostSkipsIt)
{
    Register(L"FixtureBasic.dll", L"Basic");
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, std::wstring(kPluginsKey) + L"\\Basic", L"DoNotLoadMe", 1));
    StartHost();
    const Finished load = Varnelctl(L"load-plugin " + Quoted(Program(L"FixtureBasic.dll")));
    EXPECT_EQ(1u, load.exitCode);
    EXPECT_TRUE(load.Has("the plug-in \"Basic\" has \"DoNotLoadMe\" set in its registry entry: the tray host skips it"))
        << load.output;
}

TEST_F(LoadRequest, ThatTheHostRefusedSaysTheErrorTheHostRecorded)
{
    StartHost();
    Register(L"FixtureBasic.dll", L"Basic");
    Configure(L"FixtureBasic.dll", L"Minor", 3);
    const Finished load = Varnelctl(L"load-plugin " + Quoted(Program(L"FixtureBasic.dll")));
    EXPECT_EQ(1u, load.exitCode);
    EXPECT_TRUE(load.Has("varnelctl: the tray host did not load the plug-in: \"" + Utf8(Program(L"FixtureBasic.dll")) +
                         "\" (registry entry \"Basic\"): error 425: ")) << load.output;
    EXPECT_EQ(1u, Calls("|GetVersionInfo|")) << "the host made the load";

    Configure(L"FixtureBasic.dll", L"Minor", 2);
    const Finished again = Varnelctl(L"load-plugin " + Quoted(Program(L"FixtureBasic.dll")));
    EXPECT_EQ(0u, again.exitCode) << again.output;
    EXPECT_EQ(std::string::npos, Varnelctl(L"report").output.find("last load request refused"))
        << "a load that worked clears the refusal";
}

TEST_F(LoadRequest, ForAPluginRegisteredInTheOtherRegistryViewOnlySaysTheHostDoesNotReadIt)
{
#ifdef _WIN64
    const REGSAM otherView = KEY_WOW64_32KEY;
#else
    const REGSAM otherView = KEY_WOW64_64KEY;
#endif
    StartHost();
    HKEY entry = nullptr;
    const std::wstring key = std::wstring(kPluginsKey) + L"\\Elsewhere";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | otherView,
                                             nullptr, &entry, nullptr));
    const std::wstring path = Program(L"FixtureBasic.dll");
    RegSetValueExW(entry, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(entry);
    const Finished load = Varnelctl(L"load-plugin " + Quoted(path));
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), otherView, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPluginsKey, otherView, 0);
    EXPECT_EQ(1u, load.exitCode);
    EXPECT_TRUE(load.Has("the plug-in \"Elsewhere\" with that library is registered in the ")) << load.output;
    EXPECT_TRUE(load.Has(" only, which the tray host does not read; register it in the ")) << load.output;
}

// ---------------------------------------------------------------- varnelctl check-plugin

TEST_F(CheckPlugin, CleanPluginPassesWithItsEntryPointsMenuItemsAndUnload)
{
    Configure(L"FixtureWindow.dll", L"MenuItems", L"0:7:Seventh item");
    const Finished check = Varnelctl(L"check-plugin " + Quoted(Program(L"FixtureWindow.dll")));
    EXPECT_EQ(0u, check.exitCode) << check.output;
    EXPECT_TRUE(check.Has("): they match\n")) << check.output;
    EXPECT_TRUE(check.Has("required entry points: PluginGetVersionInfo, PluginInit, PluginActivity, PluginCleanup: all exported"))
        << check.output;
    EXPECT_TRUE(check.Has("optional entry points: PluginCreateMainWindow, PluginCreateMenus exported")) << check.output;
    EXPECT_TRUE(check.Has("VarnelInterfaceLib.dll loaded by the tray host; all found")) << check.output;
    EXPECT_TRUE(check.Has("  loaded: interface version 2.2, PluginInit returned 0, display name \"FixtureWindow\"\n"))
        << check.output;
    EXPECT_TRUE(check.Has("  menu items: \"Seventh item\" (item 7) in ")) << check.output;
    EXPECT_TRUE(check.Has("  unload: activity 8 (exit), activity 2 (unloading), PluginCleanup called; library freed\n"))
        << check.output;
    EXPECT_TRUE(check.Has("verdict: the plug-in loads and unloads cleanly in this tray host (exit code 0)\n"))
        << check.output;
    EXPECT_EQ(1u, Calls("FixtureWindow.dll|Init|")) << "the dry run loaded it once";
    EXPECT_EQ(1u, Calls("FixtureWindow.dll|Cleanup|"));
}

TEST_F(CheckPlugin, PluginThatLoadsWithAnErrorRecordedFailsWithOneAndTheExplainedError)
{
    Configure(L"FixtureBasic.dll", L"SetStateInInit", 2);
    const Finished check = Varnelctl(L"check-plugin " + Quoted(Program(L"FixtureBasic.dll")));
    EXPECT_EQ(1u, check.exitCode) << check.output;
    EXPECT_TRUE(check.Has("VarnelSetState from the plug-in \"")) << check.output;
    EXPECT_TRUE(check.Has("came inside PluginInit, before the plug-in is loaded")) << check.output;
    EXPECT_TRUE(check.Has("verdict: loads and unloads, but errors were recorded against it (above)")) << check.output;
}

TEST_F(CheckPlugin, DryRunLoadsNoOtherPluginAndLeavesNoRegistryEntryBehind)
{
    Register(L"FixtureBasic.dll", L"Basic");
    StartHost();
    ASSERT_EQ(1u, Calls("FixtureBasic.dll|Init|"));
    const Finished check = Varnelctl(L"check-plugin " + Quoted(Program(L"FixtureUpdater.dll")));
    EXPECT_EQ(0u, check.exitCode) << check.output;
    EXPECT_EQ(1u, Calls("FixtureUpdater.dll|Init|"));
    EXPECT_EQ(1u, Calls("FixtureBasic.dll|Init|")) << "the registered plug-in loaded in the running host only";
    HKEY entry = nullptr;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kPluginsKey) + L"\\FixtureUpdater").c_str(),
                                           0, KEY_READ, &entry));
    HKEY checks = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kCheckKey, 0, KEY_READ, &checks) == ERROR_SUCCESS) {
        DWORD subkeys = 0;
        RegQueryInfoKeyW(checks, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(checks);
        EXPECT_EQ(0u, subkeys) << "the dry run's own registry is gone";
    }
    EXPECT_TRUE(IsWindow(m_notify)) << "the running host is untouched";
    EXPECT_EQ(m_notify, FindWindowW(L"ZerovaFramework_NotifyIcon", nullptr));
    EXPECT_EQ(0u, Calls("FixtureBasic.dll|Cleanup|"));
}

TEST_F(CheckPlugin, MissingEntryPointIsNamedAndRefusedWith424)
{
    const Finished check = Varnelctl(L"check-plugin " + Quoted(Program(L"FixtureNoInit.dll")));
    EXPECT_EQ(1u, check.exitCode) << check.output;
    EXPECT_TRUE(check.Has("required entry points: MISSING PluginInit\n")) << check.output;
    EXPECT_TRUE(check.Has("verdict: refused with error 424: ")) << check.output;
    EXPECT_TRUE(check.Has("[missing entry point PluginInit] (exit code 1)\n")) << check.output;
}

TEST_F(CheckPlugin, LibraryOfTheOtherArchitectureIsRefusedWith423)
{
    const std::wstring foreign = testenv::Join(testenv::Join(testenv::ProgramFolder(), L"foreign"), L"FixtureForeign.dll");
    const Finished check = Varnelctl(L"check-plugin " + Quoted(foreign));
    EXPECT_EQ(1u, check.exitCode) << check.output;
    EXPECT_TRUE(check.Has(": they DO NOT match\n")) << check.output;
    EXPECT_TRUE(check.Has("  why: the file is a library of another architecture (machine 0x")) << check.output;
    EXPECT_TRUE(check.Has("verdict: refused with error 423: ")) << check.output;
}

TEST_F(CheckPlugin, MissingDependentLibraryIsNamedWithTheWindowsError)
{
    const std::wstring alone = m_temp->File(L"FixtureWithHelper.dll");
    const std::wstring built = testenv::Join(testenv::Join(testenv::Join(testenv::ProgramFolder(), L"signing"), L"built"),
                                             L"FixtureWithHelper.dll");
    ASSERT_TRUE(CopyFileW(built.c_str(), alone.c_str(), FALSE));
    const Finished check = Varnelctl(L"check-plugin " + Quoted(alone));
    EXPECT_EQ(1u, check.exitCode) << check.output;
    EXPECT_TRUE(check.Has("; MISSING FixtureHelper.dll (needed by FixtureWithHelper.dll)\n")) << check.output;
    EXPECT_EQ(1u, check.Count("libraries it needs: ")) << "one line says what was found and what is missing";
    EXPECT_TRUE(check.Has("  why: LoadLibraryExW failed with Windows error 126")) << check.output;
    EXPECT_TRUE(check.Has("verdict: refused with error 423: ")) << check.output;
    EXPECT_TRUE(check.Has("missing library FixtureHelper.dll (needed by FixtureWithHelper.dll), Windows error 126"))
        << check.output;
}

TEST_F(CheckPlugin, UnsupportedInterfaceVersionIsRefusedWith425AndTheVersionItReported)
{
    Configure(L"FixtureBasic.dll", L"Minor", 3);
    const Finished check = Varnelctl(L"check-plugin " + Quoted(Program(L"FixtureBasic.dll")));
    EXPECT_EQ(1u, check.exitCode) << check.output;
    EXPECT_TRUE(check.Has("  why: PluginGetVersionInfo reported interface version 2.3; the tray accepts 2.1 and 2.2\n"))
        << check.output;
    EXPECT_TRUE(check.Has("verdict: refused with error 425: ")) << check.output;
}

TEST_F(CheckPlugin, MainWindowThatIsNotMadeIsRefusedWith427AndAnInitResultOfSevenWithoutAnError)
{
    Configure(L"FixtureWindow.dll", L"MainWindow", 0);
    const Finished window = Varnelctl(L"check-plugin " + Quoted(Program(L"FixtureWindow.dll")));
    EXPECT_EQ(1u, window.exitCode) << window.output;
    EXPECT_TRUE(window.Has("verdict: refused with error 427: ")) << window.output;

    Configure(L"FixtureBasic.dll", L"InitResult", 7);
    const Finished init = Varnelctl(L"check-plugin " + Quoted(Program(L"FixtureBasic.dll")));
    EXPECT_EQ(1u, init.exitCode) << init.output;
    EXPECT_TRUE(init.Has("  PluginInit returned 7: a result other than 0 to 3 fails the load without an error\n"))
        << init.output;
    EXPECT_TRUE(init.Has("verdict: not loaded, and the loader recorded no error")) << init.output;
}

TEST_F(CheckPlugin, FileThatIsNoLibraryOrNoFullPathIsNotCheckedAndEndsWithThree)
{
    const std::wstring text = m_temp->File(L"notes.dll");
    ASSERT_TRUE(testenv::WriteAnsi(text, "these are notes, not a library"));
    const Finished notes = Varnelctl(L"check-plugin " + Quoted(text));
    EXPECT_EQ(3u, notes.exitCode) << notes.output;
    EXPECT_TRUE(notes.Has("is no Windows program or library")) << notes.output;
    EXPECT_TRUE(notes.Has("(exit code 3)\n")) << notes.output;
    const Finished relative = Varnelctl(L"check-plugin FixtureBasic.dll");
    EXPECT_EQ(3u, relative.exitCode) << relative.output;
}

// ---------------------------------------------------------------- the supervisor and the quarantine

namespace {
const wchar_t kSettingsKey[] = L"SOFTWARE\\Zerova\\Varnel";
const wchar_t* const kSettings[] = {L"HangLimitMilliseconds", L"QuarantineAfter", L"QuarantineHours",
                                    L"WriteCrashDumps"};

std::wstring EntryValue(const wchar_t* plugin, const wchar_t* value)
{
    wchar_t text[1024] = L"";
    DWORD size = sizeof(text);
    const std::wstring entry = std::wstring(kPluginsKey) + L"\\" + plugin;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, entry.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS)
        return text;
    DWORD number = 0;
    size = sizeof(number);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, entry.c_str(), value, RRF_RT_REG_DWORD, nullptr, &number, &size) == ERROR_SUCCESS)
        return std::to_wstring(number);
    return L"";
}
}  // namespace

class Supervised : public Tools {
protected:
    void SetUp() override
    {
        Tools::SetUp();
        ClearSettings();
        ForgetEndedTrays();
        // A crash ends at once here; the dumps have tests of their own.
        ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, L"WriteCrashDumps", 0));
    }
    void TearDown() override
    {
        Tools::TearDown();
        ClearSettings();
    }
    // Records of tray processes that earlier runs ended in a plug-in's call would count against
    // the plug-ins these tests register under the same names.
    static void ForgetEndedTrays()
    {
        wchar_t local[MAX_PATH] = L"";
        if (GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH) == 0) return;
        const std::wstring folder = std::wstring(local) + L"\\Zerova\\Varnel\\Calls\\";
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((folder + L"*.calls").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return;
        do DeleteFileW((folder + found.cFileName).c_str());
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    static void ClearSettings()
    {
        for (const wchar_t* value : kSettings) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, value);
    }
    void StartSupervisor(const std::wstring& options)
    {
        m_hostLog = m_temp->File(L"host.log");
        const std::wstring executable = Program(L"Varnel.exe");
        std::wstring commandLine = Quoted(executable) + L" --supervise --log " + Quoted(m_hostLog) + L" " + options;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        ASSERT_TRUE(CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &m_host));
    }
    bool LogHas(const std::string& part, DWORD withinMs) const
    {
        return testenv::PumpUntil([&] { return HostLog().find(part) != std::string::npos; }, withinMs);
    }
    size_t LogCount(const std::string& part) const
    {
        return testenv::Occurrences(HostLog(), part);
    }
    // The tray asked to close ends with 0, and the supervision with it.
    DWORD CloseTrayAndSupervisor()
    {
        PostMessageW(FindWindowW(L"Zerova_VarnelWindowClass", nullptr), WM_CLOSE, 0, 0);
        DWORD code = 0xFFFFFFFFu;
        if (WaitForSingleObject(m_host.hProcess, 20000) == WAIT_OBJECT_0) GetExitCodeProcess(m_host.hProcess, &code);
        return code;
    }
    void SendPluginMessage(const wchar_t* text)
    {
        // Sent from a process of its own: the tray may never answer it.
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION sender{};
        const std::wstring program = Program(L"varnelctl.exe");
        std::wstring commandLine = Quoted(program) + L" plugin-comm " + text + L" 1";
        ASSERT_TRUE(CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &sender));
        CloseHandle(sender.hThread);
        m_senders.emplace_back(sender.hProcess);
    }
    void TearDownSenders()
    {
        for (HANDLE sender : m_senders) {
            if (WaitForSingleObject(sender, 20000) != WAIT_OBJECT_0) TerminateProcess(sender, 9);
            CloseHandle(sender);
        }
        m_senders.clear();
    }
    std::vector<HANDLE> m_senders;
};

using QuarantineCommand = Supervised;

TEST_F(Supervised, TrayThatCrashesIsStartedAgainAndThePluginThatWasInACallIsKeptOutUntilCleared)
{
    Register(L"FixtureBasic.dll", L"Crasher");
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, L"QuarantineAfter", 1));
    StartSupervisor(L"--restart-pauses-ms 1500");
    ASSERT_TRUE(LogHas("ready", 30000)) << HostLog();
    EXPECT_TRUE(HostLog().find("Varnel supervisor: started the tray (process ") != std::string::npos) << HostLog();

    Configure(L"FixtureBasic.dll", L"FaultIn", L"Activity");
    Configure(L"FixtureBasic.dll", L"FaultKind", L"StackOverflow");
    SendPluginMessage(L"overflow");
    ASSERT_TRUE(LogHas("restart 1 in 1.5 s", 60000)) << HostLog();
    EXPECT_TRUE(HostLog().find("the tray ended without being asked to (exit code 0x") != std::string::npos) << HostLog();
    Configure(L"FixtureBasic.dll", L"FaultIn", L"");
    ASSERT_TRUE(testenv::PumpUntil([&] { return LogCount("ready") >= 2; }, 30000)) << HostLog();

    EXPECT_EQ(L"1", EntryValue(L"Crasher", L"Quarantined")) << "the restarted tray counted the call the process ended in";
    EXPECT_NE(std::wstring::npos, EntryValue(L"Crasher", L"QuarantineReason").find(L"was in PluginActivity when the tray process ended"))
        << testenv::Narrow(EntryValue(L"Crasher", L"QuarantineReason"));
    EXPECT_EQ(1u, Calls("FixtureBasic.dll|Init")) << "not loaded by the restarted tray";

    const Finished listed = Varnelctl(L"quarantine list");
    EXPECT_EQ(0u, listed.exitCode) << listed.output;
    EXPECT_TRUE(listed.Has("quarantined: Crasher (")) << listed.output;
    EXPECT_TRUE(listed.Has("was in PluginActivity when the tray process ended")) << listed.output;

    const Finished cleared = Varnelctl(L"quarantine clear Crasher");
    EXPECT_EQ(0u, cleared.exitCode) << cleared.output;
    EXPECT_TRUE(cleared.Has("cleared: Crasher")) << cleared.output;
    EXPECT_TRUE(cleared.Has("loaded: ")) << cleared.output;
    EXPECT_EQ(2u, Calls("FixtureBasic.dll|Init")) << "the running tray loaded it at once";
    EXPECT_EQ(L"", EntryValue(L"Crasher", L"Quarantined"));
    EXPECT_TRUE(Varnelctl(L"quarantine list").Has("no plug-in is in quarantine"));

    TearDownSenders();
    EXPECT_EQ(0u, CloseTrayAndSupervisor());
    EXPECT_TRUE(HostLog().find("the tray ended as asked; the supervision ends") != std::string::npos) << HostLog();
}

TEST_F(Supervised, TrayThatStopsAnsweringIsEndedAndStartedAgain)
{
    Register(L"FixtureBasic.dll", L"Hanger");
    Configure(L"FixtureBasic.dll", L"HangIn", L"Activity");
    // Ended by the supervisor before the hang watch would report it: the one offence is the call
    // the process was ended in.
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, L"HangLimitMilliseconds", 60000));
    StartSupervisor(L"--unanswered-ms 3000 --restart-pauses-ms 1500");
    ASSERT_TRUE(LogHas("ready", 30000)) << HostLog();
    SendPluginMessage(L"hang");
    ASSERT_TRUE(LogHas("the tray did not answer for 3.0 s and was ended; restart 1 in 1.5 s", 30000)) << HostLog();
    Configure(L"FixtureBasic.dll", L"HangIn", L"");
    ASSERT_TRUE(testenv::PumpUntil([&] { return LogCount("ready") >= 2; }, 30000)) << HostLog();
    EXPECT_EQ(L"1", EntryValue(L"Hanger", L"OffenceCount")) << "the call the tray was ended in counts";
    EXPECT_EQ(L"", EntryValue(L"Hanger", L"Quarantined")) << "once is not enough for the quarantine";
    EXPECT_EQ(2u, Calls("FixtureBasic.dll|Init"));
    TearDownSenders();
    EXPECT_EQ(0u, CloseTrayAndSupervisor());
}

TEST_F(Supervised, GivesUpAfterFiveRestartsWithinTenMinutesAndSaysWhy)
{
    Register(L"FixtureBasic.dll", L"Crasher");
    Configure(L"FixtureBasic.dll", L"FaultIn", L"Init");
    Configure(L"FixtureBasic.dll", L"FaultKind", L"StackOverflow");
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kSettingsKey, L"QuarantineAfter", 100));
    StartSupervisor(L"--restart-pauses-ms 100,200");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_host.hProcess, 120000)) << HostLog();
    DWORD code = 0;
    GetExitCodeProcess(m_host.hProcess, &code);
    EXPECT_EQ(8u, code);
    EXPECT_EQ(6u, LogCount("Varnel supervisor: started the tray")) << HostLog();
    EXPECT_TRUE(HostLog().find("restart 1 in 0.1 s") != std::string::npos) << HostLog();
    EXPECT_TRUE(HostLog().find("restart 5 in 0.2 s") != std::string::npos) << HostLog();
    EXPECT_TRUE(HostLog().find("it was started again 5 times within 10 minutes, so it is not started again") !=
                std::string::npos) << HostLog();
    EXPECT_EQ(L"5", EntryValue(L"Crasher", L"OffenceCount")) << "each start counted the PluginInit the one before ended in";
}

TEST_F(Supervised, TrayThatWillNotRunEndsTheSupervisionWithItsOwnCode)
{
    StartHost();
    const Finished second = Host(L"--supervise --restart-pauses-ms 100");
    EXPECT_EQ(1u, second.exitCode) << second.output;
    EXPECT_TRUE(second.Has("another tray host runs on this desktop")) << second.output;
    EXPECT_TRUE(second.Has("starting it again would change nothing")) << second.output;
}

TEST_F(QuarantineCommand, ClearOfAPluginNotInQuarantineOrNotRegisteredFailsWithTheReason)
{
    Register(L"FixtureBasic.dll", L"Fine");
    const Finished notQuarantined = Varnelctl(L"quarantine clear Fine");
    EXPECT_EQ(1u, notQuarantined.exitCode);
    EXPECT_TRUE(notQuarantined.Has("\"Fine\" is not in quarantine")) << notQuarantined.output;
    const Finished unknown = Varnelctl(L"quarantine clear Nobody");
    EXPECT_EQ(1u, unknown.exitCode);
    EXPECT_TRUE(unknown.Has("no registered plug-in is named \"Nobody\"")) << unknown.output;
    EXPECT_EQ(2u, Varnelctl(L"quarantine").exitCode);
}
