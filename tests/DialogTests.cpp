// Dialogs on threads of their own, driven the way a user's clicks arrive (WM_COMMAND from buttons,
// WM_CLOSE) and read back through their windows: advisory messages, progress dialogs, the
// closing of a plug-in's dialogs and the last-dialog notice to the host window.
#include "PluginHostTests.h"

#include "AboutBox.h"
#include "AdvisoryMsg.h"
#include "DateTime.h"
#include "Dpi.h"
#include "ListControl.h"
#include "PluginStateHistory.h"
#include "StateHistoryDialog.h"
#include "SystemHealth.h"
#include "ErrorMsg.h"
#include "Localize.h"
#include "MenuXP.h"
#include "ProgressDlg.h"
#include "SafeString.h"
#include "StationDesktopUtils.h"
#include "ThreadManager.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"
#include "VarnelPrivateInterface.h"
#include "VarnelPluginAPI.h"

#include <commctrl.h>
#include <oleacc.h>

#include <functional>
#include <utility>

using hosttest::PluginHostTest;

namespace {
const wchar_t kAlphaClass[] = L"ZerovaAlphaChannelWindow";
const wchar_t kProgressKey[] = L"SOFTWARE\\Zerova\\Varnel\\ProgressDialog";
const wchar_t kAboutKey[] = L"SOFTWARE\\Zerova\\Varnel\\AboutBox";
const wchar_t* const kRememberedKeys[] = {kAboutKey, L"SOFTWARE\\Zerova\\Varnel\\SystemHealth",
                                          L"SOFTWARE\\Zerova\\Varnel\\StateHistoryDialog"};

int g_hostTimers = 0;
LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == 0 && lParam == 0) {
        ++g_hostTimers;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int g_cancels = 0;
void CountCancel(void* cookie) { g_cancels += cookie == &g_cancels ? 1 : 1000; }

using testenv::Pump;
using testenv::PumpUntil;

// A click on a child button as it reaches the window.
void Click(HWND window, int id)
{
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

std::wstring ControlText(HWND window, int id)
{
    wchar_t text[MAX_PATH] = L"";
    GetDlgItemTextW(window, id, text, MAX_PATH);
    return text;
}
}  // namespace

// A host with its main window, menu and tray set up, and a plug-in that asks for dialogs.
class Dialogs : public PluginHostTest {
protected:
    void SetUp() override
    {
        PluginHostTest::SetUp();
        RegDeleteTreeW(HKEY_CURRENT_USER, kProgressKey);
        ForgetRememberedSizes();
        ASSERT_TRUE(COXIL_DllMain::Instance()->LoadResources());
        m_trayHost = std::make_unique<hosttest::TestTrayHost>(L"DialogTestHost", &HostProc);
        m_host = m_trayHost->window;
        g_hostTimers = 0;
        g_cancels = 0;
    }
    void TearDown() override
    {
        PluginHostTest::TearDown();  // unloading closes what is still open
        m_trayHost.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, kProgressKey);
        ForgetRememberedSizes();
    }
    static void ForgetRememberedSizes()
    {
        for (const wchar_t* key : kRememberedKeys) {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
            RegDeleteTreeW(HKEY_CURRENT_USER, key);
        }
    }

    void* LoadAsker(const std::wstring& fileName, DWORD minor = 2)
    {
        const std::wstring subkey = fileName.substr(0, fileName.find(L'.'));
        Register(subkey, CopyFixture(L"FixtureBasic", fileName));
        Configure(fileName, L"Minor", minor);
        void* handle = nullptr;
        EXPECT_TRUE(Registry()->LoadPlugin(subkey.c_str(), &handle));
        return handle;
    }
    bool Ask(void* handle, const wchar_t* title, ADVISORY_MSG_TYPE type, ADVISORY_MSG_BUTTONS buttons, INT_PTR cookie,
             bool autoClose = false, bool settingsFlag = false)
    {
        std::wstring titleText = title;
        std::wstring text = L"Something needs your decision.";
        return VarnelDisplayAdvisoryMsg(handle, nullptr, m_host, &titleText[0], &text[0], type, buttons, autoClose,
                                        reinterpret_cast<void*>(cookie), settingsFlag);
    }
    static CAdvisoryMsg* OpenMessage()
    {
        void* object = nullptr;
        CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_ADVISORYMSG, &object);
        return static_cast<CAdvisoryMsg*>(static_cast<CAlphaChannelWindow*>(object));
    }
    // "activity|first|second|thread" of every activity call of the plug-in.
    std::vector<std::vector<std::string>> ActivitiesOf(const std::string& file)
    {
        std::vector<std::vector<std::string>> found;
        for (const auto& call : CallsOf(file))
            if (call.name == "Activity") found.push_back({call.args[0], call.args[1], call.args[2], call.args[4]});
        return found;
    }
    CProgressDlg* Progress(void* handle, PROGRESS_BAR_DLG_TYPE type, int autoCloseMs = 0)
    {
        std::wstring title = L"Scanning";
        return VarnelCreateProgressDlg(handle, nullptr, &title[0], type, &CountCancel, &g_cancels, autoCloseMs);
    }
    static bool Set(CProgressDlg* dialog, const wchar_t* status, const wchar_t* detail, int percent)
    {
        std::wstring s = status, d = detail;
        return VarnelSetProgress(dialog, &s[0], &d[0], percent);
    }
    static int BarPosition(CProgressDlg* dialog)
    {
        return static_cast<int>(SendDlgItemMessageW(dialog->GetHwnd(), 1009, PBM_GETPOS, 0, 0));
    }

    // The window of the dialog of that kind once it stands with its object; null after 10 s.
    static HWND WaitForOpenDialog(CDialogThread::THREAD_TYPE kind)
    {
        HWND window = nullptr;
        EXPECT_TRUE(PumpUntil([&] {
            void* object = nullptr;
            window = CThreadManager::Instance()->FindExistingDialog(kind, &object);
            return window != nullptr && object != nullptr;
        }));
        return window;
    }
    // Closes the dialog with OK and waits until no dialog thread runs.
    static void CloseAndWait(HWND dialog)
    {
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(PumpUntil([] { return !CThreadManager::Instance()->ActiveThreads(); }));
    }

    HWND m_host = nullptr;
    std::unique_ptr<hosttest::TestTrayHost> m_trayHost;
};

// ---------------------------------------------------------------- advisory messages

TEST_F(Dialogs, TwoMessagesOfOnePluginAnswerEachWithItsOwnCookieOnItsThread)
{
    void* handle = LoadAsker(L"Asker.dll");
    ASSERT_TRUE(Ask(handle, L"First", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK_CANCEL, 111));
    ASSERT_TRUE(Ask(handle, L"Second", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_YES_NO, 222));
    HWND first = FindWindowW(kAlphaClass, L"First");
    HWND second = FindWindowW(kAlphaClass, L"Second");
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(L"Cancel", ControlText(first, 2));
    EXPECT_EQ(L"Yes", ControlText(second, 6));

    Click(second, 7);
    Click(first, 2);
    ASSERT_TRUE(PumpUntil([&] { return ActivitiesOf("Asker.dll").size() == 2; }));
    const auto answers = ActivitiesOf("Asker.dll");
    std::vector<std::string> seen;
    for (const auto& answer : answers) {
        EXPECT_EQ("5", answer[0]);
        EXPECT_NE(std::to_string(GetCurrentThreadId()), answer[3]) << "answers arrive on the message's thread";
        seen.push_back(answer[1] + ":" + answer[2]);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ((std::vector<std::string>{"2:111", "7:222"}), seen);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(first) && !IsWindow(second); }));
}

