// Copy-data messages, tray process control and the window-station walks across real processes:
// helper processes (IpcPeer.exe) stand for tray hosts and taskbars on the default desktop, on a
// second desktop and on a desktop of a second window station, and record what reaches them.
#include "TestEnvironment.h"

#include "DebugTrace.h"
#include "OXIL_dllmain.h"
#include "SafeString.h"
#include "StationDesktopUtils.h"
#include "VarnelPrivateInterface.h"
#include "VarnelUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

namespace {

const wchar_t kTitle[] = L"Varnel Test Tray";
const wchar_t kSecondDesktop[] = L"VarnelTestDesk";
const wchar_t kSecondStation[] = L"VarnelTestStation";
const wchar_t kStationDesktop[] = L"VarnelStationDesk";

std::wstring Utf16(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                      static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(n > 0 ? n : 0));
    return wide;
}

// The desktops the walks have to reach besides WinSta0\Default; they live as long as the program.
class DesktopsEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        m_desktop = CreateDesktopW(kSecondDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        ASSERT_NE(nullptr, m_desktop);
        m_station = CreateWindowStationW(kSecondStation, 0, GENERIC_ALL, nullptr);
        ASSERT_NE(nullptr, m_station);
        HWINSTA own = GetProcessWindowStation();
        ASSERT_TRUE(SetProcessWindowStation(m_station));
        m_stationDesktop = CreateDesktopW(kStationDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
        ASSERT_NE(nullptr, m_stationDesktop);
    }
    void TearDown() override
    {
        CloseDesktop(m_stationDesktop);
        CloseWindowStation(m_station);
        CloseDesktop(m_desktop);
    }

private:
    HDESK m_desktop = nullptr;
    HWINSTA m_station = nullptr;
    HDESK m_stationDesktop = nullptr;
};

::testing::Environment* const g_desktops = ::testing::AddGlobalTestEnvironment(new DesktopsEnvironment());

// A window of this process that counts the messages it receives.
int g_ownWindowMessages = 0;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA || message == WM_CLOSE) {
        ++g_ownWindowMessages;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

class Ipc : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_temp = std::make_unique<testenv::TempFolder>(L"ipc");
        m_log = m_temp->File(L"peers.log");
        SetEnvironmentVariableW(L"VARNEL_PEER_LOG", m_log.c_str());
        // Peers copied elsewhere find the DLLs in the program folder.
        wchar_t path[8192] = L"";
        GetEnvironmentVariableW(L"PATH", path, 8192);
        if (wcsstr(path, testenv::ProgramFolder().c_str()) == nullptr)
            SetEnvironmentVariableW(L"PATH", (testenv::ProgramFolder() + L";" + path).c_str());
        g_ownWindowMessages = 0;
    }
    void TearDown() override
    {
        for (PROCESS_INFORMATION& peer : m_peers) {
            if (WaitForSingleObject(peer.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(peer.hProcess, 9);
            WaitForSingleObject(peer.hProcess, 5000);
            CloseHandle(peer.hProcess);
            CloseHandle(peer.hThread);
        }
        if (m_ownWindow != nullptr) DestroyWindow(m_ownWindow);
        if (!m_standInHost.empty())
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder");
        delete COXIL_DllMain::Instance();
        m_temp.reset();
    }

    // A copy of IpcPeer.exe as the tray host executable of an application folder of the test's own
    // (the registry points the library at it): peers started from it count as tray hosts.
    void UseStandInHostExecutable()
    {
        const std::wstring folder = m_temp->File(L"application");
        CreateDirectoryW(folder.c_str(), nullptr);
        m_standInHost = testenv::Join(folder, L"Varnel.exe");
        ASSERT_TRUE(CopyFileW(testenv::Join(testenv::ProgramFolder(), L"IpcPeer.exe").c_str(), m_standInHost.c_str(), FALSE));
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder", folder));
    }

    // Starts IpcPeer.exe with the arguments on a desktop ("station\desktop"; empty: this one).
    void StartPeer(const std::wstring& arguments, const std::wstring& desktop = L"", size_t readyLines = 1)
    {
        StartPeerFrom(testenv::Join(testenv::ProgramFolder(), L"IpcPeer.exe"), arguments, desktop, readyLines);
    }
    // The same, from the stand-in tray host executable.
    void StartTrayHostStandIn(const std::wstring& arguments, const std::wstring& desktop = L"")
    {
        ASSERT_FALSE(m_standInHost.empty());
        StartPeerFrom(m_standInHost, arguments, desktop, 1);
    }
    void StartPeerFrom(const std::wstring& executable, const std::wstring& arguments, const std::wstring& desktop,
                       size_t readyLines)
    {
        const size_t before = Count(L"ready|");
        std::wstring commandLine = L"\"" + executable + L"\" " + arguments;
        std::wstring desktopName = desktop;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.lpDesktop = desktopName.empty() ? nullptr : &desktopName[0];
        PROCESS_INFORMATION started{};
        ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &started))
            << testenv::Narrow(commandLine);
        m_peers.push_back(started);
        ASSERT_TRUE(WaitUntil([&] { return Count(L"ready|") >= before + readyLines; }, 10000))
            << "peer did not start: " << testenv::Narrow(arguments);
    }

    std::vector<std::wstring> Lines() const
    {
        const std::vector<BYTE> bytes = testenv::ReadBytes(m_log);
        std::vector<std::wstring> lines;
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) lines.push_back(Utf16(line));
        return lines;
    }
    std::vector<std::wstring> LinesWith(const std::wstring& part) const
    {
        std::vector<std::wstring> found;
        for (const std::wstring& line : Lines())
            if (line.find(part) != std::wstring::npos) found.push_back(line);
        return found;
    }
    size_t Count(const std::wstring& part) const { return LinesWith(part).size(); }

    static bool WaitUntil(const std::function<bool()>& done, DWORD milliseconds)
    {
        const ULONGLONG end = GetTickCount64() + milliseconds;
        while (!done()) {
            if (GetTickCount64() > end) return false;
            testenv::DispatchWaitingMessages();
            Sleep(20);
        }
        return true;
    }

    HWND PeerWindow(const wchar_t* title) { return FindWindowW(L"ZerovaFramework_NotifyIcon", title); }

    // A window of this process that stands for the main application window; it counts messages.
    HWND OwnWindow(const wchar_t* className, const wchar_t* title)
    {
        m_ownWindow = testenv::MakePopupWindow(className, title, &CountingProc);
        return m_ownWindow;
    }

    std::unique_ptr<testenv::TempFolder> m_temp;
    std::wstring m_log;
    std::vector<PROCESS_INFORMATION> m_peers;
    HWND m_ownWindow = nullptr;
    std::wstring m_standInHost;
};

using CopyData = Ipc;
using TrayControl = Ipc;
using Walks = Ipc;

// ---------------------------------------------------------------- the copy-data record

TEST_F(CopyData, RecordCarriesReasonStringAndValueInTwentyFiftySixBytes)
{
    StartPeer(std::wstring(L"receive \"") + kTitle + L"\" 1");
    HWND peer = PeerWindow(kTitle);
    ASSERT_NE(nullptr, peer);
    testenv::TraceCapture traces;
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(peer, nullptr, 5, L"C:\\Plugins\\Scanner.dll", 77));
    const auto lines = LinesWith(L"copydata|");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos,
              lines[0].find(L"|sender=0|bytes=2056|reason=5|length=22|zeroAfter=1|value=77|string=C:\\Plugins\\Scanner.dll"))
        << testenv::Narrow(lines[0]);
    EXPECT_TRUE(traces.Contains(L"CVarnelPrivateInterface::CopyDataIPC\r\n    reason: Load plugin\r\n    stringValue: "
                                L"C:\\Plugins\\Scanner.dll\r\n    iValue: 77"));
}

TEST_F(CopyData, NullStringAndUnknownReasonAreSentAsTheyAre)
{
    StartPeer(std::wstring(L"receive \"") + kTitle + L"\" 1");
    testenv::TraceCapture traces;
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(PeerWindow(kTitle), nullptr, 11, nullptr, -1));
    const auto lines = LinesWith(L"copydata|");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"|reason=11|length=0|zeroAfter=1|value=-1|string="));
    EXPECT_TRUE(traces.Contains(
        L"CVarnelPrivateInterface::CopyDataIPC\r\n    reason: Unknown\r\n    stringValue: \r\n    iValue: -1"));
}

