// The module object and the GUI folders: the GUI configuration read from a real GUI tree, the tray
// menu from the language module, the icons of the tray states and the look-up of images and INI
// files. The program runs with an application folder of its own (named in the registry) that holds
// a language module whose tray menu carries the commands the library has to remove.
#include "TestEnvironment.h"

#include "ErrorMsg.h"
#include "ImageManager.h"
#include "IniFile.h"
#include "Localize.h"
#include "MenuXP.h"
#include "OXIL_dllmain.h"
#include "VarnelPrivateInterface.h"

#include <gtest/gtest.h>

// GDI+ needs min and max, which NOMINMAX takes away.
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <objidl.h>
#include <gdiplus.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const wchar_t kVarnelKey[] = L"SOFTWARE\\Zerova\\Varnel";

std::wstring g_applicationFolder;

std::wstring AppPath(const std::wstring& relative) { return testenv::Join(g_applicationFolder, relative); }

class ApplicationFolderEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH] = L"";
        GetTempPathW(MAX_PATH, temp);
        g_applicationFolder = testenv::Join(temp, L"varnel_foundation_app");
        testenv::RemoveTree(g_applicationFolder);
        ASSERT_TRUE(CreateDirectoryW(g_applicationFolder.c_str(), nullptr));
        const std::wstring language =
            testenv::Join(testenv::Join(testenv::ProgramFolder(), L"legacy-language"), L"ZerovaLanguage.dll");
        ASSERT_TRUE(CopyFileW(language.c_str(), AppPath(L"ZerovaLanguage.dll").c_str(), FALSE));
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kVarnelKey, L"ApplicationFolder", g_applicationFolder));
    }
    void TearDown() override { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kVarnelKey, L"ApplicationFolder"); }
};

::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new ApplicationFolderEnvironment());

struct Report {
    int code;
    std::wstring text;
};

bool CollectReport(HWND, const wchar_t* first, const wchar_t*, int number, void* user)
{
    static_cast<std::vector<Report>*>(user)->push_back({number, first != nullptr ? first : L""});
    return true;
}

std::wstring String(UINT id)
{
    wchar_t text[1024] = L"";
    CLocalize::Instance()->GetString(id, text, 1024);
    return text;
}

bool HasCommand(HMENU menu, UINT command)
{
    HMENU owner = nullptr;
    return CMenuXP::FindMenuPositionByCommand(menu, &owner, command) != -1 && owner != nullptr;
}

SIZE IconSize(HICON icon)
{
    ICONINFO info{};
    SIZE size{0, 0};
    if (!GetIconInfo(icon, &info)) return size;
    BITMAP bitmap{};
    GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
    size.cx = bitmap.bmWidth;
    size.cy = info.hbmColor != nullptr ? bitmap.bmHeight : bitmap.bmHeight / 2;
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
    return size;
}

}  // namespace

// Every test starts from a fresh copy of the default GUI tree that the build installs.
class Foundation : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::RemoveTree(AppPath(L"Varnel"));
        ASSERT_TRUE(testenv::CopyTree(testenv::Join(testenv::ProgramFolder(), L"Varnel"), AppPath(L"Varnel")));
        m_module = COXIL_DllMain::Instance();
    }
    void TearDown() override
    {
        CErrorMsg::Instance()->SetErrorLoggingCallback(nullptr, nullptr);
        delete COXIL_DllMain::Instance();
    }

    void WriteIni(const std::wstring& relative, const std::string& content)
    {
        ASSERT_TRUE(testenv::WriteAnsi(AppPath(relative), content));
    }
    void CollectReports() { CErrorMsg::Instance()->SetErrorLoggingCallback(&CollectReport, &m_reports); }
    std::wstring Subfolder()
    {
        wchar_t subfolder[MAX_PATH] = L"?";
        m_module->GetGUISubfolder(subfolder, MAX_PATH);
        return subfolder;
    }
    std::wstring Title()
    {
        wchar_t title[MAX_PATH] = L"?";
        m_module->GetTitle(title, MAX_PATH);
        return title;
    }
    std::wstring ImageManagerFolder()
    {
        wchar_t folder[MAX_PATH] = L"";
        CImageManager::Instance()->GetGUIFolder(folder, MAX_PATH);
        return folder;
    }

    COXIL_DllMain* m_module = nullptr;
    std::vector<Report> m_reports;
};