TEST_F(Dialogs, APluginFaultingInItsAnswerOnTheDialogThreadIsStoppedAndTheOthersStillAsk)
{
    void* fragile = LoadAsker(L"Fragile.dll");
    Configure(L"Fragile.dll", L"FaultIn", L"Activity");
    void* steady = LoadAsker(L"Steady.dll");
    ASSERT_TRUE(Ask(fragile, L"Doomed", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 1));
    ASSERT_TRUE(Ask(fragile, L"Bystander", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 2));
    HWND doomed = FindWindowW(kAlphaClass, L"Doomed");
    HWND bystander = FindWindowW(kAlphaClass, L"Bystander");
    ASSERT_NE(nullptr, doomed);
    Click(doomed, 1);
    // The fault counts once its crash dump is written: a process of its own, seconds on a busy machine.
    ASSERT_TRUE(PumpUntil([&] { return PluginOf(fragile)->HasFaulted(); }, 65000));
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, PluginOf(fragile)->GetState());
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(doomed) && !IsWindow(bystander); }))
        << "the stopped plug-in's dialogs are closed";

    ASSERT_TRUE(Ask(steady, L"Still here", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 3));
    Click(FindWindowW(kAlphaClass, L"Still here"), 1);
    ASSERT_TRUE(PumpUntil([&] { return ActivitiesOf("Steady.dll").size() == 1; }));
    EXPECT_EQ("3", ActivitiesOf("Steady.dll")[0][2]);
}

TEST_F(Dialogs, KindAndButtonSetChooseTheirSettingsAndAutoCloseFollowsTheKind)
{
    void* handle = LoadAsker(L"Kinds.dll");
    ASSERT_TRUE(Ask(handle, L"Odd", static_cast<ADVISORY_MSG_TYPE>(7), static_cast<ADVISORY_MSG_BUTTONS>(9), 1, true));
    CAdvisoryMsg* message = OpenMessage();
    ASSERT_NE(nullptr, message);
    EXPECT_NE(nullptr, wcsstr(message->GetBackgroundImage(), L"advisory_error.png"));
    EXPECT_EQ(RGB(150, 20, 20), message->GetTitleColor());
    EXPECT_STREQ(L"OK_dlg", message->GetButtonsSection());
    EXPECT_EQ(1, message->GetButtonCount());
    EXPECT_FALSE(message->GetAutokill()) << "an error never closes by itself";
    HWND odd = FindWindowW(kAlphaClass, L"Odd");
    Click(odd, 1);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(odd); }));

    ASSERT_TRUE(Ask(handle, L"Info", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_ABORT_RETRY_IGNORE, 2, true));
    message = OpenMessage();
    ASSERT_NE(nullptr, message);
    EXPECT_TRUE(message->GetAutokill());
    EXPECT_EQ(3, message->GetButtonCount());
    EXPECT_EQ(RGB(20, 60, 130), message->GetTitleColor());
    HWND info = FindWindowW(kAlphaClass, L"Info");
    PostMessageW(info, WM_COMMAND, 200, 0);  // closed without an answer
    ASSERT_TRUE(PumpUntil([&] { return ActivitiesOf("Kinds.dll").size() == 2; }));
    EXPECT_EQ("0", ActivitiesOf("Kinds.dll").back()[1]);
}

TEST_F(Dialogs, SettingsFlagKeepsTheMessageOnTopExceptForInterfaceVersion21)
{
    void* current = LoadAsker(L"Current.dll", 2);
    void* older = LoadAsker(L"Older.dll", 1);
    ASSERT_TRUE(Ask(current, L"Current", ADVISORY_MSG_WARNING, ADVISORY_MSG_BUTTONS_OK, 1, false, true));
    EXPECT_NE(0, GetWindowLongW(FindWindowW(kAlphaClass, L"Current"), GWL_EXSTYLE) & WS_EX_TOPMOST);
    ASSERT_TRUE(Ask(older, L"Older", ADVISORY_MSG_WARNING, ADVISORY_MSG_BUTTONS_OK, 1, false, true));
    EXPECT_EQ(0, GetWindowLongW(FindWindowW(kAlphaClass, L"Older"), GWL_EXSTYLE) & WS_EX_TOPMOST);

    // The host's own message is shown; its answer goes to nobody.
    ASSERT_TRUE(Ask(VARNEL_MAIN_APP_HANDLE, L"Host", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 9));
    HWND host = FindWindowW(kAlphaClass, L"Host");
    Click(host, 1);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(host); }));
    EXPECT_TRUE(ActivitiesOf("Current.dll").empty());
    EXPECT_TRUE(ActivitiesOf("Older.dll").empty());
}

TEST_F(Dialogs, BadRequestsAreRefusedAndMissingSettingsEndTheMessageWith549)
{
    void* handle = LoadAsker(L"Bad.dll");
    std::wstring title = L"T", text = L"x", empty;
    EXPECT_FALSE(VarnelDisplayAdvisoryMsg(handle, nullptr, m_host, &title[0], &empty[0], ADVISORY_MSG_INFO,
                                          ADVISORY_MSG_BUTTONS_OK, false, nullptr, false));
    EXPECT_EQ(529, CErrorMsg::Instance()->GetLastError());
    CErrorMsg::Instance()->Error(1);
    EXPECT_FALSE(VarnelDisplayAdvisoryMsg(handle, nullptr, nullptr, &title[0], &text[0], ADVISORY_MSG_INFO,
                                          ADVISORY_MSG_BUTTONS_OK, false, nullptr, false));
    EXPECT_EQ(459, CErrorMsg::Instance()->GetLastError()) << "a missing parent window is explained";
    CErrorMsg::Instance()->Error(1);
    EXPECT_FALSE(VarnelDisplayAdvisoryMsg(handle, nullptr, reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x5555)),
                                          &title[0], &text[0], ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, false,
                                          nullptr, false));
    EXPECT_EQ(459, CErrorMsg::Instance()->GetLastError());
    EXPECT_EQ(nullptr, FindWindowW(kAlphaClass, L"T")) << "no message was shown";

    // A GUI tree without "advisory_dlg.ini".
    const std::wstring tree = m_temp->File(L"app");
    CreateDirectoryW(tree.c_str(), nullptr);
    ASSERT_TRUE(testenv::CopyTree(testenv::Join(testenv::ProgramFolder(), L"Varnel"), testenv::Join(tree, L"Varnel")));
    DeleteFileW(testenv::Join(tree, L"Varnel\\Images\\Zerova\\advisory_dlg.ini").c_str());
    testenv::SetRegString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder", tree);
    const bool started = Ask(handle, L"Nowhere", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 5);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder");
    EXPECT_TRUE(started) << "the thread ran; the message could not be shown";
    ASSERT_TRUE(PumpUntil([&] { return !ActivitiesOf("Bad.dll").empty(); }));
    const auto answer = ActivitiesOf("Bad.dll").at(0);
    EXPECT_EQ((std::vector<std::string>{"5", "0", "5"}), std::vector<std::string>(answer.begin(), answer.begin() + 3))
        << "the plug-in hears that the message ended unanswered";
    EXPECT_EQ(nullptr, FindWindowW(kAlphaClass, L"Nowhere"));
    EXPECT_EQ(549, CErrorMsg::Instance()->GetLastError());
}