TEST_F(CopyData, LongStringsKeepTheirTerminatorAndTheValueItsOffset)
{
    StartPeer(std::wstring(L"receive \"") + kTitle + L"\" 1");
    const std::wstring longest(1023, L'x');
    const std::wstring tooLong(3000, L'y');
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(PeerWindow(kTitle), nullptr, 8, longest.c_str(), 12345));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(PeerWindow(kTitle), nullptr, 8, tooLong.c_str(), 6));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(PeerWindow(kTitle), nullptr, 8, L"a", 1));
    const auto lines = LinesWith(L"copydata|");
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"|bytes=2056|reason=8|length=1023|zeroAfter=1|value=12345|"));
    EXPECT_NE(std::wstring::npos, lines[1].find(L"|bytes=2056|reason=8|length=1023|zeroAfter=1|value=6|"));
    EXPECT_NE(std::wstring::npos, lines[2].find(L"|bytes=2056|reason=8|length=1|zeroAfter=1|value=1|string=a"));
}

TEST_F(CopyData, OnlyAReplyOfOneCountsAndNothingGoesToItselfOrToNoWindow)
{
    StartPeer(std::wstring(L"receive \"") + kTitle + L"\" 2");
    HWND peer = PeerWindow(kTitle);
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(peer, nullptr, 3, nullptr, -1));
    EXPECT_EQ(1u, Count(L"copydata|"));

    testenv::TraceCapture traces;
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(peer, peer, 3, nullptr, -1));
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(nullptr, nullptr, 3, nullptr, -1));
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x7777)), nullptr,
                                                      3, nullptr, -1));
    EXPECT_EQ(1u, Count(L"copydata|"));
    EXPECT_FALSE(traces.ContainsPart(L"CopyDataIPC"));
}

// ---------------------------------------------------------------- tray process control

TEST_F(TrayControl, RequestsReachTheRunningTrayHost)
{
    HWND stale = reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x1234));
    EXPECT_FALSE(CVarnelUtils::Instance()->IsVarnelRunning(stale));
    EXPECT_EQ(nullptr, stale) << "a failed search leaves no stale handle";
    EXPECT_FALSE(CVarnelUtils::Instance()->LoadPlugins());

    UseStandInHostExecutable();
    StartTrayHostStandIn(std::wstring(L"receive \"") + kTitle + L"\" 1");
    HWND found = nullptr;
    EXPECT_TRUE(CVarnelUtils::Instance()->IsVarnelRunning(found));
    EXPECT_EQ(PeerWindow(kTitle), found);
    EXPECT_TRUE(CVarnelUtils::Instance()->LoadPlugin(L"C:\\p\\a.dll"));
    EXPECT_TRUE(CVarnelUtils::Instance()->UnloadPlugin(L"C:\\p\\a.dll"));
    EXPECT_TRUE(CVarnelUtils::Instance()->LoadPlugins());
    const auto lines = LinesWith(L"copydata|");
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"|sender=0|bytes=2056|reason=5|length=10|zeroAfter=1|value=-1|string=C:\\p\\a.dll"));
    EXPECT_NE(std::wstring::npos, lines[1].find(L"|reason=6|"));
    EXPECT_NE(std::wstring::npos, lines[2].find(L"|reason=9|length=7|zeroAfter=1|value=-1|string=LoadAll"));

    testenv::TraceCapture traces;
    EXPECT_FALSE(CVarnelUtils::Instance()->LoadPlugin(L""));
    EXPECT_TRUE(traces.Contains(L"CVarnelUtils::LoadPlugin - enter"));
    EXPECT_TRUE(traces.Contains(L"CVarnelUtils::LoadPlugin - exit"));
    traces.Clear();
    EXPECT_FALSE(CVarnelUtils::Instance()->VarnelIPC(5, L""));
    EXPECT_TRUE(traces.Lines().empty());
    EXPECT_EQ(3u, Count(L"copydata|"));
}

TEST_F(TrayControl, ProxyStartsTheHostExecutableWithItsCommandWord)
{
    // A folder with a stand-in Varnel.exe that records how it was started.
    const std::wstring folder = m_temp->File(L"host");
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring executable = testenv::Join(folder, L"Varnel.exe");
    ASSERT_TRUE(CopyFileW(testenv::Join(testenv::ProgramFolder(), L"IpcPeer.exe").c_str(), executable.c_str(), FALSE));

    // "unload" waits for the proxy to end, so its line is there at once.
    EXPECT_TRUE(CVarnelUtils::Instance()->UnloadAllVarnels(folder.c_str()));
    ASSERT_EQ(1u, Count(L"started|"));
    EXPECT_NE(std::wstring::npos, LinesWith(L"started|")[0].find(L"Varnel.exe\" unload|"));

    std::wstring mixedCase = testenv::Join(folder, L"vArNeL.ExE");
    EXPECT_TRUE(CVarnelUtils::Instance()->LoadAllVarnels(mixedCase.c_str()));
    EXPECT_TRUE(WaitUntil([&] { return Count(L"started|") == 2; }, 10000));
    EXPECT_NE(std::wstring::npos, LinesWith(L"started|").back().find(L"\" load_all|"));

    // A folder without the executable falls back to the application folder's.
    testenv::SetRegString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder", folder);
    wchar_t fallback[MAX_PATH];
    EXPECT_STREQ(executable.c_str(), CVarnelUtils::Instance()->GetVarnelFilename(fallback, MAX_PATH));
    EXPECT_TRUE(CVarnelUtils::Instance()->VarnelProxyIPC(L"other", m_temp->Path().c_str()));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder");
    ASSERT_EQ(3u, Count(L"started|")) << "any other word waits for the proxy too";
    EXPECT_NE(std::wstring::npos, LinesWith(L"started|").back().find(L"\" other|"));

    EXPECT_FALSE(CVarnelUtils::Instance()->VarnelProxyIPC(L"", folder.c_str()));
}

// ---------------------------------------------------------------- walks over stations and desktops

TEST_F(Walks, ShowHideAndPluginMessagesReachEveryTrayHostOnEveryDesktop)
{
    UseStandInHostExecutable();
    const std::wstring receive = std::wstring(L"receive \"") + kTitle + L"\" 1";
    StartTrayHostStandIn(receive);
    StartTrayHostStandIn(receive, std::wstring(L"WinSta0\\") + kSecondDesktop);
    StartTrayHostStandIn(receive, std::wstring(kSecondStation) + L"\\" + kStationDesktop);
    StartTrayHostStandIn(L"receive \"Another Tray\" 1");
    HWND own = OwnWindow(L"ZerovaFramework_NotifyIcon", kTitle);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(own, kTitle);

    CStationDesktopUtils::Instance()->ShowHideTrayOnAllStationsAndDesktops(true);
    CStationDesktopUtils::Instance()->ShowHideTrayOnAllStationsAndDesktops(false);
    CStationDesktopUtils::Instance()->PluginComm(L"scan now", 17);
    CStationDesktopUtils::Instance()->PluginComm(L"", 4);

    for (const std::wstring& where : {std::wstring(L"WinSta0\\Default"), std::wstring(L"WinSta0\\") + kSecondDesktop,
                                     std::wstring(kSecondStation) + L"\\" + kStationDesktop}) {
        std::vector<std::wstring> reasons;
        for (const std::wstring& line : LinesWith(L"where=" + where + L"|sender=")) {
            const size_t at = line.find(L"|reason=");
            reasons.push_back(line.substr(at, line.find(L"|string=") - at) + line.substr(line.find(L"|string=")));
        }
        const std::vector<std::wstring> expected = {
            L"|reason=3|length=0|zeroAfter=1|value=-1|string=", L"|reason=4|length=0|zeroAfter=1|value=-1|string=",
            L"|reason=8|length=8|zeroAfter=1|value=17|string=scan now",
            L"|reason=8|length=0|zeroAfter=1|value=4|string="};
        EXPECT_EQ(expected, reasons) << testenv::Narrow(where);
    }
    const std::wstring sender = L"|sender=" + std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(own)));
    EXPECT_EQ(12u, Count(sender)) << "every message names the main application window as sender";
    EXPECT_EQ(0u, Count(L"copydata|to=Another Tray")) << "another title is another product";
    EXPECT_EQ(0, g_ownWindowMessages) << "the main application window is never messaged";
}

TEST_F(Walks, UnloadTellsTrayHostsAndClosesEveryMainWindow)
{
    StartPeer(std::wstring(L"receive \"") + kTitle + L"\" 1 main");
    StartPeer(std::wstring(L"receive \"") + kTitle + L"\" 1 main", std::wstring(L"WinSta0\\") + kSecondDesktop);
    StartPeer(L"receive \"Another Tray\" 1 main", std::wstring(kSecondStation) + L"\\" + kStationDesktop);
    HWND own = OwnWindow(L"Zerova_VarnelWindowClass", kTitle);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(own, kTitle);

    CStationDesktopUtils::Instance()->LoadUnloadOnAllStationsAndDesktops(false);
    EXPECT_EQ(2u, Count(L"|reason=2|length=0|zeroAfter=1|value=-1|"));
    EXPECT_EQ(0u, Count(L"copydata|to=Another Tray"));
    EXPECT_TRUE(WaitUntil([&] { return Count(L"close|class=Zerova_VarnelWindowClass") == 3; }, 10000))
        << "every main window is closed, whatever its title";
    EXPECT_EQ(0, g_ownWindowMessages);
}