using Module = Foundation;
using GuiFolders = Foundation;

// ---------------------------------------------------------------- the GUI configuration

TEST_F(Module, DefaultTreeGivesTheZerovaSkinItsTitleAndTheTrayMenu)
{
    WriteIni(L"Varnel\\Images\\Zerova\\main_window.ini", "[General]\r\ntitle=Tray Of The Skin\r\n");
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(L"Zerova", Subfolder());
    EXPECT_EQ(L"Tray Of The Skin", Title());
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Zerova"), ImageManagerFolder());
    ASSERT_NE(nullptr, m_module->GetMenu());
    EXPECT_EQ(GetSubMenu(m_module->GetMenu(), 0), m_module->GetSubMenu());
    EXPECT_TRUE(HasCommand(m_module->GetSubMenu(), 4000));
    EXPECT_TRUE(HasCommand(m_module->GetSubMenu(), 4002));
}

TEST_F(Module, MenuLosesTheLegacyAndFlyoutCommandsWhereverTheyStood)
{
    HMENU raw = LoadMenuW(CLocalize::Instance()->GethInstance(), MAKEINTRESOURCEW(100));
    ASSERT_NE(nullptr, raw);
    for (UINT command : {4005u, 7000u, 7005u, 7010u}) EXPECT_TRUE(HasCommand(raw, command)) << command;
    DestroyMenu(raw);

    ASSERT_TRUE(m_module->LoadResources());
    for (UINT command : {4005u, 7000u, 7005u, 7010u}) EXPECT_FALSE(HasCommand(m_module->GetMenu(), command)) << command;
    for (UINT command : {4000u, 4002u, 7001u, 7006u, 7011u}) EXPECT_TRUE(HasCommand(m_module->GetMenu(), command)) << command;
}

TEST_F(Module, MissingRedirectionFileOrKeyMeansTheZerovaSkin)
{
    WriteIni(L"Varnel\\gui_redirect.ini", "[General]\r\nsplashscreen=splash.png\r\n");
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(L"Zerova", Subfolder());
    delete COXIL_DllMain::Instance();

    ASSERT_TRUE(DeleteFileW(AppPath(L"Varnel\\gui_redirect.ini").c_str()));
    m_module = COXIL_DllMain::Instance();
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(L"Zerova", Subfolder());
}

TEST_F(Module, EmptySubfolderFailsWithString651AndSetsNoImagesFolder)
{
    WriteIni(L"Varnel\\gui_redirect.ini", "[General]\r\nsubfolder=\r\n");
    CImageManager::Instance()->SetGUIFolder(L"C:\\untouched");
    CollectReports();
    EXPECT_FALSE(m_module->LoadResources());
    ASSERT_EQ(1u, m_reports.size());
    EXPECT_EQ(0, m_reports[0].code);
    EXPECT_EQ(String(651), m_reports[0].text);
    EXPECT_EQ(L"C:\\untouched", ImageManagerFolder());
    EXPECT_EQ(nullptr, m_module->GetMenu());
    EXPECT_EQ(nullptr, m_module->GetSubMenu());
}

TEST_F(Module, AnotherSkinIsReadFromItsOwnFolder)
{
    WriteIni(L"Varnel\\gui_redirect.ini", "[General]\r\nsubfolder=Dark\r\n");
    CreateDirectoryW(AppPath(L"Varnel\\Images\\Dark").c_str(), nullptr);
    WriteIni(L"Varnel\\Images\\Dark\\main_window.ini", "[General]\r\ntitle=Dark Tray\r\n");
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(L"Dark", Subfolder());
    EXPECT_EQ(L"Dark Tray", Title());
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Dark"), ImageManagerFolder());
}

TEST_F(Module, MissingOrEmptyTitleIsString312)
{
    ASSERT_TRUE(DeleteFileW(AppPath(L"Varnel\\Images\\Zerova\\main_window.ini").c_str()));
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(String(312), Title());
    delete COXIL_DllMain::Instance();

    WriteIni(L"Varnel\\Images\\Zerova\\main_window.ini", "[General]\r\ntitle=\r\n");
    m_module = COXIL_DllMain::Instance();
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(String(312), Title());
    EXPECT_FALSE(String(312).empty());
}