TEST_F(Dialogs, AbsurdMessageSettingsAreClampedOrRefusedWith549)
{
    void* handle = LoadAsker(L"Absurd.dll");
    const std::string general = "[General]\r\ncaption_rect=0,0,380,180\r\n";
    const std::string okButton = "[OK_dlg]\r\nNumButtons=1\r\nButton1=1,OK,290,142,364,166\r\n";
    int tree = 0;
    // Shows a message with this "advisory_dlg.ini"; the message's window, or null when none stood.
    auto askWith = [&](const std::string& ini, const wchar_t* title) -> HWND {
        const std::wstring root = m_temp->File(L"app" + std::to_wstring(++tree));
        CreateDirectoryW(root.c_str(), nullptr);
        EXPECT_TRUE(testenv::CopyTree(testenv::Join(testenv::ProgramFolder(), L"Varnel"), testenv::Join(root, L"Varnel")));
        EXPECT_TRUE(testenv::WriteAnsi(testenv::Join(root, L"Varnel\\Images\\Zerova\\advisory_dlg.ini"), ini));
        testenv::SetRegString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder", root);
        const size_t answered = ActivitiesOf("Absurd.dll").size();
        EXPECT_TRUE(Ask(handle, title, ADVISORY_MSG_WARNING, ADVISORY_MSG_BUTTONS_OK, tree));
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"ApplicationFolder");
        HWND window = FindWindowW(kAlphaClass, title);
        if (window == nullptr) {
            EXPECT_TRUE(PumpUntil([&] { return ActivitiesOf("Absurd.dll").size() > answered; })) << "ended unanswered";
        }
        return window;
    };
    auto refused = [&](const std::string& ini, const char* why) {
        CErrorMsg::Instance()->Error(0, L"before the message");
        EXPECT_EQ(nullptr, askWith(ini, L"Refused")) << why;
        EXPECT_EQ(549, CErrorMsg::Instance()->GetLastError()) << why;
    };

    refused(okButton, "no [General] section");
    refused(general, "no section for the button set");
    refused("[General]\r\ncaption_rect=0,0,99999999999,-4\r\n" + okButton, "a window of absurd size");
    refused("[General]\r\ncaption_rect=0,0,4001,100\r\n" + okButton, "wider than any screen");
    refused(general + "[OK_dlg]\r\nNumButtons=1000000\r\nButton1=1,OK,290,142,364,166\r\n",
            "a button count beyond the buttons given");
    refused(general + "[OK_dlg]\r\nNumButtons=1\r\nButton1=1," + std::string(200, 'L') + ",1,1,9,9\r\n",
            "a button label too long to keep");
    refused(general + "[OK_dlg]\r\nNumButtons=1\r\nButton1=-7,OK,290,142,364,166\r\n", "a negative answer");

    // Values that are absurd but have a sane neighbour: clamped, and the message stands.
    const std::string clamped = "[General]\r\ncaption_rect=0,0,380,180\r\ntitle_rect=-5,-5,-1,-1\r\n"
                                "titlePointSize=-12\r\nparagraphPointSize=100000\r\n"
                                "warning_title_color=999,-1,abc\r\nwarning_paragraph_color=300,300,300\r\n"
                                "autokill_seconds=-100\r\nfont=" + std::string(5000, 'F') + "\r\n"
                                "warning_background=" + std::string(5000, 'b') + ".png\r\n" + okButton;
    HWND window = askWith(clamped, L"Clamped");
    ASSERT_NE(nullptr, window);
    CAdvisoryMsg* message = OpenMessage();
    ASSERT_NE(nullptr, message);
    EXPECT_EQ(1, message->GetButtonCount());
    EXPECT_EQ(RGB(0, 0, 0), message->GetTitleColor()) << "an unreadable colour falls back to black";
    RECT bounds{};
    GetWindowRect(window, &bounds);
    EXPECT_EQ(380, bounds.right - bounds.left);
    EXPECT_EQ(180, bounds.bottom - bounds.top);
    const size_t answeredBefore = ActivitiesOf("Absurd.dll").size();
    Click(window, 1);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(window); }));
    // The answer reaches the plug-in after the window is gone, on the message's own thread.
    ASSERT_TRUE(PumpUntil([&] { return ActivitiesOf("Absurd.dll").size() > answeredBefore; }));
    EXPECT_EQ("1", ActivitiesOf("Absurd.dll").back()[1]);
}

// ---------------------------------------------------------------- closing and the last-dialog notice

TEST_F(Dialogs, UnloadClosesThePluginsDialogsInCreationOrder)
{
    void* handle = LoadAsker(L"Leaving.dll");
    ASSERT_TRUE(Ask(handle, L"One", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 1));
    ASSERT_TRUE(Ask(handle, L"Two", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 2));
    void* other = LoadAsker(L"Staying.dll");
    ASSERT_TRUE(Ask(other, L"Three", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 3));

    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    std::vector<std::string> sequence;
    for (const auto& activity : ActivitiesOf("Leaving.dll")) sequence.push_back(activity[0] + ":" + activity[2]);
    EXPECT_EQ((std::vector<std::string>{"4:0", "5:1", "4:0", "5:2"}), sequence)
        << "closing notice, then the answer of the closed message, for each in order";
    EXPECT_EQ(nullptr, FindWindowW(kAlphaClass, L"One"));
    EXPECT_EQ(nullptr, FindWindowW(kAlphaClass, L"Two"));
    EXPECT_NE(nullptr, FindWindowW(kAlphaClass, L"Three")) << "another plug-in's message stays";
    EXPECT_EQ(560, CErrorMsg::Instance()->GetLastError());
}

TEST_F(Dialogs, HostWindowHearsOnceWhenTheLastDialogThreadEnds)
{
    void* handle = LoadAsker(L"Notice.dll");
    ASSERT_TRUE(Ask(handle, L"A", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 1));
    ASSERT_TRUE(Ask(handle, L"B", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK, 2));
    Click(FindWindowW(kAlphaClass, L"A"), 1);
    ASSERT_TRUE(PumpUntil([&] { return ActivitiesOf("Notice.dll").size() == 1; }));
    Pump(300);
    EXPECT_EQ(0, g_hostTimers) << "another dialog thread still runs";
    Click(FindWindowW(kAlphaClass, L"B"), 1);
    ASSERT_TRUE(PumpUntil([&] { return !CThreadManager::Instance()->ActiveThreads(); }));
    Pump(300);
    EXPECT_EQ(1, g_hostTimers);
    HWND none = reinterpret_cast<HWND>(1);
    void* object = &none;
    EXPECT_EQ(nullptr, CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_ADVISORYMSG, &object));
    EXPECT_EQ(nullptr, object);
}

// ---------------------------------------------------------------- progress dialogs