TEST_F(Walks, LoadStartsOneTrayHostPerDesktopWithATaskbar)
{
    StartPeer(L"taskbar 2", std::wstring(L"WinSta0\\") + kSecondDesktop);
    StartPeer(L"taskbar 1", std::wstring(kSecondStation) + L"\\" + kStationDesktop);

    std::wstring commandLine = L"\"" + testenv::Join(testenv::ProgramFolder(), L"IpcPeer.exe") + L"\" walk load \"" +
                               kTitle + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION walker{};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &walker));
    m_peers.push_back(walker);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(walker.hProcess, 20000));
    ASSERT_TRUE(WaitUntil([&] { return Count(L"started|") >= 2; }, 10000));
    Sleep(500);

    const std::wstring walkerLine = LinesWith(L"walker|main=").at(0);
    const std::wstring expectedCommandLine = L"started|cmdline=ignorehwnd=" + walkerLine.substr(walkerLine.find(L'=') + 1);
    const auto started = LinesWith(L"started|");
    ASSERT_EQ(2u, started.size()) << "one start per desktop with a taskbar";
    // The host is started on the taskbar's desktop, named without its window station.
    std::vector<std::wstring> desktops;
    for (const std::wstring& line : started) {
        EXPECT_EQ(0u, line.find(expectedCommandLine + L"|where=")) << testenv::Narrow(line);
        desktops.push_back(line.substr(line.rfind(L'\\') + 1));
    }
    std::sort(desktops.begin(), desktops.end());
    EXPECT_EQ((std::vector<std::wstring>{kStationDesktop, kSecondDesktop}), desktops);
}

// ---------------------------------------------------------------- programs that only look like a tray host

TEST_F(TrayControl, PluginPathsGoOnlyToATrayHostExecutable)
{
    UseStandInHostExecutable();
    // Any program may register the notify-icon class under the tray's title.
    StartPeer(std::wstring(L"receive \"") + kTitle + L"\" 1");
    HWND impostor = PeerWindow(kTitle);
    ASSERT_NE(nullptr, impostor);
    EXPECT_FALSE(CVarnelUtils::Instance()->LoadPlugin(L"C:\\p\\a.dll"));
    EXPECT_FALSE(CVarnelUtils::Instance()->UnloadPlugin(L"C:\\p\\a.dll"));
    EXPECT_FALSE(CVarnelUtils::Instance()->VarnelIPC(7, L"C:\\p\\a.dll"));
    EXPECT_FALSE(CVarnelUtils::Instance()->VarnelIPC(8, L"a plug-in message"));
    EXPECT_EQ(0u, Count(L"copydata|")) << "no plug-in path or message reaches the impostor";
    EXPECT_TRUE(CVarnelUtils::Instance()->LoadPlugins()) << "a request without plug-in data may go to any";
    EXPECT_EQ(1u, Count(L"|reason=9|"));

    // With a tray host running as well, the requests reach the tray host, whichever window is found first.
    StartTrayHostStandIn(L"receive \"Stand-in Tray\" 1");
    EXPECT_TRUE(CVarnelUtils::Instance()->LoadPlugin(L"C:\\p\\a.dll"));
    EXPECT_TRUE(CVarnelUtils::Instance()->UnloadPlugin(L"C:\\p\\a.dll"));
    EXPECT_EQ(1u, Count(L"copydata|to=Stand-in Tray|where=WinSta0\\Default|sender=0|bytes=2056|reason=5|"));
    EXPECT_EQ(1u, Count(L"copydata|to=Stand-in Tray|where=WinSta0\\Default|sender=0|bytes=2056|reason=6|"));
    EXPECT_EQ(0u, Count(std::wstring(L"copydata|to=") + kTitle + L"|where=WinSta0\\Default|sender=0|bytes=2056|reason=5|"));
    EXPECT_EQ(0u, Count(std::wstring(L"copydata|to=") + kTitle + L"|where=WinSta0\\Default|sender=0|bytes=2056|reason=6|"));
}

TEST_F(Walks, PluginMessagesSkipProgramsThatOnlyLookLikeATrayHost)
{
    UseStandInHostExecutable();
    StartPeer(std::wstring(L"receive \"") + kTitle + L"\" 1");
    StartTrayHostStandIn(std::wstring(L"receive \"") + kTitle + L"\" 1", std::wstring(L"WinSta0\\") + kSecondDesktop);
    HWND own = OwnWindow(L"VarnelTestMain", kTitle);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(own, kTitle);

    testenv::TraceCapture traces;
    CStationDesktopUtils::Instance()->PluginComm(L"secret", 5);
    CStationDesktopUtils::Instance()->ShowHideTrayOnAllStationsAndDesktops(true);
    const auto secrets = LinesWith(L"|reason=8|length=6|zeroAfter=1|value=5|string=secret");
    ASSERT_EQ(1u, secrets.size()) << "the program that only looks like a tray host gets no plug-in message";
    EXPECT_NE(std::wstring::npos, secrets[0].find(std::wstring(L"where=WinSta0\\") + kSecondDesktop + L"|"))
        << "the tray host does";
    EXPECT_EQ(2u, Count(L"|reason=3|")) << "showing the icon is asked of both";
    EXPECT_TRUE(traces.ContainsPart(L"PluginComm_EnumWindowsProc - window "));
}

TEST_F(Walks, ATrayHostNeverMessagesOrClosesItsOwnWindows)
{
    UseStandInHostExecutable();
    StartTrayHostStandIn(std::wstring(L"receive \"") + kTitle + L"\" 1 main", std::wstring(L"WinSta0\\") + kSecondDesktop);
    // The main application window and the window that receives the host's requests are two windows.
    HWND main = testenv::MakePopupWindow(L"Zerova_VarnelWindowClass", kTitle, &CountingProc);
    HWND notify = OwnWindow(L"ZerovaFramework_NotifyIcon", kTitle);
    ASSERT_NE(nullptr, main);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(main, kTitle);

    CStationDesktopUtils::Instance()->PluginComm(L"to every other host", 1);
    CStationDesktopUtils::Instance()->ShowHideTrayOnAllStationsAndDesktops(false);
    CStationDesktopUtils::Instance()->LoadUnloadOnAllStationsAndDesktops(false);
    testenv::DispatchWaitingMessages();
    EXPECT_EQ(0, g_ownWindowMessages) << "neither the notify-icon window nor the main window of this process";
    EXPECT_TRUE(IsWindow(notify));
    EXPECT_EQ(1u, Count(L"|reason=8|")) << "the other host gets the plug-in message";
    EXPECT_EQ(1u, Count(L"|reason=4|"));
    EXPECT_EQ(1u, Count(L"|reason=2|"));
    DestroyWindow(main);
}

// ---------------------------------------------------------------- walks started inside walks

namespace {
std::vector<std::wstring> g_hopsReceived;

// Stands for a tray host whose plug-in answers a plug-in message "hop N" (N > 0) with the plug-in
// message "hop N-1" to every tray host: a walk started on the thread that is walking.
LRESULT CALLBACK AnsweringHostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA) return DefWindowProcW(window, message, wParam, lParam);
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    const auto* request = static_cast<const CVarnelPrivateInterface::IPC_DATA*>(data->lpData);
    g_hopsReceived.push_back(request->stringValue);
    int hop = 0;
    if (swscanf(request->stringValue, L"hop %d", &hop) == 1 && hop > 0)
        CStationDesktopUtils::Instance()->PluginComm((L"hop " + std::to_wstring(hop - 1)).c_str(), 0);
    return 1;
}
}  // namespace

TEST_F(Walks, PluginMessageWalkStartedInsideAnotherRunsAndTheFirstGoesOn)
{
    UseStandInHostExecutable();
    HWND own = m_ownWindow = testenv::MakePopupWindow(L"VarnelTestAnsweringHost", kTitle, &AnsweringHostProc);
    ASSERT_NE(nullptr, own);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(own, kTitle);
    const std::wstring ownNumber = std::to_wstring(static_cast<long long>(reinterpret_cast<INT_PTR>(own)));
    StartTrayHostStandIn(std::wstring(L"relay \"") + kTitle + L"\" " + ownNumber);
    StartTrayHostStandIn(std::wstring(L"receive \"") + kTitle + L"\" 1", std::wstring(L"WinSta0\\") + kSecondDesktop);
    g_hopsReceived.clear();

    CStationDesktopUtils::Instance()->PluginComm(L"hop 3", 0);
    EXPECT_EQ((std::vector<std::wstring>{L"hop 2", L"hop 0"}), g_hopsReceived);
    std::vector<std::wstring> second;
    for (const std::wstring& line : LinesWith(std::wstring(L"where=WinSta0\\") + kSecondDesktop + L"|sender="))
        second.push_back(line.substr(line.find(L"|string=") + 8));
    EXPECT_EQ((std::vector<std::wstring>{L"hop 1", L"hop 3"}), second)
        << "the inner walk delivers its message, then the outer one goes on with its own";

    // Hosts that answer each other without end are stopped by the depth of the nesting.
    testenv::TraceCapture traces;
    g_hopsReceived.clear();
    CStationDesktopUtils::Instance()->PluginComm(L"hop 99", 0);
    EXPECT_EQ(4u, g_hopsReceived.size());
    EXPECT_TRUE(traces.Contains(L"CStationDesktopUtils - a walk nested 5 deep on one thread is not run"));
}