TEST_F(Module, OverlongOrGarbledSkinFilesAreCutOrIgnored)
{
    WriteIni(L"Varnel\\Images\\Zerova\\main_window.ini", "[General]\r\ntitle=" + std::string(5000, 'T') + "\r\n");
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(std::wstring(MAX_PATH - 1, L'T'), Title()) << "cut to the buffer, terminated";
    delete COXIL_DllMain::Instance();

    // A subfolder name longer than any path: it is cut, names no folder, and the tray still gets
    // its title from the language module.
    WriteIni(L"Varnel\\gui_redirect.ini", "[General]\r\nsubfolder=" + std::string(5000, 'S') + "\r\n");
    m_module = COXIL_DllMain::Instance();
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(std::wstring(MAX_PATH - 1, L'S'), Subfolder());
    EXPECT_EQ(String(312), Title());
    EXPECT_NE(nullptr, m_module->GetSubMenu());
    delete COXIL_DllMain::Instance();

    // Random bytes instead of an INI file: the defaults.
    std::string noise(4096, '\0');
    unsigned seed = 12345;
    for (char& c : noise) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    WriteIni(L"Varnel\\gui_redirect.ini", noise);
    WriteIni(L"Varnel\\Images\\Zerova\\main_window.ini", noise);
    m_module = COXIL_DllMain::Instance();
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(L"Zerova", Subfolder());
    EXPECT_EQ(String(312), Title());
}

TEST_F(Module, TextAccessorsLeaveBadBuffersAlone)
{
    ASSERT_TRUE(m_module->LoadResources());
    EXPECT_EQ(nullptr, m_module->GetTitle(nullptr, 10));
    wchar_t buffer[4] = L"abc";
    EXPECT_EQ(buffer, m_module->GetTitle(buffer, 0));
    EXPECT_STREQ(L"abc", buffer);
    EXPECT_EQ(buffer, m_module->GetGUISubfolder(buffer, 0));
    EXPECT_STREQ(L"abc", buffer);
    // A short buffer gets a cut, terminated copy.
    m_module->GetTitle(buffer, 4);
    EXPECT_EQ(3u, wcslen(buffer));
}

TEST_F(Module, CreationAndTearDownAreTraced)
{
    delete COXIL_DllMain::Instance();
    testenv::TraceCapture traces;
    m_module = COXIL_DllMain::Instance();
    delete COXIL_DllMain::Instance();
    const std::vector<testenv::TraceLine> lines = traces.Lines();
    auto find = [&](const wchar_t* text) {
        return std::find_if(lines.begin(), lines.end(), [&](const testenv::TraceLine& l) { return l.text == text; });
    };
    const auto load = find(L"COXIL_DllMain::Load(): exit");
    const auto unload = find(L"COXIL_DllMain::Unload()");
    ASSERT_NE(lines.end(), load);
    ASSERT_NE(lines.end(), unload);
    EXPECT_LT(load - lines.begin(), unload - lines.begin());
    EXPECT_EQ(0, load->level);
    EXPECT_EQ(0, unload->level);
    EXPECT_EQ(L"OXIL_dllmain.cpp", unload->source);
    m_module = COXIL_DllMain::Instance();
}

// ---------------------------------------------------------------- icons of the tray states