TEST_F(Dialogs, ProgressClampsNeverGoesBackAndTheMainWindowIsItsParent)
{
    void* handle = LoadAsker(L"Progress.dll");
    CProgressDlg* dialog = Progress(handle, PROGRESS_BAR_DLG_CANCEL);
    ASSERT_NE(nullptr, dialog);
    EXPECT_EQ(m_host, GetWindow(dialog->GetHwnd(), GW_OWNER));
    EXPECT_TRUE(Set(dialog, L"first file", L"C:\\a.txt", -5));
    EXPECT_EQ(0, BarPosition(dialog));
    EXPECT_TRUE(Set(dialog, L"second file", L"C:\\b.txt", 40));
    EXPECT_FALSE(Set(dialog, L"third file", L"C:\\c.txt", -5)) << "the bar never goes back";
    EXPECT_EQ(40, BarPosition(dialog));
    wchar_t format[MAX_PATH], status[MAX_PATH];
    CLocalize::Instance()->GetString(60, format, MAX_PATH);
    zerova::FormatString(status, MAX_PATH, format, L"third file");
    EXPECT_EQ(std::wstring(status), ControlText(dialog->GetHwnd(), 1002)) << "texts apply even then";
    EXPECT_TRUE(Set(dialog, L"done", L"C:\\d.txt", 150));
    EXPECT_EQ(100, BarPosition(dialog));
    wchar_t close[MAX_PATH];
    CLocalize::Instance()->GetString(330, close, MAX_PATH);
    EXPECT_EQ(std::wstring(close), ControlText(dialog->GetHwnd(), IDCANCEL));
    EXPECT_EQ(4, SendDlgItemMessageW(dialog->GetHwnd(), 1005, LB_GETCOUNT, 0, 0));

    EXPECT_TRUE(VarnelDestroyProgressDlg(dialog));
    EXPECT_EQ(1, g_cancels) << "destroying ends in Cancel";
    EXPECT_FALSE(Set(dialog, L"late", L"late", 100)) << "a closed dialog is never found again";
    EXPECT_FALSE(VarnelDestroyProgressDlg(dialog));
}

TEST_F(Dialogs, AutoCloseRunsOnceAndOnlyCancelPathsCallTheCallback)
{
    void* handle = LoadAsker(L"Closing.dll");
    CProgressDlg* timed = Progress(handle, PROGRESS_BAR_DLG_CANCEL, 200);
    HWND timedWindow = timed->GetHwnd();
    EXPECT_TRUE(Set(timed, L"s", L"d", 100));
    EXPECT_TRUE(Set(timed, L"s", L"d", 100));
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(timedWindow); }));
    EXPECT_EQ(1, g_cancels) << "the timer ends in Cancel, once";

    CProgressDlg* cancelled = Progress(handle, PROGRESS_BAR_DLG_CANCEL);
    HWND cancelledWindow = cancelled->GetHwnd();
    Click(cancelledWindow, IDCANCEL);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(cancelledWindow); }));
    EXPECT_EQ(2, g_cancels);

    CProgressDlg* confirmed = Progress(handle, PROGRESS_BAR_DLG_CANCEL);
    HWND confirmedWindow = confirmed->GetHwnd();
    Click(confirmedWindow, IDOK);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(confirmedWindow); }));
    EXPECT_EQ(2, g_cancels) << "IDOK closes without the callback";

    CProgressDlg* stubborn = Progress(handle, PROGRESS_BAR_DLG_NO_CANCEL);
    HWND stubbornWindow = stubborn->GetHwnd();
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(stubbornWindow, IDCANCEL)));
    PostMessageW(stubbornWindow, WM_CLOSE, 0, 0);
    Pump(200);
    EXPECT_TRUE(IsWindow(stubbornWindow)) << "the close box does nothing without Cancel";
    EXPECT_TRUE(VarnelDestroyProgressDlg(stubborn));
    EXPECT_FALSE(IsWindow(stubbornWindow));
}

TEST_F(Dialogs, DetailsUnfoldWidenWithTheWidestLineAndAreRememberedForTheNextDialog)
{
    void* handle = LoadAsker(L"Details.dll");
    CProgressDlg* dialog = Progress(handle, PROGRESS_BAR_DLG_CANCEL);
    HWND window = dialog->GetHwnd();
    HWND list = GetDlgItem(window, 1005);
    EXPECT_FALSE(IsWindowVisible(list));
    RECT folded{};
    GetWindowRect(window, &folded);
    SendMessageW(window, WM_COMMAND, 1004, 0);
    EXPECT_TRUE(IsWindowVisible(list));
    RECT open{};
    GetWindowRect(window, &open);
    EXPECT_EQ((folded.bottom - folded.top) + 136, open.bottom - open.top);

    Set(dialog, L"s", L"short", 1);
    const LRESULT shortExtent = SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0);
    Set(dialog, L"s", L"a much, much longer line of detail than the first one", 2);
    const LRESULT longExtent = SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0);
    Set(dialog, L"s", L"tiny", 3);
    EXPECT_GT(shortExtent, 0);
    EXPECT_GT(longExtent, shortExtent);
    EXPECT_EQ(longExtent, SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0));
    EXPECT_EQ(2, SendMessageW(list, LB_GETCURSEL, 0, 0)) << "the newest line is in view";
    EXPECT_TRUE(VarnelDestroyProgressDlg(dialog));

    CProgressDlg* next = Progress(handle, PROGRESS_BAR_DLG_CANCEL);
    EXPECT_TRUE(next->AreDetailsOpen());
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(next->GetHwnd(), 1005)));
    EXPECT_TRUE(VarnelDestroyProgressDlg(next));
}

TEST_F(Dialogs, BadProgressRequestsGivePointersThatAreNeverFound)
{
    void* handle = LoadAsker(L"Odd.dll");
    std::wstring title = L"Odd";
    CProgressDlg* unknownKind = VarnelCreateProgressDlg(handle, nullptr, &title[0],
                                                        static_cast<PROGRESS_BAR_DLG_TYPE>(5), nullptr, nullptr, 0);
    EXPECT_FALSE(Set(unknownKind, L"s", L"d", 10));
    EXPECT_FALSE(VarnelDestroyProgressDlg(unknownKind));
    std::wstring empty;
    EXPECT_EQ(nullptr, VarnelCreateProgressDlg(handle, nullptr, &empty[0], PROGRESS_BAR_DLG_CANCEL, nullptr, nullptr, 0));
    CProgressDlg* never = reinterpret_cast<CProgressDlg*>(&title);
    EXPECT_FALSE(Set(never, L"s", L"d", 10));
    EXPECT_FALSE(VarnelDestroyProgressDlg(never));
    EXPECT_EQ(nullptr, VarnelCreateProgressDlg(reinterpret_cast<void*>(static_cast<UINT_PTR>(0x4321)), nullptr,
                                               &title[0], PROGRESS_BAR_DLG_CANCEL, nullptr, nullptr, 0));
}

// ---------------------------------------------------------------- about box, system health, state history, splash