TEST_F(Walks, LoadWalkGivesTheWalkingThreadItsOwnIdentityBack)
{
    StartPeer(L"taskbar 1", std::wstring(L"WinSta0\\") + kSecondDesktop);
    std::wstring commandLine = L"\"" + testenv::Join(testenv::ProgramFolder(), L"IpcPeer.exe") + L"\" walk load \"" +
                               kTitle + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION walker{};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &walker));
    m_peers.push_back(walker);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(walker.hProcess, 20000));
    ASSERT_TRUE(WaitUntil([&] { return Count(L"started|") >= 1; }, 10000)) << "a tray host was started";
    EXPECT_EQ(1u, Count(L"walked|impersonating=0"));
}

TEST(SecurityHelpers, LogonSidIsFoundAndGrantedOnAStationAndADesktop)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    PSID sid = nullptr;
    ASSERT_TRUE(CStationDesktopUtils::GetLogonSid(token, &sid));
    ASSERT_NE(nullptr, sid);
    EXPECT_TRUE(IsValidSid(sid));
    CloseHandle(token);

    HWINSTA station = OpenWindowStationW(kSecondStation, FALSE, MAXIMUM_ALLOWED);
    HDESK desktop = OpenDesktopW(kSecondDesktop, 0, FALSE, MAXIMUM_ALLOWED);
    ASSERT_NE(nullptr, station);
    ASSERT_NE(nullptr, desktop);
    EXPECT_TRUE(CStationDesktopUtils::AddAceToWindowStation(station, sid));
    EXPECT_TRUE(CStationDesktopUtils::AddAceToDesktop(desktop, sid));
    EXPECT_FALSE(CStationDesktopUtils::AddAceToDesktop(nullptr, sid));
    CloseDesktop(desktop);
    CloseWindowStation(station);
    CStationDesktopUtils::FreeLogonSid(sid);
}

// ---------------------------------------------------------------- the reference tray host

namespace {
LRESULT SendRaw(HWND target, const void* data, DWORD bytes)
{
    COPYDATASTRUCT copy{};
    copy.cbData = bytes;
    copy.lpData = const_cast<void*>(data);
    return SendMessageW(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
}

std::wstring Decimal(HWND window) { return std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window))); }
}  // namespace

class TrayHost : public Ipc {
protected:
    // The host executable of the build; its command line starts with programName (the quoted
    // executable unless given).
    void StartHost(const std::wstring& programName = L"")
    {
        m_hostLog = m_temp->File(L"host.log");
        const std::wstring executable = testenv::Join(testenv::ProgramFolder(), L"Varnel.exe");
        std::wstring commandLine = (programName.empty() ? L"\"" + executable + L"\"" : programName) +
                                   L" --headless --log \"" + m_hostLog + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        ASSERT_TRUE(CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &m_host))
            << "the host could not be started, error " << GetLastError();
        m_peers.push_back(m_host);
        ASSERT_TRUE(WaitUntil([&] { return HostLogHas(L"ready"); }, 15000));
        m_notify = FindWindowW(L"ZerovaFramework_NotifyIcon", nullptr);
        m_main = FindWindowW(L"Zerova_VarnelWindowClass", nullptr);
        ASSERT_NE(nullptr, m_notify);
        ASSERT_NE(nullptr, m_main);
    }
    std::string HostLog() const
    {
        const std::vector<BYTE> bytes = testenv::ReadBytes(m_hostLog);
        return std::string(bytes.begin(), bytes.end());
    }
    bool HostLogHas(const wchar_t* text) const { return HostLog().find(testenv::Narrow(text)) != std::string::npos; }
    size_t HostLogCount(const std::string& text) const
    {
        return testenv::Occurrences(HostLog(), text);
    }

    // Registers the fixture plug-ins (library file names in the program folder) under their own
    // names, in that order, with a call log of their own; the keys go with the test.
    void RegisterFixturePlugins(std::initializer_list<const wchar_t*> libraries)
    {
        m_pluginsKey = std::make_unique<testenv::RegistryKeyGuard>(HKEY_LOCAL_MACHINE, kPluginsKey);
        m_fixturesKey = std::make_unique<testenv::RegistryKeyGuard>(HKEY_LOCAL_MACHINE, kFixturesKey);
        m_callLog = m_temp->File(L"calls.log");
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kFixturesKey, L"CallLog", m_callLog));
        for (const wchar_t* library : libraries) {
            const std::wstring name = std::wstring(library).substr(0, wcslen(library) - 4);
            const std::wstring entry = std::wstring(kPluginsKey) + L"\\" + name;
            ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, entry, L"Path",
                                              testenv::Join(testenv::ProgramFolder(), library)));
            ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, entry, L"Name", name));
        }
    }
    std::vector<std::string> CallLines() const
    {
        const std::vector<BYTE> bytes = testenv::ReadBytes(m_callLog);
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(line.back() == '\r' ? line.substr(0, line.size() - 1) : line);
        return lines;
    }
    size_t CallCount(const std::string& part) const
    {
        const auto lines = CallLines();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                                 [&](const std::string& line) { return line.find(part) != std::string::npos; }));
    }
    // The host's log, line by line.
    std::vector<std::string> HostLogLines() const
    {
        std::istringstream in(HostLog());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Position of the first host log line holding the text, or -1.
    int HostLogLineOf(const std::string& text) const
    {
        const auto lines = HostLogLines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    }
    // Starts a second host on this desktop with a log of its own; its exit code, or 259 while it runs.
    DWORD RunSecondHost(std::string& log)
    {
        const std::wstring secondLog = m_temp->File(L"second.log");
        std::wstring commandLine = L"\"" + testenv::Join(testenv::ProgramFolder(), L"Varnel.exe") +
                                   L"\" --headless --log \"" + secondLog + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION second{};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &second))
            return 0xFFFFFFFFu;
        m_peers.push_back(second);
        WaitForSingleObject(second.hProcess, 15000);
        DWORD exitCode = 0;
        GetExitCodeProcess(second.hProcess, &exitCode);
        const std::vector<BYTE> bytes = testenv::ReadBytes(secondLog);
        log.assign(bytes.begin(), bytes.end());
        return exitCode;
    }
    bool HostRuns() const { return WaitForSingleObject(m_host.hProcess, 0) == WAIT_TIMEOUT; }

    static constexpr const wchar_t* kPluginsKey = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
    static constexpr const wchar_t* kFixturesKey = L"SOFTWARE\\Zerova\\VarnelTests\\Fixtures";

    PROCESS_INFORMATION m_host{};
    std::wstring m_hostLog;
    HWND m_notify = nullptr;
    HWND m_main = nullptr;
    std::unique_ptr<testenv::RegistryKeyGuard> m_pluginsKey;
    std::unique_ptr<testenv::RegistryKeyGuard> m_fixturesKey;
    std::wstring m_callLog;
};