TEST_F(Module, TrayIconsAndImageNamesFollowTheState)
{
    wchar_t name[MAX_PATH];
    HICON normal = m_module->GetTrayIcon(0, name, MAX_PATH, 16, 16);
    ASSERT_NE(nullptr, normal);
    EXPECT_STREQ(L"tray_menu_okay.png", name);
    EXPECT_EQ(normal, m_module->GetTrayIcon(1, name, MAX_PATH, 16, 16));
    EXPECT_STREQ(L"tray_menu_issue.png", name);
    HICON error = m_module->GetTrayIcon(2, name, MAX_PATH, 16, 16);
    ASSERT_NE(nullptr, error);
    EXPECT_NE(normal, error);
    EXPECT_STREQ(L"tray_menu_issue.png", name);
    EXPECT_EQ(normal, m_module->GetTrayIcon(-3, name, MAX_PATH, 16, 16));
    EXPECT_STREQ(L"tray_menu_okay.png", name);

    const SIZE small = IconSize(normal);
    EXPECT_EQ(16, small.cx);
    EXPECT_EQ(16, small.cy);
    const SIZE big = IconSize(m_module->GetTrayIcon(0, name, MAX_PATH, 32, 32));
    EXPECT_EQ(32, big.cx);
    EXPECT_EQ(32, big.cy);

    EXPECT_EQ(nullptr, m_module->GetTrayIcon(0, nullptr, MAX_PATH, 16, 16));
    EXPECT_EQ(nullptr, m_module->GetTrayIcon(0, name, 0, 16, 16));
}

TEST_F(Module, MenuIconsAndImageNamesFollowTheState)
{
    wchar_t name[MAX_PATH];
    HICON normal = m_module->GetMenuIcon(0, name, MAX_PATH);
    EXPECT_STREQ(L"tray_menu_okay1.png", name);
    HICON warning = m_module->GetMenuIcon(1, name, MAX_PATH);
    EXPECT_STREQ(L"tray_menu_issue.png", name);
    HICON error = m_module->GetMenuIcon(2, name, MAX_PATH);
    EXPECT_STREQ(L"tray_menu_issue.png", name);
    ASSERT_NE(nullptr, normal);
    ASSERT_NE(nullptr, warning);
    ASSERT_NE(nullptr, error);
    EXPECT_NE(normal, warning);
    EXPECT_NE(normal, error);
    EXPECT_NE(warning, error);
    EXPECT_EQ(normal, m_module->GetMenuIcon(7, name, MAX_PATH));
    EXPECT_STREQ(L"tray_menu_okay1.png", name);
    EXPECT_EQ(16, IconSize(normal).cx);
    EXPECT_EQ(nullptr, m_module->GetMenuIcon(0, nullptr, MAX_PATH));
}

TEST(IconResources, GroupsHoldTheSizesAndDepthsOfEachRole)
{
    HMODULE library = GetModuleHandleW(L"VarnelInterfaceLib.dll");
    ASSERT_NE(nullptr, library);
    typedef std::vector<std::pair<int, int>> Images;  // size, bits per pixel
    Images large, menu;
    for (int size : {16, 24, 32, 48, 64, 96, 128, 192, 256}) large.push_back({size, 32});
    for (int size : {48, 32, 16})
        for (int bits : {8, 32}) menu.push_back({size, bits});
    Images errorTray = large;
    errorTray.erase(std::find(errorTray.begin(), errorTray.end(), std::make_pair(48, 32)));
    const std::vector<std::pair<int, Images>> expected = {
        {101, large}, {102, menu}, {103, errorTray}, {104, menu}, {105, menu}};

    for (const auto& group : expected) {
        HRSRC resource = FindResourceExW(library, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */,
                                         MAKEINTRESOURCEW(group.first), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        ASSERT_NE(nullptr, resource) << group.first;
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(library, resource)));
        ASSERT_NE(nullptr, data);
        const WORD count = *reinterpret_cast<const WORD*>(data + 4);
        Images found;
        for (WORD i = 0; i < count; ++i) {
            const BYTE* entry = data + 6 + 14 * i;
            const int size = entry[0] == 0 ? 256 : entry[0];
            const int bits = *reinterpret_cast<const WORD*>(entry + 6);
            found.push_back({size, bits});
        }
        Images want = group.second;
        std::sort(found.begin(), found.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(want, found) << "icon " << group.first;
    }
}

// ---------------------------------------------------------------- the default GUI tree