namespace {
// The value of a fresh handle: free handle slots are handed out lowest first, so it climbs only
// while handles are kept open.
ULONG_PTR LowestFreeHandle()
{
    HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto value = reinterpret_cast<ULONG_PTR>(probe);
    CloseHandle(probe);
    return value;
}

std::wstring Clipboard()
{
    std::wstring text;
    if (!OpenClipboard(nullptr)) return text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

std::wstring String(UINT id)
{
    wchar_t text[MAX_PATH] = L"";
    CLocalize::Instance()->GetString(id, text, MAX_PATH);
    return text;
}

int ListItems(HWND dialog) { return static_cast<int>(SendDlgItemMessageW(dialog, 1000, LVM_GETITEMCOUNT, 0, 0)); }
}  // namespace

TEST_F(Dialogs, AboutBoxListsTheTextCopiesEveryLineAndIsOpenedOnce)
{
    Register(L"About", CopyFixture(L"FixtureAbout", L"About.dll"));
    Configure(L"About.dll", L"AboutCount", 1);
    Configure(L"About.dll", L"About0Product", L"Engine");
    Configure(L"About.dll", L"About0Version", L"7.1");
    ASSERT_TRUE(Registry()->LoadPlugins());
    ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
    void* object = nullptr;
    HWND box = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        box = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_ABOUTBOX, &object);
        return box != nullptr && object != nullptr;
    }));
    EXPECT_FALSE(Registry()->DisplayAboutBox(m_host)) << "the open box comes to the front instead";
    auto* about = static_cast<CAboutBox*>(object);
    EXPECT_EQ(about->GetListview()->GetLineCount(), ListItems(box));
    EXPECT_GE(ListItems(box), 5);
    EXPECT_GE(about->GetListview()->FindLine(L"Engine", false), 0);

    SendMessageW(box, WM_COMMAND, 1004, 0);
    wchar_t* all = about->GetListview()->GetAllLinesOfText();
    EXPECT_EQ(std::wstring(all), Clipboard());
    EXPECT_NE(std::wstring::npos, std::wstring(all).find(L"Engine\t\r\n"));
    CListControl::FreeText(all);

    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(box); }));
    ASSERT_TRUE(PumpUntil([&] { return g_hostTimers == 1; }));
}

TEST_F(Dialogs, DialogsOpenedAndClosedManyTimesGiveBackTheirThreadsAndHandles)
{
    Register(L"About", CopyFixture(L"FixtureAbout", L"About.dll"));
    ASSERT_TRUE(Registry()->LoadPlugins());
    auto openAndClose = [&] {
        ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
        CloseAndWait(WaitForOpenDialog(CDialogThread::THREAD_ABOUTBOX));
    };
    for (int i = 0; i < 5; ++i) openAndClose();
    const ULONG_PTR before = LowestFreeHandle();
    const int rounds = 40;
    for (int i = 0; i < rounds; ++i) openAndClose();
    const ULONG_PTR after = LowestFreeHandle();
    EXPECT_LT(after, before + 8 * 4)
        << rounds << " dialogs that came and went must not leave their thread handles behind";
}

TEST_F(Dialogs, TwoAboutBoxRequestsRightAfterEachOtherOpenOneBox)
{
    Register(L"About", CopyFixture(L"FixtureAbout", L"About.dll"));
    ASSERT_TRUE(Registry()->LoadPlugins());
    EXPECT_TRUE(Registry()->DisplayAboutBox(m_host));
    EXPECT_FALSE(Registry()->DisplayAboutBox(m_host)) << "the first box is still starting: it counts as open";
    CloseAndWait(WaitForOpenDialog(CDialogThread::THREAD_ABOUTBOX));
    EXPECT_EQ(nullptr, CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_ABOUTBOX, nullptr))
        << "no second box came up";
}

TEST_F(Dialogs, SystemHealthFollowsStatesAndLinesOfThePlugins)
{
    void* handle = LoadAsker(L"Healthy.dll");
    EXPECT_FALSE(Registry()->DisplaySystemHealth(reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x5555))));
    ASSERT_TRUE(Registry()->DisplaySystemHealth(m_host));
    void* object = nullptr;
    HWND window = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        window = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_SYSTEMHEALTH, &object);
        return window != nullptr && object != nullptr;
    }));
    auto* health = static_cast<CSystemHealth*>(object);
    wchar_t allWell[MAX_PATH];
    zerova::FormatString(allWell, MAX_PATH, String(328).c_str(), String(57).c_str());
    EXPECT_STREQ(allWell, health->GetBannerTitle());
    EXPECT_EQ(String(333), health->GetBannerSubtitle());
    EXPECT_NE(nullptr, wcsstr(health->GetBannerIcon(), L"system_status_ok_medium.png"));
    const int blocks = health->GetBannerBlockCount();
    EXPECT_EQ(1, ListItems(window));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, 5001))) << "no line selected";

    std::wstring broken = L"engine stopped";
    VarnelSetState(handle, VARNEL_PLUGIN_STATE_ERROR, &broken[0]);
    EXPECT_EQ(String(326), health->GetBannerTitle());
    EXPECT_EQ(String(332), health->GetBannerSubtitle());
    EXPECT_NE(nullptr, wcsstr(health->GetBannerIcon(), L"system_status_error_medium.png"));
    EXPECT_EQ(blocks, health->GetBannerBlockCount()) << "the banner changes its blocks, it adds none";
    wchar_t text[MAX_PATH];
    const int line = health->GetListview()->FindLine(L"Healthy", false);
    ASSERT_EQ(0, line);
    health->GetListview()->GetLineText(line, 1, text, MAX_PATH);
    EXPECT_STREQ(L"engine stopped", text);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(PluginOf(handle)), health->GetListview()->GetLineContext(line));

    LVITEMW select{};
    select.stateMask = LVIS_SELECTED;
    select.state = LVIS_SELECTED;
    SendDlgItemMessageW(window, 1000, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&select));
    ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(GetDlgItem(window, 5001)) != FALSE; }));

    EXPECT_TRUE(Registry()->RemoveFromSystemHealth(handle, nullptr));
    EXPECT_EQ(0, ListItems(window));
    EXPECT_FALSE(Registry()->RemoveFromSystemHealth(handle, nullptr));
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(window); }));
}

TEST_F(Dialogs, StateHistoryShowsThePluginsEntriesOldestFirstAndFollowsNewOnes)
{
    CPluginStateHistory::DeleteHistoryFile();
    void* handle = LoadAsker(L"Recorded.dll");
    std::wstring warning = L"definitions are old";
    VarnelSetState(handle, VARNEL_PLUGIN_STATE_WARNING, &warning[0]);
    ASSERT_TRUE(Registry()->DisplaySystemHealth(m_host));
    HWND health = nullptr;
    void* object = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        health = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_SYSTEMHEALTH, &object);
        return health != nullptr && object != nullptr;
    }));
    LVITEMW select{};
    select.stateMask = LVIS_SELECTED;
    select.state = LVIS_SELECTED;
    SendDlgItemMessageW(health, 1000, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&select));
    PostMessageW(health, WM_COMMAND, 5001, 0);
    HWND history = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (history = FindWindowW(L"#32770", L"State history - Recorded")) != nullptr; }));
    EXPECT_EQ(2, ListItems(history)) << "the load and the warning";
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(history, 1005)));

    std::wstring fine = L"";
    VarnelSetState(handle, VARNEL_PLUGIN_STATE_OK, &fine[0]);
    ASSERT_TRUE(PumpUntil([&] { return ListItems(history) == 3; }));
    SendMessageW(history, WM_COMMAND, 1005, 0);
    EXPECT_EQ(0, ListItems(history));
    CPluginStateHistory reader(L"Recorded");
    reader.Read();
    EXPECT_EQ(0, reader.GetNumHistoricalStateEntries()) << "the clear command deletes the history file";
    PostMessageW(history, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(history); }));
    PostMessageW(health, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(health); }));
}