TEST_F(TrayHost, MalformedRequestsAreRefusedAndChangeNothing)
{
    StartHost();
    CVarnelPrivateInterface::IPC_DATA record{};
    record.reason = 8;
    record.intValue = 1;
    EXPECT_EQ(0, SendRaw(m_notify, &record, 10)) << "too short";
    EXPECT_EQ(0, SendRaw(m_notify, nullptr, 0)) << "no data";
    std::vector<BYTE> tooLong(sizeof(record) + 16, 0);
    memcpy(tooLong.data(), &record, sizeof(record));
    EXPECT_EQ(0, SendRaw(m_notify, tooLong.data(), static_cast<DWORD>(tooLong.size()))) << "too long";
    CVarnelPrivateInterface::IPC_DATA unterminated = record;
    std::fill(std::begin(unterminated.stringValue), std::end(unterminated.stringValue), L'x');
    EXPECT_EQ(0, SendRaw(m_notify, &unterminated, sizeof(unterminated))) << "no terminator";
    for (unsigned reason : {0u, 11u, 0xFFFFFFFFu}) {
        CVarnelPrivateInterface::IPC_DATA unknown = record;
        unknown.reason = reason;
        EXPECT_EQ(0, SendRaw(m_notify, &unknown, sizeof(unknown))) << reason;
    }
    EXPECT_EQ(7u, HostLogCount("refused: malformed request"));
    // The host's own agent monitor notices come and go; nothing else was acted on.
    EXPECT_EQ(HostLogCount("request 10 (Agent Regkey change)"), HostLogCount("request "));

    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 7, L"C:\\nowhere\\none.dll", -1))
        << "verifying a plug-in the host does not have";
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"hello", 3));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 4, nullptr, -1));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 3, nullptr, -1));
    EXPECT_EQ(1u, HostLogCount("request 8 (Plugin comm) \"hello\" 3: accepted"));
    EXPECT_EQ(1u, HostLogCount("request 7 (Verify plugin)"));

    PostMessageW(m_main, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_host.hProcess, 15000));
    DWORD exitCode = 1;
    GetExitCodeProcess(m_host.hProcess, &exitCode);
    EXPECT_EQ(0u, exitCode);
    EXPECT_TRUE(HostLogHas(L"stopped"));
}

TEST_F(TrayHost, RequestsAreTakenFromSendersOfTheSameUserOnly)
{
    StartHost();
    HWND sender = CreateWindowExW(0, L"STATIC", L"sender", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, sender);
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, sender, 8, L"from a window of this user", 1));
    EXPECT_EQ(1u, HostLogCount("request 8 (Plugin comm) \"from a window of this user\" 1: accepted"));
    DestroyWindow(sender);
    // A sender whose window is gone cannot be checked, so it is refused.
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, sender, 8, L"from a window that is gone", 1));
    EXPECT_EQ(1u, HostLogCount("refused: the sender window no longer exists"));
    EXPECT_EQ(0u, HostLogCount("from a window that is gone"));
}

TEST_F(TrayHost, RequestNamingTheHostsOwnWindowIsRefused)
{
    StartHost();
    testenv::TraceCapture traces;
    // WM_COPYDATA does not tell the host who sent it; the sender window is the sender's claim.
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, m_main, 8, L"as if from the host itself", 1));
    CVarnelPrivateInterface::IPC_DATA record{};
    record.reason = CVarnelPrivateInterface::IPC_UNLOAD;
    record.intValue = -1;
    COPYDATASTRUCT copy{};
    copy.cbData = sizeof(record);
    copy.lpData = &record;
    EXPECT_EQ(0, SendMessageW(m_notify, WM_COPYDATA, reinterpret_cast<WPARAM>(m_notify), reinterpret_cast<LPARAM>(&copy)));
    EXPECT_EQ(2u, HostLogCount("refused: the sender window is one of the host's own"));
    EXPECT_EQ(0u, HostLogCount("as if from the host itself"));

    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"without a sender window", 1))
        << "the library's own callers name no sender window";
    EXPECT_EQ(1u, HostLogCount("request 8 (Plugin comm) \"without a sender window\" 1: accepted"));
    EXPECT_TRUE(IsWindow(m_main));
}

TEST_F(TrayHost, RequestNamingTheWindowItWasToldToIgnoreIsRefused)
{
    HWND starter = OwnWindow(L"VarnelTestStarter", L"starter");
    HWND other = testenv::MakePopupWindow(L"VarnelTestOtherSender", L"other", &CountingProc);
    ASSERT_NE(nullptr, other);
    // As a load walk starts a host: the word is the whole command line, so it is the program name.
    StartHost(L"ignorehwnd=" + std::to_wstring(static_cast<long long>(reinterpret_cast<INT_PTR>(starter))));
    EXPECT_TRUE(HostLogHas((L"ignoring window " +
                            std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(starter)) & 0xFFFFFFFFu))
                               .c_str()));
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, starter, 8, L"from the starter", 1));
    EXPECT_EQ(1u, HostLogCount("refused: the sender window is the one the host was told to ignore"));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, other, 8, L"from another window", 1));
    EXPECT_EQ(1u, HostLogCount("request 8 (Plugin comm) \"from another window\" 1: accepted"));
    DestroyWindow(other);
}

namespace {
struct HostWindowSearch {
    HWND main = nullptr;
};
BOOL CALLBACK FindHostMainWindow(HWND window, LPARAM context)
{
    wchar_t className[MAX_PATH] = L"";
    GetClassNameW(window, className, MAX_PATH);
    if (wcscmp(className, L"Zerova_VarnelWindowClass") != 0) return TRUE;
    reinterpret_cast<HostWindowSearch*>(context)->main = window;
    return FALSE;
}

// The main window of a tray host on a desktop of this window station, or null.
HWND HostMainWindowOn(const wchar_t* desktopName)
{
    HDESK desktop = OpenDesktopW(desktopName, 0, FALSE, MAXIMUM_ALLOWED);
    if (desktop == nullptr) return nullptr;
    HostWindowSearch search;
    EnumDesktopWindows(desktop, &FindHostMainWindow, reinterpret_cast<LPARAM>(&search));
    CloseDesktop(desktop);
    return search.main;
}
}  // namespace

TEST_F(TrayHost, HostStartedByTheLoadWalkIgnoresTheWindowThatStartedIt)
{
    const wchar_t traceKey[] = L"SOFTWARE\\Zerova\\Varnel\\Trace";
    testenv::RegistryKeyGuard trace(HKEY_LOCAL_MACHINE, traceKey);
    const std::wstring traceLog = m_temp->File(L"trace.log");
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, traceKey, L"TraceLevel", 4));
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, traceKey, L"TraceLogFile", traceLog));
    StartPeer(L"taskbar 1", std::wstring(L"WinSta0\\") + kSecondDesktop);

    m_hostLog = m_temp->File(L"proxy.log");
    const std::wstring executable = testenv::Join(testenv::ProgramFolder(), L"Varnel.exe");
    std::wstring commandLine = L"\"" + executable + L"\" load_all --log \"" + m_hostLog + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION proxy{};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &proxy));
    m_peers.push_back(proxy);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(proxy.hProcess, 20000));
    const std::string proxyLog = HostLog();
    const size_t at = proxyLog.find("from window ");
    ASSERT_NE(std::string::npos, at) << proxyLog;
    const std::string proxyWindow = proxyLog.substr(at + 12, proxyLog.find_first_of("\r\n", at) - at - 12);

    const std::string expected = "Varnel: requests naming window " + proxyWindow + " as their sender are ignored";
    auto traced = [&] {
        const std::vector<BYTE> bytes = testenv::ReadBytes(traceLog);
        return std::string(bytes.begin(), bytes.end()).find(expected) != std::string::npos;
    };
    EXPECT_TRUE(WaitUntil(traced, 20000)) << "the started host on the taskbar's desktop names its starter's window";
    HWND started = nullptr;
    EXPECT_TRUE(WaitUntil([&] { return (started = HostMainWindowOn(kSecondDesktop)) != nullptr; }, 10000));
    if (started != nullptr) {
        DWORD processId = 0;
        GetWindowThreadProcessId(started, &processId);
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, processId);
        PostMessageW(started, WM_CLOSE, 0, 0);
        if (process != nullptr) {
            if (WaitForSingleObject(process, 15000) != WAIT_OBJECT_0) TerminateProcess(process, 9);
            CloseHandle(process);
        }
    }
}