TEST(DefaultGuiTree, EveryImageTheTrayNamesLoadsWithGdiPlus)
{
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::Ok, Gdiplus::GdiplusStartup(&token, &input, nullptr));
    const std::wstring skin = testenv::Join(testenv::ProgramFolder(), L"Varnel\\Images\\Zerova");
    for (const wchar_t* name :
         {L"tray_menu_okay.png", L"tray_menu_okay1.png", L"tray_menu_issue.png", L"system_status_ok_medium.png",
          L"system_status_warning_medium.png", L"system_status_error_medium.png", L"details_open_normal.png",
          L"details_open_pressed.png", L"details_close_normal.png", L"details_close_pressed.png",
          L"gradated_background.png", L"gradated_background_with_zerova_logo.png", L"splash.png"}) {
        std::unique_ptr<Gdiplus::Bitmap> image(Gdiplus::Bitmap::FromFile(testenv::Join(skin, name).c_str()));
        ASSERT_NE(nullptr, image.get());
        EXPECT_EQ(Gdiplus::Ok, image->GetLastStatus()) << testenv::Narrow(name);
        EXPECT_GT(image->GetWidth(), 0u) << testenv::Narrow(name);
    }
    Gdiplus::GdiplusShutdown(token);
}

TEST(DefaultGuiTree, IniFilesNameTheSkinTheTitleAndTheSplash)
{
    const std::wstring root = testenv::Join(testenv::ProgramFolder(), L"Varnel");
    wchar_t value[MAX_PATH];
    CIniFile redirect(testenv::Join(root, L"gui_redirect.ini").c_str(), 128);
    EXPECT_TRUE(redirect.GetString(L"General", L"subfolder", L"", value, MAX_PATH));
    EXPECT_STREQ(L"Zerova", value);
    EXPECT_TRUE(redirect.GetString(L"General", L"splashscreen", L"", value, MAX_PATH));
    EXPECT_TRUE(GetFileAttributesW(testenv::Join(root, std::wstring(L"Images\\Zerova\\") + value).c_str()) !=
                INVALID_FILE_ATTRIBUTES);
    CIniFile window(testenv::Join(root, L"Images\\Zerova\\main_window.ini").c_str(), 128);
    EXPECT_TRUE(window.GetString(L"General", L"title", L"", value, MAX_PATH));
    EXPECT_STRNE(L"", value);
}

// ---------------------------------------------------------------- GUI folders

TEST_F(GuiFolders, RootAndImagesFolderOfTheModulesSkin)
{
    ASSERT_TRUE(m_module->LoadResources());
    CVarnelPrivateInterface* api = CVarnelPrivateInterface::Instance();
    wchar_t folder[MAX_PATH];
    EXPECT_EQ(folder, CVarnelPrivateInterface::GetGUIRootFolder(folder, MAX_PATH));
    EXPECT_EQ(AppPath(L"Varnel"), folder);
    EXPECT_EQ(nullptr, CVarnelPrivateInterface::GetGUIRootFolder(nullptr, MAX_PATH));

    const std::wstring skin = AppPath(L"Varnel\\Images\\Zerova");
    EXPECT_EQ(skin, CVarnelPrivateInterface::GetImagesFolder(nullptr, folder, MAX_PATH));
    EXPECT_EQ(skin, CVarnelPrivateInterface::GetImagesFolder(L"", folder, MAX_PATH));
    EXPECT_EQ(skin, api->GetPluginImageFolder(nullptr, folder, MAX_PATH));
    EXPECT_EQ(L"Zerova", std::wstring(api->GetGUISubfolder(folder, MAX_PATH)));
}

TEST_F(GuiFolders, ExplicitSubfolderWinsOverTheRedirection)
{
    WriteIni(L"Varnel\\gui_redirect.ini", "[General]\r\nsubfolder=Dark\r\n");
    ASSERT_TRUE(m_module->LoadResources());
    wchar_t folder[MAX_PATH];
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Dark"), CVarnelPrivateInterface::GetImagesFolder(nullptr, folder, MAX_PATH));
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Plugin"), CVarnelPrivateInterface::GetImagesFolder(L"Plugin", folder, MAX_PATH));
}

TEST_F(GuiFolders, EmptyModuleSubfolderLeavesTheImagesFolderOpenEnded)
{
    // LoadResources has not run: the module's subfolder is empty.
    wchar_t folder[MAX_PATH];
    EXPECT_EQ(AppPath(L"Varnel\\Images"), CVarnelPrivateInterface::GetImagesFolder(nullptr, folder, MAX_PATH));
}