TEST(HistoryRows, StatusFontAndTextFollowTheState)
{
    SYSTEMTIME time{};
    time.wYear = 2021;
    time.wMonth = 3;
    time.wDay = 4;
    wchar_t when[MAX_PATH];
    CDateTime::FormatDateTime(time, when, MAX_PATH);
    wchar_t rows[2048] = L"";
    CStateHistoryDialog::AppendHistoryRow(rows, 2048, VARNEL_PLUGIN_STATE_OK, time, L"ignored for state 0");
    CStateHistoryDialog::AppendHistoryRow(rows, 2048, VARNEL_PLUGIN_STATE_ERROR, time, L"failed");
    CStateHistoryDialog::AppendHistoryRow(rows, 2048, VARNEL_PLUGIN_STATE_WARNING, time, L"");
    CStateHistoryDialog::AppendHistoryRow(rows, 2048, VARNEL_PLUGIN_STATE_WARNING, time, nullptr);
    CStateHistoryDialog::AppendHistoryRow(rows, 2048, VARNEL_PLUGIN_STATE_WARNING, time, L"paused");
    const std::wstring w = when;
    EXPECT_EQ(L"|OK||font=NORMAL|" + w + L"\t|OK||font=NORMAL|" + String(57) + L"\r\n" + L"|OK||font=NORMAL|" + w +
                  L"\t|error||font=BOLD|failed\r\n" + L"|OK||font=NORMAL|" + w + L"\t|warning||font=BOLD|" +
                  String(57) + L"\r\n" + L"|OK||font=NORMAL|" + w + L"\t|warning||font=BOLD|paused\r\n",
              std::wstring(rows));
}

TEST_F(Dialogs, SplashShowsOnlyWhenTheRegistryAndTheGuiFolderAskForIt)
{
    const wchar_t key[] = L"SOFTWARE\\Zerova\\Varnel";
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"DisplaySplashScreen");
    CVarnelPrivateInterface::Instance()->SplashScreen();
    EXPECT_EQ(nullptr, FindWindowW(L"ZerovaSplashScreen", nullptr));

    testenv::SetRegDword(HKEY_LOCAL_MACHINE, key, L"DisplaySplashScreen", 1);
    CVarnelPrivateInterface::Instance()->SplashScreen();
    HWND splash = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        splash = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_SPLASHSCREEN, nullptr);
        return splash != nullptr;
    }));
    EXPECT_EQ(splash, FindWindowW(L"ZerovaSplashScreen", nullptr));
    CVarnelPrivateInterface::Instance()->SplashScreen();
    Pump(100);
    int count = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"ZerovaSplashScreen", nullptr)) != nullptr;) ++count;
    EXPECT_EQ(1, count) << "a second call starts no second splash";
    PostMessageW(splash, WM_COMMAND, 200, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(splash); }));

    EXPECT_FALSE(CThreadManager::Instance()->CreateSplashScreenThread(L"C:\\nowhere\\splash.png", false));
    EXPECT_EQ(567, CErrorMsg::Instance()->GetLastError());
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"DisplaySplashScreen");
}

// ---------------------------------------------------------------- how the dialogs look and answer the keyboard

namespace {
int ColumnWidth(HWND dialog, int column)
{
    return static_cast<int>(SendDlgItemMessageW(dialog, 1000, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

int ListClientWidth(HWND dialog)
{
    RECT client{};
    GetClientRect(GetDlgItem(dialog, 1000), &client);
    return client.right - client.left;
}

bool ColumnsFillTheList(HWND dialog) { return ColumnWidth(dialog, 0) + ColumnWidth(dialog, 1) == ListClientWidth(dialog); }

SIZE WindowSize(HWND window)
{
    RECT bounds{};
    GetWindowRect(window, &bounds);
    return SIZE{bounds.right - bounds.left, bounds.bottom - bounds.top};
}

void Resize(HWND window, int width, int height)
{
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Column headings a person can read: none shown, or every one shown with a text.
bool NoBlankHeadings(HWND list)
{
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    if (header == nullptr || !IsWindowVisible(header)) return true;
    RECT bounds{};
    GetWindowRect(header, &bounds);
    if (bounds.bottom <= bounds.top) return true;
    const int count = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[MAX_PATH] = L"";
        HDITEMW item{};
        item.mask = HDI_TEXT;
        item.pszText = text;
        item.cchTextMax = MAX_PATH;
        SendMessageW(header, HDM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        if (std::wstring(text).find_first_not_of(L' ') == std::wstring::npos) return false;
    }
    return true;
}

DWORD RegDword(HKEY root, const wchar_t* key, const wchar_t* value)
{
    DWORD data = 0, size = sizeof(data);
    return RegGetValueW(root, key, value, RRF_RT_REG_DWORD, nullptr, &data, &size) == ERROR_SUCCESS ? data : 0;
}

// The keyboard focus of the thread that runs a window.
HWND FocusOfThreadOf(HWND window)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

void PressKey(HWND target, WPARAM key)
{
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

// A key of HKEY_LOCAL_MACHINE that this user may read but not write, as for a standard user on
// Windows; the key is deleted again when the guard goes.
class ReadOnlyMachineKey {
public:
    explicit ReadOnlyMachineKey(const wchar_t* key) : m_key(key)
    {
        HKEY opened = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, WRITE_DAC, nullptr, &opened, nullptr) != ERROR_SUCCESS)
            return;
        SetAccess(opened, KEY_READ);
        RegCloseKey(opened);
    }
    ~ReadOnlyMachineKey()
    {
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key, 0, WRITE_DAC, &opened) == ERROR_SUCCESS) {
            SetAccess(opened, KEY_ALL_ACCESS);
            RegCloseKey(opened);
        }
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key);
    }
    ReadOnlyMachineKey(const ReadOnlyMachineKey&) = delete;
    ReadOnlyMachineKey& operator=(const ReadOnlyMachineKey&) = delete;

    // True when writing a value there is refused.
    bool Refuses() const
    {
        HKEY opened = nullptr;
        const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key, 0, KEY_SET_VALUE, &opened);
        if (rc == ERROR_SUCCESS) RegCloseKey(opened);
        return rc == ERROR_ACCESS_DENIED;
    }

private:
    static void SetAccess(HKEY key, DWORD access)
    {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = nullptr;
        if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) return;
        BYTE aclBuffer[256];
        auto* acl = reinterpret_cast<ACL*>(aclBuffer);
        SECURITY_DESCRIPTOR descriptor;
        if (InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION) &&
            AddAccessAllowedAce(acl, ACL_REVISION, access, everyone) &&
            InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
            RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
        FreeSid(everyone);
    }

    const wchar_t* m_key;
};
}  // namespace

TEST_F(Dialogs, LastColumnTakesTheRemainingWidthOnOpeningAndAfterAResize)
{
    LoadAsker(L"Healthy.dll");
    ASSERT_TRUE(Registry()->DisplaySystemHealth(m_host));
    HWND window = WaitForOpenDialog(CDialogThread::THREAD_SYSTEMHEALTH);
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(ColumnsFillTheList(window)) << ColumnWidth(window, 0) << " + " << ColumnWidth(window, 1)
                                            << " in a list " << ListClientWidth(window) << " wide";
    const SIZE opened = WindowSize(window);
    const int firstColumn = ColumnWidth(window, 0);
    Resize(window, opened.cx + 240, opened.cy + 60);
    EXPECT_TRUE(PumpUntil([&] { return ColumnsFillTheList(window); }, 2000)) << "after growing";
    EXPECT_EQ(firstColumn, ColumnWidth(window, 0)) << "the first column keeps its width";
    Resize(window, opened.cx + 40, opened.cy);
    EXPECT_TRUE(PumpUntil([&] { return ColumnsFillTheList(window); }, 2000)) << "after shrinking";
    SendDlgItemMessageW(window, 1000, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(firstColumn + 50, 0));
    EXPECT_TRUE(PumpUntil([&] { return ColumnsFillTheList(window); }, 2000)) << "after the first column was dragged";
    CloseAndWait(window);
}