TEST_F(TrayHost, UnloadAndLoadByFullPathActOnlyOnThePluginRegisteredAtThatPath)
{
    const wchar_t pluginsKey[] = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
    const wchar_t fixturesKey[] = L"SOFTWARE\\Zerova\\VarnelTests\\Fixtures";
    testenv::RegistryKeyGuard plugins(HKEY_LOCAL_MACHINE, pluginsKey);
    testenv::RegistryKeyGuard fixtures(HKEY_LOCAL_MACHINE, fixturesKey);
    const std::wstring callLog = m_temp->File(L"calls.log");
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, fixturesKey, L"CallLog", callLog));
    const std::wstring registered = testenv::Join(testenv::ProgramFolder(), L"FixtureBasic.dll");
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, std::wstring(pluginsKey) + L"\\Basic", L"Path", registered));
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, std::wstring(pluginsKey) + L"\\Basic", L"Name", L"Basic"));
    // A library of the same file name in another folder.
    const std::wstring elsewhere = m_temp->File(L"elsewhere");
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    const std::wstring lookalike = testenv::Join(elsewhere, L"FixtureBasic.dll");
    ASSERT_TRUE(CopyFileW(registered.c_str(), lookalike.c_str(), FALSE));
    auto calls = [&](const std::string& call) {
        const std::vector<BYTE> bytes = testenv::ReadBytes(callLog);
        return testenv::Occurrences(std::string(bytes.begin(), bytes.end()), call);
    };

    StartHost();
    ASSERT_TRUE(HostLogHas(L"plug-ins loaded: 1")) << HostLog();
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 6, lookalike.c_str(), -1));
    for (const wchar_t* path : {L"\\\\server\\share\\FixtureBasic.dll", L"sub\\FixtureBasic.dll", L"C:FixtureBasic.dll",
                                L"\\\\?\\C:\\FixtureBasic.dll"})
        EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 6, path, -1)) << testenv::Narrow(path);
    EXPECT_EQ(0u, calls("|Cleanup|")) << "the registered plug-in stays loaded";

    // Another spelling of the registered file: other case, a ".." part, forward slashes.
    std::wstring spelled = testenv::Join(testenv::Join(testenv::ProgramFolder(), L"sub\\.."), L"FIXTUREbasic.DLL");
    std::replace(spelled.begin() + 3, spelled.end(), L'\\', L'/');
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 6, spelled.c_str(), -1)) << testenv::Narrow(spelled);
    EXPECT_EQ(1u, calls("|Cleanup|"));

    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, lookalike.c_str(), -1));
    EXPECT_EQ(1u, calls("|Init|")) << "nothing is loaded for a path no plug-in is registered at";
    EXPECT_EQ(1u, HostLogCount(": refused: \"" + testenv::Narrow(lookalike) + "\": no plug-in is registered with that library"))
        << "the host's log says why the load was refused";
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, spelled.c_str(), -1));
    EXPECT_EQ(2u, calls("|Init|"));

    // A bare file name keeps the file-name rule.
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 6, L"fixturebasic.dll", -1));
    EXPECT_EQ(2u, calls("|Cleanup|"));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, L"FixtureBasic.dll", -1));
    EXPECT_EQ(3u, calls("|Init|"));
}

TEST_F(TrayHost, ALoadRequestForAnUnregisteredLibraryReachesTheErrorLoggersWith453)
{
    RegisterFixturePlugins({L"FixtureLogger.dll"});
    StartHost();
    ASSERT_TRUE(HostLogHas(L"plug-ins loaded: 1")) << HostLog();
    const std::wstring stray = m_temp->File(L"Stray.dll");
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, stray.c_str(), -1));
    EXPECT_EQ(1u, CallCount("FixtureLogger.dll|LogError|453|")) << "the error loggers hear why";
    EXPECT_EQ(1u, CallCount(testenv::Narrow(stray))) << "and the text names the library";
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, L"no\\such:path", -1));
    EXPECT_EQ(1u, CallCount("|LogError|453|")) << "a request that names no library is not 453";
}

// A plug-in name holds at most 259 characters. One of 259 is taken: no registry entry has it, and
// the load it asks for still loads every registered plug-in that is not loaded. One of 260 or more
// is refused before anything is loaded.
TEST_F(TrayHost, ALoadRequestNamingAPluginOf260CharactersOrMoreIsRefusedAndLoadsNothing)
{
    RegisterFixturePlugins({L"FixtureBasic.dll"});
    StartHost();
    ASSERT_TRUE(HostLogHas(L"plug-ins loaded: 1")) << HostLog();
    ASSERT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 6, L"FixtureBasic.dll", -1));
    ASSERT_EQ(1u, CallCount("|Cleanup|"));
    for (const size_t length : {261u, 260u}) {
        const std::wstring name(length, L'n');
        EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, name.c_str(), -1)) << length;
        EXPECT_EQ(1u, CallCount("|Init|")) << length << " characters: nothing is loaded";
    }
    const std::wstring fits(259, L'n');
    EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, fits.c_str(), -1));
    EXPECT_EQ(2u, CallCount("|Init|")) << "259 characters: the unloaded plug-in is loaded again";
}

TEST_F(TrayHost, SecondHostOnTheSameDesktopLeavesTheFirstAlone)
{
    StartHost();
    std::wstring commandLine = L"\"" + testenv::Join(testenv::ProgramFolder(), L"Varnel.exe") + L"\" --headless";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION second{};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &second));
    m_peers.push_back(second);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second.hProcess, 15000));
    DWORD exitCode = 0;
    GetExitCodeProcess(second.hProcess, &exitCode);
    EXPECT_EQ(1u, exitCode);
    EXPECT_TRUE(IsWindow(m_notify));
}

TEST_F(TrayHost, ShutDownSendsExitThenUnloadingThenCleansUp)
{
    const wchar_t pluginsKey[] = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
    const wchar_t fixturesKey[] = L"SOFTWARE\\Zerova\\VarnelTests\\Fixtures";
    testenv::RegistryKeyGuard plugins(HKEY_LOCAL_MACHINE, pluginsKey);
    testenv::RegistryKeyGuard fixtures(HKEY_LOCAL_MACHINE, fixturesKey);
    const std::wstring callLog = m_temp->File(L"calls.log");
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, fixturesKey, L"CallLog", callLog));
    const std::wstring entry = std::wstring(pluginsKey) + L"\\Basic";
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, entry, L"Path",
                                      testenv::Join(testenv::ProgramFolder(), L"FixtureBasic.dll")));
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, entry, L"Name", L"Basic"));

    StartHost();
    ASSERT_TRUE(HostLogHas(L"plug-ins loaded: 1"));
    PostMessageW(m_main, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_host.hProcess, 15000));

    std::vector<std::string> order;
    const std::vector<BYTE> bytes = testenv::ReadBytes(callLog);
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    for (std::string line; std::getline(in, line);) {
        if (line.find("|Activity|8|") != std::string::npos) order.push_back("exit");
        if (line.find("|Activity|2|") != std::string::npos) order.push_back("unloading");
        if (line.find("|Cleanup|") != std::string::npos) order.push_back("cleanup");
    }
    EXPECT_EQ((std::vector<std::string>{"exit", "unloading", "cleanup"}), order);
}

// ---------------------------------------------------------------- the reference tray host: work that arrives while it is busy

namespace {
struct NestedRequest {
    unsigned reason;
    std::wstring text;
};
struct NestedPost {
    HWND window;
    UINT message;
    WPARAM wParam;
};

// A window of this process that a fixture plug-in calls from inside its activity ("sendto:"): it
// then posts g_nestedPosts and sends g_nestedRequests to g_nestedHost, keeping the replies.
HWND g_nestedHost = nullptr;
std::vector<NestedRequest> g_nestedRequests;
std::vector<NestedPost> g_nestedPosts;
std::vector<bool> g_nestedReplies;

LRESULT CALLBACK NestedSenderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    static const UINT fixtureCall = RegisterWindowMessageW(L"VarnelTestsFixtureCall");
    if (message != fixtureCall) return DefWindowProcW(window, message, wParam, lParam);
    for (const NestedPost& post : g_nestedPosts) PostMessageW(post.window, post.message, post.wParam, 0);
    for (const NestedRequest& request : g_nestedRequests)
        g_nestedReplies.push_back(
            CVarnelPrivateInterface::CopyDataIPC(g_nestedHost, nullptr, request.reason, request.text.c_str(), -1));
    return 0;
}

// The plug-in calls of the call log as "<call>:<plug-in message>" for activity 7 and its return.
std::vector<std::string> PluginMessageCalls(const std::vector<std::string>& lines)
{
    std::vector<std::string> calls;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '|');) fields.push_back(field);
        if (fields.size() >= 5 && fields[1] == "Activity" && fields[2] == "7") calls.push_back("activity:" + fields[4]);
        if (fields.size() >= 3 && fields[1] == "ActivityReturns") calls.push_back("returns:" + fields[2]);
        if (fields.size() >= 2 && fields[1].compare(0, 7, "Cleanup") == 0) calls.push_back(fields[1]);
    }
    return calls;
}
}  // namespace

class TrayHostBusy : public TrayHost {
protected:
    void TearDown() override
    {
        if (m_called != nullptr) DestroyWindow(m_called);
        g_nestedRequests.clear();
        g_nestedPosts.clear();
        g_nestedReplies.clear();
        TrayHost::TearDown();
    }
    // The window the plug-in calls from inside its activity, and what it then does to the host.
    HWND CalledWindow(std::vector<NestedRequest> requests, std::vector<NestedPost> posts = {})
    {
        g_nestedHost = m_notify;
        g_nestedRequests = std::move(requests);
        g_nestedPosts = std::move(posts);
        g_nestedReplies.clear();
        m_called = testenv::MakePopupWindow(L"VarnelTestNestedSender", L"called from inside a plug-in", &NestedSenderProc);
        return m_called;
    }

    HWND m_called = nullptr;
};