TEST_F(GuiFolders, ImageFileFallsBackFromThePathToTheSkinToImagesImages)
{
    ASSERT_TRUE(m_module->LoadResources());
    wchar_t path[MAX_PATH];
    const std::wstring existing = AppPath(L"ZerovaLanguage.dll");
    EXPECT_EQ(existing, CVarnelPrivateInterface::GetImageFilename(nullptr, existing.c_str(), path, MAX_PATH));
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Zerova\\splash.png"),
              CVarnelPrivateInterface::GetImageFilename(nullptr, L"splash.png", path, MAX_PATH));
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Images\\nowhere.png"),
              CVarnelPrivateInterface::GetImageFilename(nullptr, L"nowhere.png", path, MAX_PATH));
    // A skin that lacks the image: the fallback is Images\Images, not the default skin.
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Images\\splash.png"),
              CVarnelPrivateInterface::GetImageFilename(L"Other", L"splash.png", path, MAX_PATH));
}

TEST_F(GuiFolders, IniFileNamesAreBuiltWhetherOrNotTheFileExists)
{
    ASSERT_TRUE(m_module->LoadResources());
    CVarnelPrivateInterface* api = CVarnelPrivateInterface::Instance();
    wchar_t path[MAX_PATH];
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Zerova\\absent.ini"), api->GetINIFilename(nullptr, L"absent.ini", path, MAX_PATH));
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Own\\plugin.ini"), api->GetINIFilename(L"Own", L"plugin.ini", path, MAX_PATH));
    EXPECT_EQ(nullptr, api->GetINIFilename(nullptr, L"", path, MAX_PATH));

    std::unique_ptr<CIniFile> ini(api->GetINIFile(nullptr, L"main_window.ini"));
    ASSERT_NE(nullptr, ini.get());
    EXPECT_EQ(AppPath(L"Varnel\\Images\\Zerova\\main_window.ini"), ini->GetPath());
    wchar_t title[MAX_PATH];
    EXPECT_TRUE(ini->GetString(L"General", L"title", L"", title, MAX_PATH));
}

TEST_F(GuiFolders, BadArgumentsRecordTheirErrors)
{
    CVarnelPrivateInterface* api = CVarnelPrivateInterface::Instance();
    wchar_t path[MAX_PATH];
    CErrorMsg::Instance()->Error(1);
    EXPECT_EQ(nullptr, api->GetINIFile(nullptr, L""));
    EXPECT_EQ(546, api->GetLastError());
    EXPECT_EQ(nullptr, CVarnelPrivateInterface::GetImagesFolder(nullptr, nullptr, MAX_PATH));
    EXPECT_EQ(548, api->GetLastError());
    EXPECT_EQ(nullptr, api->GetPluginImageFolder(nullptr, path, 0));
    EXPECT_EQ(547, api->GetLastError());
    CErrorMsg::Instance()->Error(1);
    EXPECT_EQ(nullptr, CVarnelPrivateInterface::GetImageFilename(nullptr, nullptr, path, MAX_PATH));
    EXPECT_EQ(547, api->GetLastError());
    CErrorMsg::Instance()->Error(1);
    EXPECT_EQ(nullptr, api->GetINIFilename(nullptr, nullptr, path, MAX_PATH));
    EXPECT_EQ(1, api->GetLastError());  // no error for the INI file name
}

// ---------------------------------------------------------------- the agent registry monitor

namespace {
const wchar_t kAgentKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";

std::vector<ULONGLONG> g_agentNotices;

LRESULT CALLBACK AgentNoticeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        const auto* record = static_cast<const CVarnelPrivateInterface::IPC_DATA*>(data->lpData);
        if (record->reason == 10 && wcscmp(record->stringValue, L"Notify Change") == 0 && record->intValue == -1)
            g_agentNotices.push_back(GetTickCount64());
        return 1;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void PumpFor(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        testenv::DispatchWaitingMessages();
    }
}
}  // namespace