TEST_F(Dialogs, AboutBoxColumnsFitItsListWithoutAScrollBarAcrossOrBlankHeadings)
{
    Register(L"About", CopyFixture(L"FixtureAbout", L"About.dll"));
    const int entries = 24;  // more lines than the box shows: the list scrolls down, never across
    Configure(L"About.dll", L"AboutCount", entries);
    for (int i = 0; i < entries; ++i) {
        Configure(L"About.dll", L"About" + std::to_wstring(i) + L"Product", L"Component " + std::to_wstring(i));
        Configure(L"About.dll", L"About" + std::to_wstring(i) + L"Version", L"1.0." + std::to_wstring(i));
    }
    ASSERT_TRUE(Registry()->LoadPlugins());
    ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
    HWND box = WaitForOpenDialog(CDialogThread::THREAD_ABOUTBOX);
    ASSERT_NE(nullptr, box);
    HWND list = GetDlgItem(box, 1000);
    EXPECT_NE(0, GetWindowLongW(list, GWL_STYLE) & WS_VSCROLL) << "enough lines to scroll down";
    EXPECT_EQ(0, GetWindowLongW(list, GWL_STYLE) & WS_HSCROLL) << "nothing to scroll across";
    EXPECT_TRUE(ColumnsFillTheList(box));
    EXPECT_TRUE(NoBlankHeadings(list));
    CloseAndWait(box);
}

TEST_F(Dialogs, AboutBoxCopyrightLineReadsAsTwoSentences)
{
    Register(L"About", CopyFixture(L"FixtureAbout", L"About.dll"));
    ASSERT_TRUE(Registry()->LoadPlugins());
    ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
    HWND box = nullptr;
    void* object = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        box = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_ABOUTBOX, &object);
        return box != nullptr && object != nullptr;
    }));
    CListControl* list = static_cast<CAboutBox*>(object)->GetListview();
    wchar_t last[MAX_PATH] = L"";
    list->GetLineText(list->GetLineCount() - 1, 0, last, MAX_PATH);
    const std::wstring line = last;
    const size_t stop = line.find(L'.');
    ASSERT_NE(std::wstring::npos, stop) << testenv::Narrow(line);
    EXPECT_EQ(L' ', line[stop + 1]) << "a space after the first sentence: " << testenv::Narrow(line);
    CloseAndWait(box);
}

TEST_F(Dialogs, EachComponentsMarkerShowsItsOwnState)
{
    void* broken = LoadAsker(L"Broken.dll");
    void* fine = LoadAsker(L"Fine.dll");
    std::wstring stopped = L"engine stopped";
    VarnelSetState(broken, VARNEL_PLUGIN_STATE_ERROR, &stopped[0]);
    ASSERT_TRUE(Registry()->DisplaySystemHealth(m_host));
    void* object = nullptr;
    HWND window = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        window = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_SYSTEMHEALTH, &object);
        return window != nullptr && object != nullptr;
    }));
    CListControl* list = static_cast<CSystemHealth*>(object)->GetListview();
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, list->GetLineStatus(list->FindLine(L"Broken", false)));
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, list->GetLineStatus(list->FindLine(L"Fine", false)));
    std::wstring old = L"definitions are old";
    VarnelSetState(fine, VARNEL_PLUGIN_STATE_WARNING, &old[0]);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_WARNING, list->GetLineStatus(list->FindLine(L"Fine", false)));
    CloseAndWait(window);
}

TEST_F(Dialogs, ResizableDialogsNeverBecomeSmallerThanTheyWereBuilt)
{
    LoadAsker(L"Healthy.dll");
    ASSERT_TRUE(Registry()->DisplaySystemHealth(m_host));
    HWND health = WaitForOpenDialog(CDialogThread::THREAD_SYSTEMHEALTH);
    ASSERT_NE(nullptr, health);
    ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
    HWND about = WaitForOpenDialog(CDialogThread::THREAD_ABOUTBOX);
    ASSERT_NE(nullptr, about);
    for (HWND window : {health, about}) {
        const SIZE built = WindowSize(window);
        Resize(window, 200, 150);
        const SIZE now = WindowSize(window);
        EXPECT_GE(now.cx, built.cx);
        EXPECT_GE(now.cy, built.cy);
        Resize(window, built.cx + 30, built.cy + 20);
        EXPECT_EQ(built.cx + 30, WindowSize(window).cx) << "larger sizes are taken";
    }
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    CloseAndWait(health);
}

TEST_F(Dialogs, RememberedSizeIsKeptUnderTheMachineKeyAndAnOlderCopyOfTheUserGoes)
{
    ASSERT_TRUE(testenv::SetRegDword(HKEY_CURRENT_USER, kAboutKey, L"Width", 5));
    Register(L"About", CopyFixture(L"FixtureAbout", L"About.dll"));
    ASSERT_TRUE(Registry()->LoadPlugins());
    ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
    HWND box = WaitForOpenDialog(CDialogThread::THREAD_ABOUTBOX);
    ASSERT_NE(nullptr, box);
    const SIZE larger{WindowSize(box).cx + 70, WindowSize(box).cy + 30};
    Resize(box, larger.cx, larger.cy);
    CloseAndWait(box);
    EXPECT_EQ(static_cast<DWORD>(larger.cx), RegDword(HKEY_LOCAL_MACHINE, kAboutKey, L"Width"));
    EXPECT_EQ(static_cast<DWORD>(larger.cy), RegDword(HKEY_LOCAL_MACHINE, kAboutKey, L"Height"));
    EXPECT_EQ(0u, RegDword(HKEY_CURRENT_USER, kAboutKey, L"Width")) << "the user's older copy would hide it";

    ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
    box = WaitForOpenDialog(CDialogThread::THREAD_ABOUTBOX);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(larger.cx, WindowSize(box).cx);
    EXPECT_EQ(larger.cy, WindowSize(box).cy);
    CloseAndWait(box);
}

TEST_F(Dialogs, RememberedSizeGoesToTheUserWhereTheMachineKeyCannotBeWrittenAndComesBackFromThere)
{
    const ReadOnlyMachineKey machine(kAboutKey);
    ASSERT_TRUE(machine.Refuses()) << "the test needs a key this user cannot write";
    Register(L"About", CopyFixture(L"FixtureAbout", L"About.dll"));
    ASSERT_TRUE(Registry()->LoadPlugins());
    ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
    HWND box = WaitForOpenDialog(CDialogThread::THREAD_ABOUTBOX);
    ASSERT_NE(nullptr, box);
    const SIZE larger{WindowSize(box).cx + 90, WindowSize(box).cy + 40};
    Resize(box, larger.cx, larger.cy);
    const int firstColumn = ColumnWidth(box, 0) - 30;
    SendDlgItemMessageW(box, 1000, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(firstColumn, 0));
    CloseAndWait(box);
    EXPECT_EQ(static_cast<DWORD>(larger.cx), RegDword(HKEY_CURRENT_USER, kAboutKey, L"Width"));
    EXPECT_EQ(static_cast<DWORD>(firstColumn), RegDword(HKEY_CURRENT_USER, kAboutKey, L"Column0Width"));

    ASSERT_TRUE(Registry()->DisplayAboutBox(m_host));
    box = WaitForOpenDialog(CDialogThread::THREAD_ABOUTBOX);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(larger.cx, WindowSize(box).cx);
    EXPECT_EQ(larger.cy, WindowSize(box).cy);
    EXPECT_EQ(firstColumn, ColumnWidth(box, 0));
    CloseAndWait(box);
}