TEST_F(TrayHostBusy, RequestArrivingInsideAPluginCallRunsAfterTheCallHasReturned)
{
    RegisterFixturePlugins({L"FixtureBasic.dll"});
    StartHost();
    ASSERT_TRUE(HostLogHas(L"plug-ins loaded: 1")) << HostLog();
    // The host waits inside the plug-in's call for this process to answer; meanwhile this process
    // asks it to unload that very plug-in.
    const std::wstring message = L"sendto:" + Decimal(CalledWindow({{6, L"FixtureBasic.dll"}}));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, message.c_str(), 1));
    EXPECT_EQ(std::vector<bool>{true}, g_nestedReplies) << "taken, to run once the host is free";

    const std::string sent = testenv::Narrow(message);
    EXPECT_EQ((std::vector<std::string>{"activity:" + sent, "returns:" + sent, "Cleanup"}), PluginMessageCalls(CallLines()))
        << "the plug-in is cleaned up after its call, not inside it";
    const int queued = HostLogLineOf("request 6 (Unload plugin) \"FixtureBasic.dll\" -1: queued");
    const int outer = HostLogLineOf("request 8 (Plugin comm) \"" + sent + "\" 1: accepted");
    const int ran = HostLogLineOf("request 6 (Unload plugin) \"FixtureBasic.dll\" -1: accepted");
    EXPECT_TRUE(queued >= 0 && queued < outer && outer < ran) << HostLog();

    // The plug-in loads again and works.
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, L"FixtureBasic.dll", -1));
    EXPECT_EQ(2u, CallCount("|Init|"));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"after the reload", 2));
    EXPECT_EQ(1u, CallCount("|Activity|7|2|after the reload|"));
}

TEST_F(TrayHostBusy, RequestsArrivingWhileTheHostIsBusyRunInTheirOrderOnceItIsFree)
{
    RegisterFixturePlugins({L"FixtureBasic.dll"});
    StartHost();
    const std::wstring message =
        L"sendto:" + Decimal(CalledWindow({{8, L"first"}, {8, L"second"}, {7, L"FixtureBasic.dll"}, {8, L"third"}}));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, message.c_str(), 1));
    EXPECT_EQ((std::vector<bool>{true, true, true, true}), g_nestedReplies);
    const std::string sent = testenv::Narrow(message);
    EXPECT_EQ((std::vector<std::string>{"activity:" + sent, "returns:" + sent, "activity:first", "activity:second",
                                        "activity:third"}),
              PluginMessageCalls(CallLines()));
    for (const char* queued : {"\"first\" -1: queued", "\"second\" -1: queued", "\"FixtureBasic.dll\" -1: queued",
                               "\"third\" -1: queued"})
        EXPECT_EQ(1u, HostLogCount(queued)) << queued;
    const int first = HostLogLineOf("request 8 (Plugin comm) \"first\" -1: accepted");
    const int verify = HostLogLineOf("request 7 (Verify plugin) \"FixtureBasic.dll\" -1: accepted");
    const int third = HostLogLineOf("request 8 (Plugin comm) \"third\" -1: accepted");
    EXPECT_TRUE(first >= 0 && first < verify && verify < third) << HostLog();
}

TEST_F(TrayHostBusy, RequestsBeyondTheBoundOfTheQueueAreRefused)
{
    RegisterFixturePlugins({L"FixtureBasic.dll"});
    StartHost();
    std::vector<NestedRequest> flood;
    for (int i = 0; i < 70; ++i) flood.push_back({8, L"flood " + std::to_wstring(i)});
    const std::wstring message = L"sendto:" + Decimal(CalledWindow(flood));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, message.c_str(), 1));
    ASSERT_EQ(70u, g_nestedReplies.size());
    // The host's own registry monitor may have sent its notice into the queue meanwhile.
    const size_t taken = 64 - HostLogCount("request 10 (Agent Regkey change) \"Notify Change\" -1: queued");
    EXPECT_EQ(std::vector<bool>(taken, true), std::vector<bool>(g_nestedReplies.begin(), g_nestedReplies.begin() + taken));
    EXPECT_EQ(std::vector<bool>(70 - taken, false), std::vector<bool>(g_nestedReplies.begin() + taken, g_nestedReplies.end()));
    EXPECT_EQ(70 - taken, HostLogCount("refused: 64 requests wait already"));
    EXPECT_EQ(taken, CallCount("|flood "));
    EXPECT_EQ(1u, CallCount("|flood " + std::to_string(taken - 1) + "|"));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"after the flood", 1));
}

TEST_F(TrayHostBusy, CloseArrivingInsideAPluginCallEndsTheHostAfterTheCall)
{
    RegisterFixturePlugins({L"FixtureBasic.dll"});
    StartHost();
    // The plug-in dispatches its thread's messages, as a modal loop would, while the close waits.
    const std::wstring message = L"sendto:" + Decimal(CalledWindow({}, {{m_main, WM_CLOSE, 0}})) + L" pump:300";
    CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, message.c_str(), 1);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_host.hProcess, 15000));
    DWORD exitCode = 1;
    GetExitCodeProcess(m_host.hProcess, &exitCode);
    EXPECT_EQ(0u, exitCode);
    const std::string sent = testenv::Narrow(message);
    EXPECT_EQ((std::vector<std::string>{"activity:" + sent, "returns:" + sent, "Cleanup"}), PluginMessageCalls(CallLines()));
    const auto lines = HostLogLines();
    const int deferred = HostLogLineOf("closing once the work in progress ends");
    const int outer = HostLogLineOf("request 8 (Plugin comm) \"" + sent + "\" 1: accepted");
    const int closing = static_cast<int>(std::find(lines.begin(), lines.end(), "closing") - lines.begin());
    EXPECT_TRUE(deferred >= 0 && deferred < outer && outer < closing && closing < HostLogLineOf("stopped")) << HostLog();
}

// ---------------------------------------------------------------- the reference tray host stays and stays reachable

TEST_F(TrayHost, RequestsOfAnyOtherSizeAreRefusedAndTheHostStays)
{
    StartHost();
    CVarnelPrivateInterface::IPC_DATA record{};
    record.reason = 8;
    record.intValue = 1;
    std::vector<BYTE> huge(2u << 20, 0);
    memcpy(huge.data(), &record, sizeof(record));
    // Windows hands 2 MiB to the host, which refuses them; Wine's GetMessageW fails on the copy and
    // drops the message unanswered, so this send ends by its time-out.
    COPYDATASTRUCT copy{};
    copy.cbData = static_cast<DWORD>(huge.size());
    copy.lpData = huge.data();
    DWORD_PTR reply = 0;
    SendMessageTimeoutW(m_notify, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 3000, &reply);
    EXPECT_EQ(0u, reply) << "2 MiB";
    EXPECT_EQ(1u, HostLogCount("refused: malformed request") + HostLogCount("getting the next message failed")) << HostLog();
    EXPECT_EQ(0, SendRaw(m_notify, huge.data(), static_cast<DWORD>(sizeof(record) - 1))) << "one byte short";
    EXPECT_EQ(0, SendRaw(m_notify, huge.data(), static_cast<DWORD>(sizeof(record) + 1))) << "one byte over";
    EXPECT_EQ(0, SendRaw(m_notify, huge.data(), 0)) << "no bytes";
    EXPECT_EQ(4u, HostLogCount("refused: malformed request") + HostLogCount("getting the next message failed"));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"after the odd sizes", 1));
    EXPECT_EQ(1u, HostLogCount("request 8 (Plugin comm) \"after the odd sizes\" 1: accepted"));
    DWORD exitCode = 0;
    GetExitCodeProcess(m_host.hProcess, &exitCode);
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), exitCode) << HostLog();
    EXPECT_TRUE(IsWindow(m_notify));
}

TEST_F(TrayHost, CloseAndDestroyMessagesFromOutsideLeaveTheHostRunningAndAlone)
{
    StartHost();
    PostMessageW(m_notify, WM_CLOSE, 0, 0);
    SendMessageW(m_notify, WM_CLOSE, 0, 0);
    PostMessageW(m_notify, WM_DESTROY, 0, 0);
    PostMessageW(m_notify, WM_NCDESTROY, 0, 0);
    PostMessageW(m_main, WM_DESTROY, 0, 0);
    PostMessageW(m_main, WM_NCDESTROY, 0, 0);
    // Posted messages are handled in order: the last close has come when the host logs it.
    PostMessageW(m_notify, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return HostLogCount("ignored: a close message to the notify-icon window") == 3; }, 5000))
        << HostLog();
    EXPECT_EQ(1u, HostLogCount("ignored: a destroy message to the notify-icon window"));
    EXPECT_EQ(1u, HostLogCount("ignored: a destroy message to the main window"));

    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"still listening", 1));
    EXPECT_TRUE(HostRuns());
    EXPECT_TRUE(IsWindow(m_notify));
    EXPECT_TRUE(IsWindow(m_main));
    std::string secondLog;
    EXPECT_EQ(1u, RunSecondHost(secondLog));
    EXPECT_NE(std::string::npos, secondLog.find("another tray host runs")) << secondLog;

    // Closing the main window stays the way to end the host.
    PostMessageW(m_main, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_host.hProcess, 15000));
    EXPECT_TRUE(HostLogHas(L"stopped"));
}