// A tray host stand-in on this thread receives the monitor's notices.
class AgentMonitor : public Foundation {
protected:
    void SetUp() override
    {
        Foundation::SetUp();
        ASSERT_TRUE(m_module->LoadResources());
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kAgentKey, L"Unrelated", L"x"));
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kAgentKey, L"AgentMode");
        m_host = testenv::MakePopupWindow(L"ZerovaFramework_NotifyIcon", L"monitor test", &AgentNoticeProc);
        ASSERT_NE(nullptr, m_host);
        g_agentNotices.clear();
    }
    void TearDown() override
    {
        COXIL_DllMain::StopRegistryMonitor();
        DestroyWindow(m_host);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kAgentKey, L"AgentMode");
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kAgentKey, L"Unrelated");
        Foundation::TearDown();
    }
    void SetAgentMode(const std::wstring& value)
    {
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kAgentKey, L"AgentMode", value));
    }
    static int PositionOf(HMENU menu, UINT command)
    {
        for (int i = 0; i < GetMenuItemCount(menu); ++i)
            if (GetMenuItemID(menu, i) == command) return i;
        return -1;
    }
    HWND m_host = nullptr;
};

TEST_F(AgentMonitor, AgentModeAddsItsItemOnceRightAfterSystemHealth)
{
    HMENU popup = m_module->GetSubMenu();
    SetAgentMode(L"1");
    m_module->HandleRegistryNotification();
    m_module->HandleRegistryNotification();
    ASSERT_EQ(PositionOf(popup, 4000) + 1, PositionOf(popup, 4004));
    int count = 0;
    for (int i = 0; i < GetMenuItemCount(popup); ++i) count += GetMenuItemID(popup, i) == 4004 ? 1 : 0;
    EXPECT_EQ(1, count);
    wchar_t caption[MAX_PATH];
    GetMenuStringW(popup, 4004, caption, MAX_PATH, MF_BYCOMMAND);
    EXPECT_EQ(String(23), caption);

    for (const wchar_t* off : {L"0", L"", L"abc1"}) {
        SetAgentMode(L"1");
        m_module->HandleRegistryNotification();
        SetAgentMode(off);
        m_module->HandleRegistryNotification();
        EXPECT_EQ(-1, PositionOf(popup, 4004)) << testenv::Narrow(off);
    }
    SetAgentMode(L"12abc");
    m_module->HandleRegistryNotification();
    EXPECT_NE(-1, PositionOf(popup, 4004));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kAgentKey, L"AgentMode");
    m_module->HandleRegistryNotification();
    EXPECT_EQ(-1, PositionOf(popup, 4004));
    m_module->HandleRegistryNotification();  // absent and no item: nothing happens
    EXPECT_EQ(-1, PositionOf(popup, 4004));
}

TEST_F(AgentMonitor, ABurstOfChangesGivesOneNoticeFiveSecondsAfterTheLast)
{
    const ULONGLONG start = GetTickCount64();
    m_module->SetupRegistryMonitor();
    PumpFor(6000);
    ASSERT_EQ(2u, g_agentNotices.size()) << "one notice at once, one after the first quiet period";
    EXPECT_LT(g_agentNotices[0] - start, 2000u);
    EXPECT_GE(g_agentNotices[1] - g_agentNotices[0], 4500u);

    SetAgentMode(L"1");
    PumpFor(700);
    SetAgentMode(L"0");
    PumpFor(700);
    SetAgentMode(L"1");
    const ULONGLONG lastChange = GetTickCount64();
    PumpFor(4000);
    EXPECT_EQ(2u, g_agentNotices.size()) << "nothing within the quiet period";
    PumpFor(2500);
    ASSERT_EQ(3u, g_agentNotices.size());
    EXPECT_GE(g_agentNotices[2] - lastChange, 4500u);
    EXPECT_LE(g_agentNotices[2] - lastChange, 6500u);
}

TEST_F(AgentMonitor, StoppingLetsANoticeInFlightThroughAndNeverStartedDoesNothing)
{
    COXIL_DllMain::StopRegistryMonitor();  // never started: returns at once
    m_module->SetupRegistryMonitor();
    // The monitor's first notice is sent to this thread at once; the stop must let it through.
    const ULONGLONG start = GetTickCount64();
    COXIL_DllMain::StopRegistryMonitor();
    EXPECT_LT(GetTickCount64() - start, 8000u);
    EXPECT_GE(g_agentNotices.size(), 1u);
}