TEST_F(Dialogs, DetailsButtonTellsAssistiveTechnologyItsName)
{
    void* handle = LoadAsker(L"Named.dll");
    CProgressDlg* dialog = Progress(handle, PROGRESS_BAR_DLG_CANCEL);
    ASSERT_NE(nullptr, dialog);
    IAccessible* accessible = nullptr;
    ASSERT_EQ(S_OK, AccessibleObjectFromWindow(GetDlgItem(dialog->GetHwnd(), 1004), OBJID_CLIENT, __uuidof(IAccessible),
                                               reinterpret_cast<void**>(&accessible)));
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    EXPECT_EQ(S_OK, accessible->get_accName(self, &name));
    EXPECT_NE(0u, name != nullptr ? SysStringLen(name) : 0u) << "a screen reader has a name to say";
    SysFreeString(name);
    accessible->Release();
    EXPECT_TRUE(VarnelDestroyProgressDlg(dialog));
}

TEST_F(Dialogs, ProgressKeysCancelOnlyWhatCanBeCancelled)
{
    void* handle = LoadAsker(L"Keys.dll");
    CProgressDlg* stubborn = Progress(handle, PROGRESS_BAR_DLG_NO_CANCEL);
    ASSERT_NE(nullptr, stubborn);
    HWND window = stubborn->GetHwnd();
    HWND list = GetDlgItem(window, 1005);
    SetFocus(list);
    PressKey(list, VK_ESCAPE);
    PressKey(list, VK_RETURN);
    Set(stubborn, L"s", L"d", 10);  // its messages are handled here, through the dialog manager
    Pump(200);
    EXPECT_TRUE(IsWindow(window)) << "nothing to cancel";
    EXPECT_EQ(0, g_cancels);
    EXPECT_TRUE(VarnelDestroyProgressDlg(stubborn));
    g_cancels = 0;  // the plug-in's close ends in Cancel

    CProgressDlg* cancellable = Progress(handle, PROGRESS_BAR_DLG_CANCEL);
    ASSERT_NE(nullptr, cancellable);
    window = cancellable->GetHwnd();
    list = GetDlgItem(window, 1005);
    SetFocus(list);
    PressKey(list, VK_RETURN);
    Set(cancellable, L"s", L"d", 10);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(window); }, 2000));
    EXPECT_EQ(1, g_cancels) << "Enter is the default button: Cancel";
}

TEST_F(Dialogs, AdvisoryMessageShowsTheIconOfItsKind)
{
    void* handle = LoadAsker(L"Icons.dll");
    const std::pair<ADVISORY_MSG_TYPE, int> kinds[] = {
        {ADVISORY_MSG_INFO, 0}, {ADVISORY_MSG_WARNING, 1}, {ADVISORY_MSG_ERROR, 2}, {static_cast<ADVISORY_MSG_TYPE>(7), 2}};
    for (const auto& kind : kinds) {
        ASSERT_TRUE(Ask(handle, L"Kind", kind.first, ADVISORY_MSG_BUTTONS_OK, 1));
        CAdvisoryMsg* message = OpenMessage();
        ASSERT_NE(nullptr, message);
        EXPECT_EQ(kind.second, message->GetIconKind()) << "kind " << kind.first;
        HWND window = FindWindowW(kAlphaClass, L"Kind");
        Click(window, 1);
        ASSERT_TRUE(PumpUntil([&] { return !IsWindow(window); }));
    }
}

TEST_F(Dialogs, AdvisoryMessageIsAnsweredFromTheKeyboard)
{
    void* handle = LoadAsker(L"Keys.dll");
    ASSERT_TRUE(Ask(handle, L"Choose", ADVISORY_MSG_WARNING, ADVISORY_MSG_BUTTONS_YES_NO, 1));
    HWND choose = FindWindowW(kAlphaClass, L"Choose");
    ASSERT_NE(nullptr, choose);
    EXPECT_EQ(GetDlgItem(choose, 6), FocusOfThreadOf(choose)) << "the keyboard starts on the first button";
    PressKey(GetDlgItem(choose, 6), VK_ESCAPE);
    Pump(300);
    EXPECT_TRUE(IsWindow(choose)) << "Yes or No has to be chosen";
    PressKey(GetDlgItem(choose, 6), VK_TAB);
    EXPECT_TRUE(PumpUntil([&] { return FocusOfThreadOf(choose) == GetDlgItem(choose, 7); }, 2000));
    PressKey(GetDlgItem(choose, 7), VK_RETURN);
    ASSERT_TRUE(PumpUntil([&] { return ActivitiesOf("Keys.dll").size() == 1; }));
    EXPECT_EQ("7", ActivitiesOf("Keys.dll")[0][1]) << "Enter chooses the focused button";

    ASSERT_TRUE(Ask(handle, L"Cancellable", ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK_CANCEL, 2));
    HWND cancellable = FindWindowW(kAlphaClass, L"Cancellable");
    ASSERT_NE(nullptr, cancellable);
    PressKey(GetDlgItem(cancellable, 1), VK_ESCAPE);
    ASSERT_TRUE(PumpUntil([&] { return ActivitiesOf("Keys.dll").size() == 2; }));
    EXPECT_EQ("2", ActivitiesOf("Keys.dll")[1][1]) << "Escape is Cancel";

    ASSERT_TRUE(Ask(handle, L"Notice", ADVISORY_MSG_ERROR, ADVISORY_MSG_BUTTONS_OK, 3));
    HWND notice = FindWindowW(kAlphaClass, L"Notice");
    ASSERT_NE(nullptr, notice);
    PressKey(GetDlgItem(notice, 1), VK_ESCAPE);
    ASSERT_TRUE(PumpUntil([&] { return ActivitiesOf("Keys.dll").size() == 3; }));
    EXPECT_EQ("1", ActivitiesOf("Keys.dll")[2][1]) << "Escape answers a message with one button";
}

TEST_F(Dialogs, SplashPictureHoldsBothOfItsTexts)
{
    const wchar_t key[] = L"SOFTWARE\\Zerova\\Varnel";
    testenv::SetRegDword(HKEY_LOCAL_MACHINE, key, L"DisplaySplashScreen", 1);
    CVarnelPrivateInterface::Instance()->SplashScreen();
    HWND splash = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        splash = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_SPLASHSCREEN, nullptr);
        return splash != nullptr;
    }));
    RECT client{};
    GetClientRect(splash, &client);
    // The product name stands in x 213..441, y 101..194, the copyright in x 19..451, y 257..281
    // of the picture at 96 DPI.
    const int dpi = static_cast<int>(zerova::WindowDpi(splash));
    EXPECT_GE(client.right, MulDiv(451, dpi, 96));
    EXPECT_GE(client.bottom, MulDiv(281, dpi, 96));
    PostMessageW(splash, WM_COMMAND, 200, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(splash); }));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"DisplaySplashScreen");
}