TEST_F(TrayHost, NotifyWindowKeepsTheTitleThatFindsIt)
{
    StartHost();
    wchar_t title[MAX_PATH] = L"";
    GetWindowTextW(m_notify, title, MAX_PATH);
    ASSERT_NE(L'\0', title[0]);
    EXPECT_FALSE(SendMessageW(m_notify, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"renamed")));
    SetWindowTextW(m_notify, L"renamed too");
    // The message that makes a window carries a title too.
    CREATESTRUCTW creation{};
    creation.lpszName = L"renamed as if made anew";
    creation.lpszClass = L"ZerovaFramework_NotifyIcon";
    SendMessageW(m_notify, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&creation));
    wchar_t after[MAX_PATH] = L"";
    GetWindowTextW(m_notify, after, MAX_PATH);
    EXPECT_STREQ(title, after);
    EXPECT_EQ(m_notify, FindWindowW(L"ZerovaFramework_NotifyIcon", title));
    EXPECT_TRUE(HostRuns());
    std::string secondLog;
    EXPECT_EQ(1u, RunSecondHost(secondLog));
}

TEST_F(TrayHost, WindowsDestroyedByPluginCodeAreMadeAnew)
{
    RegisterFixturePlugins({L"FixtureBasic.dll"});
    StartHost();
    // Plug-in code on the host's thread destroys the notify-icon window, then the main window.
    const HWND firstNotify = m_notify;
    CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, (L"destroy:" + Decimal(m_notify)).c_str(), 1);
    EXPECT_FALSE(IsWindow(firstNotify));
    // The host logs it once the library has the new window.
    ASSERT_TRUE(WaitUntil([&] { return HostLogHas(L"the notify-icon window was made anew"); }, 10000)) << HostLog();
    m_notify = FindWindowW(L"ZerovaFramework_NotifyIcon", nullptr);
    ASSERT_NE(nullptr, m_notify);
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"to the new window", 1));
    std::string secondLog;
    EXPECT_EQ(1u, RunSecondHost(secondLog)) << "the new window keeps the host alone on its desktop";

    const HWND firstMain = m_main;
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, (L"destroy:" + Decimal(m_main)).c_str(), 1));
    EXPECT_FALSE(IsWindow(firstMain));
    ASSERT_TRUE(WaitUntil([&] { return HostLogHas(L"the main window was made anew"); }, 10000)) << HostLog();
    m_main = FindWindowW(L"Zerova_VarnelWindowClass", nullptr);
    ASSERT_NE(nullptr, m_main);
    EXPECT_TRUE(HostRuns());
    EXPECT_EQ(0u, CallCount("|Cleanup|"));
    PostMessageW(m_main, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_host.hProcess, 15000));
    DWORD exitCode = 1;
    GetExitCodeProcess(m_host.hProcess, &exitCode);
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(1u, CallCount("|Cleanup|"));
}

// ---------------------------------------------------------------- the reference tray host: senders and log

TEST_F(TrayHost, TheIgnoredWindowIsRecognisedInItsOtherHandleForms)
{
    HWND starter = OwnWindow(L"VarnelTestStarter", L"starter");
    HWND other = testenv::MakePopupWindow(L"VarnelTestOtherSender", L"other", &CountingProc);
    ASSERT_NE(nullptr, other);
    StartHost(L"ignorehwnd=" + std::to_wstring(static_cast<long long>(reinterpret_cast<INT_PTR>(starter))));
    const UINT_PTR full = reinterpret_cast<UINT_PTR>(starter);
    std::vector<UINT_PTR> forms = {full & 0xFFFFu, (full & 0xFFFFu) | 0xFFFF0000u};
#ifdef _WIN64
    forms.push_back((full & 0xFFFFFFFFu) | 0xFFFFFFFF00000000ull);
    forms.push_back((full & 0xFFFFFFFFu) | 0x1234567800000000ull);
#endif
    for (UINT_PTR form : forms)
        EXPECT_FALSE(CVarnelPrivateInterface::CopyDataIPC(m_notify, reinterpret_cast<HWND>(form), 8, L"from the starter", 1))
            << std::hex << form;
    EXPECT_EQ(forms.size(), HostLogCount("refused: the sender window is the one the host was told to ignore"));
    EXPECT_EQ(0u, HostLogCount("from the starter"));

    // Another window is taken, in its full and in its short form.
    const UINT_PTR otherFull = reinterpret_cast<UINT_PTR>(other);
    for (UINT_PTR form : {otherFull, otherFull & 0xFFFFu})
        EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, reinterpret_cast<HWND>(form), 8, L"from another window", 1))
            << std::hex << form;
    EXPECT_EQ(2u, HostLogCount("request 8 (Plugin comm) \"from another window\" 1: accepted"));
    DestroyWindow(other);
}

TEST_F(TrayHost, ControlCharactersOfARequestCannotAddLinesToTheHostLog)
{
    StartHost();
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"a\r\nstarted: forged", 1));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 8, L"tab\tescape\x1b" L"del\x7f" L"nel\x85" L"ls\x2028" L"end", 2));
    std::vector<std::string> forged, escaped;
    for (const std::string& line : HostLogLines()) {
        if (line.find("forged") != std::string::npos) forged.push_back(line);
        if (line.find("tab") != std::string::npos) escaped.push_back(line);
    }
    EXPECT_EQ(std::vector<std::string>{"request 8 (Plugin comm) \"a\\r\\nstarted: forged\" 1: accepted"}, forged);
    EXPECT_EQ(std::vector<std::string>{"request 8 (Plugin comm) \"tab\\tescape\\x1Bdel\\x7Fnel\\x85ls\\u2028end\" 2: accepted"},
              escaped);
}

TEST_F(TrayHost, PostedCommandsActOnlyForEnabledItemsOfTheTrayMenu)
{
    const wchar_t frameworkKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";
    struct AllowUpdateValue {
        const wchar_t* key;
        ~AllowUpdateValue() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"VarnelAllowUpdate"); }
    } allowUpdate{frameworkKey};
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, frameworkKey, L"VarnelAllowUpdate");
    RegisterFixturePlugins({L"FixtureUpdater.dll"});
    StartHost();
    ASSERT_TRUE(HostLogHas(L"plug-ins loaded: 1")) << HostLog();

    // Updates are not allowed, so "Check for updates" is grayed although an updater is loaded.
    PostMessageW(m_main, WM_COMMAND, 4002, 0);
    PostMessageW(m_main, WM_COMMAND, 4005, 0);   // not a command of the host
    PostMessageW(m_main, WM_COMMAND, 25001, 0);  // no suite entry stands in the menu
    EXPECT_TRUE(WaitUntil([&] { return HostLogHas(L"ignored: command 25001"); }, 5000)) << HostLog();
    EXPECT_TRUE(HostLogHas(L"ignored: command 4002"));
    EXPECT_TRUE(HostLogHas(L"ignored: command 4005"));
    EXPECT_EQ(0u, CallCount("|Update|"));

    // Allowed, and the menu refreshed by loading the updater again: the item is enabled and acts.
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, frameworkKey, L"VarnelAllowUpdate", 1));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 6, L"FixtureUpdater.dll", -1));
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(m_notify, nullptr, 5, L"FixtureUpdater.dll", -1));
    PostMessageW(m_main, WM_COMMAND, 4002, 0);
    EXPECT_TRUE(WaitUntil([&] { return CallCount("|Update|") == 1; }, 5000)) << HostLog();
    EXPECT_EQ(1u, HostLogCount("ignored: command 4002"));
}

TEST_F(TrayHost, TheLogEscapesExactlyTheControlRangesAndTheirNeighboursStayAsTheyAre)
{
    StartHost();
    // Each escaped range at both of its ends, and the character just outside each end.
    EXPECT_TRUE(CVarnelPrivateInterface::CopyDataIPC(
        m_notify, nullptr, 8, L"edges\x01|\x1f|\x20|\x7e|\x7f|\x9f|\xa0|\x2027|\x2028|\x2029|\x202a|end", 3));
    std::vector<std::string> lines;
    for (const std::string& line : HostLogLines())
        if (line.find("edges") != std::string::npos) lines.push_back(line);
    EXPECT_EQ(std::vector<std::string>{"request 8 (Plugin comm) \"edges\\x01|\\x1F| |~|\\x7F|\\x9F|\xC2\xA0|\xE2\x80\xA7|"
                                       "\\u2028|\\u2029|\xE2\x80\xAA|end\" 3: accepted"},
              lines);
}
