// The plain functions exported for plug-ins: their names in the export table, what each passes on,
// its result and its entry and exit traces.
#include "PluginHostTests.h"
#include "VarnelPrivateInterface.h"

#include "ErrorMsg.h"
#include "MenuXP.h"
#include "StationDesktopUtils.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"
#include "VarnelPluginAPI.h"

#include <cstddef>
#include <set>

using hosttest::PluginHostTest;

namespace {
int g_pluginMessages = 0;
std::wstring g_lastMessage;

LRESULT CALLBACK NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        const auto* record = static_cast<const CVarnelPrivateInterface::IPC_DATA*>(data->lpData);
        ++g_pluginMessages;
        g_lastMessage = std::to_wstring(record->reason) + L"|" + record->stringValue + L"|" +
                        std::to_wstring(record->intValue);
        return 1;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The names in the export table of a loaded module.
std::set<std::string> ExportedNames(HMODULE module)
{
    std::set<std::string> names;
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    const auto* nameOffsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.insert(reinterpret_cast<const char*>(base + nameOffsets[i]));
    return names;
}
}  // namespace

class Exports : public PluginHostTest {
protected:
    void SetUp() override
    {
        PluginHostTest::SetUp();
        ASSERT_TRUE(COXIL_DllMain::Instance()->LoadResources());
        m_window = CreateWindowExW(0, L"STATIC", L"host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        m_menu = std::make_unique<CMenuXP>();
        m_tray = std::make_unique<CTray>(m_window, 1, WM_APP, nullptr, L"title");
        CVarnelMenuUtils::Instance()->SetHandles(m_window, m_menu.get(), m_tray.get());
    }
    void TearDown() override
    {
        PluginHostTest::TearDown();
        m_tray.reset();
        m_menu.reset();
        DestroyWindow(m_window);
    }
    void* LoadWithItems(const std::wstring& fileName, const std::wstring& items, const std::wstring& target = L"FixtureWindow")
    {
        const std::wstring subkey = fileName.substr(0, fileName.find(L'.'));
        Register(subkey, CopyFixture(target, fileName));
        Configure(fileName, L"MenuItems", items);
        void* handle = nullptr;
        EXPECT_TRUE(Registry()->LoadPlugin(subkey.c_str(), &handle));
        return handle;
    }
    HWND m_window = nullptr;
    std::unique_ptr<CMenuXP> m_menu;
    std::unique_ptr<CTray> m_tray;
};

TEST(ExportTable, EveryPluginFunctionIsExportedUndecorated)
{
    const std::set<std::string> names = ExportedNames(GetModuleHandleW(L"VarnelInterfaceLib.dll"));
    for (const char* name :
         {"VarnelAddMenuItem", "VarnelRemoveMenuItem", "VarnelSetMenuString", "VarnelGetMenuString",
          "VarnelGetMenuItemState", "VarnelCheckMenuItem", "VarnelEnableMenuItem", "VarnelDoesMenuItemExist",
          "VarnelSetMenuItemID", "VarnelSetState", "VarnelDisplayAdvisoryMsg", "VarnelCreateProgressDlg",
          "VarnelSetProgress", "VarnelDestroyProgressDlg", "VarnelPluginCommunication", "VarnelSetLegacyTrayEXE",
          "VarnelOutputError"})
        EXPECT_EQ(1u, names.count(name)) << name;
}

TEST(ExportTable, SharedRecordsHaveTheSameLayoutOnEveryBuild)
{
    // The copy-data record crosses between 32- and 64-bit processes: its layout cannot depend on the build.
    using IPC_DATA = CVarnelPrivateInterface::IPC_DATA;
    EXPECT_EQ(2056u, sizeof(IPC_DATA));
    EXPECT_EQ(0u, offsetof(IPC_DATA, reason));
    EXPECT_EQ(4u, offsetof(IPC_DATA, stringValue));
    EXPECT_EQ(2052u, offsetof(IPC_DATA, intValue));
    // The plug-in record is two pointer-sized words on each build, its object in the second.
    EXPECT_EQ(2 * sizeof(void*), sizeof(VARNEL_PLUGIN_DATA));
    EXPECT_EQ(sizeof(void*), offsetof(VARNEL_PLUGIN_DATA, plugin));
}

TEST_F(Exports, MenuFunctionsActForThePluginAndTraceTheirExport)
{
    void* handle = LoadWithItems(L"Exported.dll", L"0:4:Four");
    testenv::TraceCapture traces;
    wchar_t caption[MAX_PATH] = L"";
    EXPECT_EQ(1, VarnelGetMenuString(handle, 4, caption, MAX_PATH));
    EXPECT_STREQ(L"Four", caption);
    EXPECT_EQ(0, VarnelGetMenuString(handle, 5, caption, MAX_PATH));
    wchar_t renamed[] = L"Four again";
    EXPECT_TRUE(VarnelSetMenuString(handle, 4, renamed));
    EXPECT_TRUE(VarnelCheckMenuItem(handle, 4, MF_CHECKED));
    EXPECT_TRUE(VarnelEnableMenuItem(handle, 4, MF_GRAYED));
    bool checked = false, enabled = true;
    EXPECT_TRUE(VarnelGetMenuItemState(handle, 4, &checked, &enabled));
    EXPECT_TRUE(checked);
    EXPECT_FALSE(enabled);
    for (const wchar_t* name : {L"VarnelGetMenuString", L"VarnelSetMenuString", L"VarnelCheckMenuItem",
                                L"VarnelEnableMenuItem", L"VarnelGetMenuItemState"}) {
        EXPECT_TRUE(traces.Contains(std::wstring(L"Entering ") + name)) << testenv::Narrow(name);
        EXPECT_TRUE(traces.Contains(std::wstring(L"Leaving ") + name)) << testenv::Narrow(name);
    }

    traces.Clear();
    EXPECT_TRUE(VarnelDoesMenuItemExist(handle, 4));
    EXPECT_FALSE(traces.ContainsPart(L"Entering ")) << "the existence test writes no entry trace";

    HMENU popup = COXIL_DllMain::Instance()->GetSubMenu();
    HMENU owner = nullptr;
    ASSERT_NE(-1, CMenuXP::FindMenuPositionByCommand(popup, &owner, 7000));
    EXPECT_TRUE(VarnelRemoveMenuItem(handle, 4));
    EXPECT_EQ(-1, CMenuXP::FindMenuPositionByCommand(popup, &owner, 7000)) << "the empty flyout is gone at once";
    EXPECT_TRUE(traces.Contains(L"Leaving VarnelRemoveMenuItem"));
}

TEST_F(Exports, StateFromThePluginReachesTheRegistryWithoutASource)
{
    void* handle = LoadWithItems(L"Stateful.dll", L"");
    testenv::TraceCapture traces;
    wchar_t text[] = L"definitions are old";
    VarnelSetState(handle, VARNEL_PLUGIN_STATE_WARNING, text);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_WARNING, PluginOf(handle)->GetState());
    EXPECT_TRUE(traces.Contains(L"Entering VarnelSetState"));
    EXPECT_TRUE(traces.Contains(L"Leaving VarnelSetState"));
    VarnelSetState(reinterpret_cast<void*>(static_cast<UINT_PTR>(0x4321)), VARNEL_PLUGIN_STATE_ERROR, text);
    EXPECT_EQ(530, CErrorMsg::Instance()->GetLastError());
}

// Delivery to the tray hosts of other processes is tested with real processes (IpcTests).
TEST_F(Exports, PluginMessagesWalkEveryDesktopButSkipTheirOwnProcessAndTheResultIsAlwaysFalse)
{
    void* handle = LoadWithItems(L"Talker.dll", L"");
    HWND notify = testenv::MakePopupWindow(L"ZerovaFramework_NotifyIcon", L"Export Test Tray", &NotifyProc);
    ASSERT_NE(nullptr, notify);
    CStationDesktopUtils::Instance()->SetMainAppHwnd(m_window, L"Export Test Tray");
    g_pluginMessages = 0;

    testenv::TraceCapture traces;
    wchar_t text[] = L"hello hosts";
    EXPECT_FALSE(VarnelPluginCommunication(handle, text, 9));
    EXPECT_TRUE(traces.ContainsPart(L"EnumWindowStationProc: lpszWindowStation: ")) << "the walk ran";
    EXPECT_EQ(0, g_pluginMessages) << "a tray host never messages its own windows";
    traces.Clear();
    wchar_t empty[] = L"";
    EXPECT_FALSE(VarnelPluginCommunication(handle, empty, 9));
    EXPECT_FALSE(VarnelPluginCommunication(reinterpret_cast<void*>(static_cast<UINT_PTR>(0x4321)), text, 9));
    EXPECT_FALSE(traces.ContainsPart(L"EnumWindowStationProc")) << "an empty text and a bad handle start no walk";
    DestroyWindow(notify);
}

TEST_F(Exports, LegacyProgramErrorsAndDialogArgumentsAreChecked)
{
    void* handle = LoadWithItems(L"Legacy.dll", L"");
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring program = testenv::Join(system, L"cmd.exe");
    wchar_t arguments[] = L"/c exit";
    EXPECT_TRUE(VarnelSetLegacyTrayEXE(handle, &program[0], arguments, false));
    std::wstring missing = L"C:\\no\\such.exe";
    EXPECT_FALSE(VarnelSetLegacyTrayEXE(handle, &missing[0], arguments, false));
    EXPECT_FALSE(VarnelSetLegacyTrayEXE(reinterpret_cast<void*>(static_cast<UINT_PTR>(0x4321)), &program[0], arguments,
                                        false));
    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    EXPECT_TRUE(VarnelSetLegacyTrayEXE(handle, &program[0], arguments, false)) << "a listed plug-in, even unloaded";

    wchar_t disk[] = L"disk is full";
    EXPECT_EQ(812, VarnelOutputError(812, disk));
    EXPECT_EQ(812, CErrorMsg::Instance()->GetLastError());

    wchar_t title[] = L"Title";
    wchar_t none[] = L"";
    EXPECT_FALSE(VarnelDisplayAdvisoryMsg(VARNEL_MAIN_APP_HANDLE, nullptr, m_window, title, none, ADVISORY_MSG_INFO,
                                          ADVISORY_MSG_BUTTONS_OK, false, nullptr, false));
    EXPECT_EQ(529, CErrorMsg::Instance()->GetLastError());
    EXPECT_FALSE(VarnelSetProgress(nullptr, title, title, 5));
    EXPECT_FALSE(VarnelDestroyProgressDlg(nullptr));
}
