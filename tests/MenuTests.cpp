// The tray menu model on the real tray menu of the language module: plug-in items in the category
// flyouts, command identifiers, item operations, flyout availability, suite entries, the merged
// tray state, the checksum, and concurrent use from several threads.
#include "PluginHostTests.h"

#include "ErrorMsg.h"
#include "Localize.h"
#include "MenuXP.h"
#include "SafeString.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"
#include "VarnelPrivateInterface.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <thread>

using hosttest::PluginHostTest;

namespace {
const wchar_t kFrameworkKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";

struct Item {
    UINT command;
    std::wstring caption;
    bool operator==(const Item& other) const { return command == other.command && caption == other.caption; }
};

std::vector<Item> ItemsOf(HMENU list)
{
    std::vector<Item> items;
    for (int i = 0; list != nullptr && i < GetMenuItemCount(list); ++i) {
        wchar_t caption[MAX_PATH];
        MENUITEMINFOW info{};
        CMenuXP::GetMenuItemInfoW(list, static_cast<UINT>(i), true, info, caption, MAX_PATH);
        items.push_back({info.wID, caption});
    }
    return items;
}

std::wstring String(UINT id)
{
    wchar_t text[MAX_PATH] = L"";
    CLocalize::Instance()->GetString(id, text, MAX_PATH);
    return text;
}

UINT Command(void* handle, int itemId) { return CVarnelMenuUtils::MakeCommandId(handle, itemId); }

[[maybe_unused]] void PrintTo(const Item& item, std::ostream* out)
{
    *out << item.command << ":" << testenv::Narrow(item.caption);
}

// One item of a menu as the user sees it: its level, identifier, state bits, whether it opens a
// list, and its caption.
struct Shown {
    int level;
    UINT command;
    UINT state;
    bool opensList;
    std::wstring caption;
    bool operator==(const Shown& other) const
    {
        return level == other.level && command == other.command && state == other.state &&
               opensList == other.opensList && caption == other.caption;
    }
};

[[maybe_unused]] void PrintTo(const Shown& item, std::ostream* out)
{
    *out << "\n  " << item.level << " " << item.command << " state 0x" << std::hex << item.state << std::dec
         << (item.opensList ? " list " : " ") << testenv::Narrow(item.caption);
}

void AppendShown(HMENU menu, int level, std::vector<Shown>& shown)
{
    for (int i = 0; menu != nullptr && i < GetMenuItemCount(menu); ++i) {
        wchar_t caption[MAX_PATH];
        MENUITEMINFOW info{};
        CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(i), true, info, caption, MAX_PATH);
        shown.push_back({level, info.wID, info.fState, info.hSubMenu != nullptr, caption});
        AppendShown(info.hSubMenu, level + 1, shown);
    }
}

std::vector<Shown> ShownIn(HMENU menu)
{
    std::vector<Shown> shown;
    AppendShown(menu, 0, shown);
    return shown;
}
}  // namespace

// A host as the tray sets it up: the tray menu loaded, a main window, a menu object and a tray.
class Menu : public PluginHostTest {
protected:
    void SetUp() override
    {
        PluginHostTest::SetUp();
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFrameworkKey, L"VarnelAllowUpdate");
        ASSERT_TRUE(COXIL_DllMain::Instance()->LoadResources());
        m_window = CreateWindowExW(0, L"STATIC", L"host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, m_window);
        m_menuObject = std::make_unique<CMenuXP>();
        m_tray = std::make_unique<CTray>(m_window, 1, WM_APP, nullptr, L"Initial title");
        Model()->SetHandles(m_window, m_menuObject.get(), m_tray.get());
    }
    void TearDown() override
    {
        PluginHostTest::TearDown();
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFrameworkKey, L"VarnelAllowUpdate");
        m_tray.reset();
        m_menuObject.reset();
        DestroyWindow(m_window);
    }

    static CVarnelMenuUtils* Model() { return CVarnelMenuUtils::Instance(); }
    static HMENU Popup() { return COXIL_DllMain::Instance()->GetSubMenu(); }
    static int PositionOf(UINT command)
    {
        for (int i = 0; i < GetMenuItemCount(Popup()); ++i)
            if (CMenuXP::GetMenuItemID(Popup(), i) == command) return i;
        return -1;
    }
    static HMENU Flyout(UINT command)
    {
        const int position = PositionOf(command);
        return position >= 0 ? GetSubMenu(Popup(), position) : nullptr;
    }
    static UINT StateOf(UINT command) { return GetMenuState(Popup(), command, MF_BYCOMMAND); }
    static bool IsEnabled(UINT command) { return (StateOf(command) & (MF_GRAYED | MF_DISABLED)) == 0; }

    // The menu is as the availability refresh and the hiding of disabled flyouts leave it: doing
    // both once more changes nothing a user could see.
    static void ExpectNothingLeftForARefreshAndHide(const char* after)
    {
        ExpectUnchangedBy([] {
            Model()->RefreshMenuAvailability();
            Model()->CheckAndHideVarnelLegacyMenus();
        }, after);
    }
    static void ExpectNothingLeftForARefresh(const char* after)
    {
        ExpectUnchangedBy([] { Model()->RefreshMenuAvailability(); }, after);
    }
    static void ExpectUnchangedBy(const std::function<void()>& change, const char* after)
    {
        const std::vector<Shown> before = ShownIn(Popup());
        change();
        EXPECT_EQ(before, ShownIn(Popup())) << "after " << after;
    }
    static void AllowUpdates(DWORD allow)
    {
        ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kFrameworkKey, L"VarnelAllowUpdate", allow));
    }

    // Loads a copy of the window fixture under fileName that adds the given items.
    void* LoadWithItems(const std::wstring& fileName, const std::wstring& items)
    {
        const std::wstring subkey = fileName.substr(0, fileName.find(L'.'));
        Register(subkey, CopyFixture(L"FixtureWindow", fileName));
        Configure(fileName, L"MenuItems", items);
        void* handle = nullptr;
        EXPECT_TRUE(Registry()->LoadPlugin(subkey.c_str(), &handle)) << testenv::Narrow(fileName);
        return handle;
    }

    HWND m_window = nullptr;
    std::unique_ptr<CMenuXP> m_menuObject;
    std::unique_ptr<CTray> m_tray;
};

// ---------------------------------------------------------------- the model

TEST_F(Menu, SetHandlesNumbersTheFlyoutsAndEmptyOnesAreDisabledThenHidden)
{
    EXPECT_EQ(1, PositionOf(7000));
    EXPECT_EQ(2, PositionOf(7005));
    EXPECT_EQ(3, PositionOf(7010));
    for (UINT flyout : {7000u, 7005u, 7010u}) {
        EXPECT_NE(0u, StateOf(flyout) & MF_GRAYED) << flyout;
        EXPECT_EQ(nullptr, Flyout(flyout)) << "an empty flyout opens no list";
    }
    EXPECT_NE(0u, StateOf(4002) & MF_GRAYED);
    Model()->CheckAndHideVarnelLegacyMenus();
    for (UINT flyout : {7000u, 7005u, 7010u}) EXPECT_EQ(-1, PositionOf(flyout));
    EXPECT_NE(-1, PositionOf(4000));
}

TEST_F(Menu, ItemsOfOnePluginStandInItemOrderOthersGoToTheEnd)
{
    void* first = LoadWithItems(L"First.dll", L"0:5:Five;0:2:Two;0:9:Nine");
    void* second = LoadWithItems(L"Second.dll", L"0:5:Other five");
    const std::vector<Item> expected = {
        {Command(first, 2), L"Two"}, {Command(first, 5), L"Five"}, {Command(first, 9), L"Nine"},
        {Command(second, 5), L"Other five"}};
    EXPECT_EQ(expected, ItemsOf(Flyout(7000)));
    EXPECT_EQ(0u, StateOf(7000) & MF_GRAYED);
    EXPECT_EQ(-1, PositionOf(7005)) << "empty flyouts are taken out";
    EXPECT_EQ(-1, PositionOf(7010));
    EXPECT_EQ(3u, PluginOf(first)->GetMenuItems().size());
}

TEST_F(Menu, DuplicateIsRefusedAndTheSameIdWithAnotherCaptionGoesBefore)
{
    testenv::TraceCapture traces;
    void* handle = LoadWithItems(L"Dup.dll", L"1:3:Three;1:3:Three;1:3:Third");
    std::vector<std::string> results;
    for (const auto& call : CallsOf("Dup.dll"))
        if (call.name == "AddMenuItem") results.push_back(call.args[1]);
    EXPECT_EQ((std::vector<std::string>{"true", "false", "true"}), results);
    EXPECT_TRUE(traces.Contains(
        L"CVarnelMenuUtils::AddMenuItem - plugin: \"Dup\" attempted to add duplicate menu item \"Three\" - \"3\""));
    const std::vector<Item> expected = {{Command(handle, 3), L"Third"}, {Command(handle, 3), L"Three"}};
    EXPECT_EQ(expected, ItemsOf(Flyout(7005)));
}

TEST_F(Menu, AnItemWhoseCommandAlreadyStandsForAnotherItemIsRefusedWith542)
{
    void* handle = LoadWithItems(L"Taken.dll", L"0:5:Five");
    CPlugin* plugin = PluginOf(handle);
    // The host has an item of its own under the command the plug-in's item 40 would have.
    ASSERT_TRUE(InsertMenuW(Popup(), 0, MF_BYPOSITION | MF_STRING, Command(handle, 40), L"Host item"));
    plugin->ClearLastError();
    EXPECT_FALSE(Model()->AddMenuItem(handle, L"Forty", 40, VARNEL_MENU_CATEGORY_A));
    EXPECT_EQ(542, plugin->GetLastError());
    int itemId = -1;
    EXPECT_EQ(nullptr, Model()->FindPluginByCommand(Command(handle, 40), itemId)) << "a pick stays the host's";
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Five again", 5, VARNEL_MENU_CATEGORY_A))
        << "the plug-in's own command with another caption is still taken";
    RemoveMenu(Popup(), 0, MF_BYPOSITION);
}

TEST_F(Menu, ItemsAreStillPlacedInOrderAfterTheHostRemovedOneBehindTheModel)
{
    void* handle = LoadWithItems(L"Behind.dll", L"0:1:One;0:3:Three;0:5:Five");
    HMENU list = Flyout(7000);
    ASSERT_NE(nullptr, list);
    ASSERT_TRUE(RemoveMenu(list, Command(handle, 3), MF_BYCOMMAND));
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Two", 2, VARNEL_MENU_CATEGORY_A));
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Four", 4, VARNEL_MENU_CATEGORY_A));
    const std::vector<Item> expected = {{Command(handle, 1), L"One"}, {Command(handle, 2), L"Two"},
                                        {Command(handle, 4), L"Four"}, {Command(handle, 5), L"Five"}};
    EXPECT_EQ(expected, ItemsOf(list));
}

TEST_F(Menu, AHostsOwnItemDataIsNeverFollowedAsThePluginsRecord)
{
    void* handle = LoadWithItems(L"Owner.dll", L"2:12:Twelve");
    // The host keeps data of its own on an item of the tray menu, shaped like a record that names
    // the plug-in, under the command the plug-in's item 40 would have.
    CMenuXP::MENU_ITEM_DATA hostData{};
    hostData.owner = handle;
    hostData.commandId = Command(handle, 40);
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_DATA | MIIM_STRING;
    info.wID = Command(handle, 40);
    info.dwItemData = reinterpret_cast<ULONG_PTR>(&hostData);
    wchar_t caption[] = L"Host item";
    info.dwTypeData = caption;
    ASSERT_TRUE(InsertMenuItemW(Popup(), 0, TRUE, &info));
    int itemId = -1;
    EXPECT_EQ(nullptr, Model()->FindPluginByCommand(Command(handle, 40), itemId))
        << "a pick of the host's item must not reach the plug-in";
    EXPECT_EQ(handle, Model()->FindPluginByCommand(Command(handle, 12), itemId)) << "the plug-in's own item still does";
    EXPECT_EQ(12, itemId);
    RemoveMenu(Popup(), 0, MF_BYPOSITION);
}

TEST_F(Menu, AnItemsImageIsDeletedWhenTheItemLeavesTheMenu)
{
    void* handle = LoadWithItems(L"Pictured.dll", L"2:12:Twelve;2:13:Thirteen");
    HICON icon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    ASSERT_TRUE(Model()->SetMenuItemImage(handle, 12, icon, false));
    ASSERT_TRUE(Model()->SetMenuItemImage(handle, 13, icon, false));
    HBITMAP removed = CMenuXP::GetMenuItemImage(Popup(), Command(handle, 12));
    HBITMAP unloaded = CMenuXP::GetMenuItemImage(Popup(), Command(handle, 13));
    ASSERT_NE(nullptr, removed);
    ASSERT_NE(nullptr, unloaded);
    ASSERT_TRUE(Model()->RemoveMenuItem(handle, 12));
    EXPECT_EQ(0u, GetObjectType(removed)) << "removing the item deletes its image";
    EXPECT_EQ(static_cast<DWORD>(OBJ_BITMAP), GetObjectType(unloaded));
    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    EXPECT_EQ(0u, GetObjectType(unloaded)) << "an unload takes the images of the plug-in's items with them";
}

TEST_F(Menu, CommandMapsBackToItsPluginAndItemIdentifier)
{
    void* handle = LoadWithItems(L"Owner.dll", L"2:12:Twelve");
    const UINT command = static_cast<UINT>(reinterpret_cast<UINT_PTR>(handle)) + 12u;
    EXPECT_EQ(command, Command(handle, 12));
    int itemId = -1;
    EXPECT_EQ(handle, Model()->FindPluginByCommand(command, itemId));
    EXPECT_EQ(12, itemId);
    EXPECT_EQ(nullptr, Model()->FindPluginByCommand(4000, itemId));
    EXPECT_EQ(0, itemId);
    EXPECT_EQ(4000u, Command(nullptr, 4000));
    EXPECT_EQ(4000u, Command(VARNEL_MAIN_APP_HANDLE, 4000));
}

TEST_F(Menu, CommandsOfPluginsLoadedOneAfterAnotherNeverCollide)
{
    // Each plug-in uses the same small identifiers and the greatest 16-bit one; records placed
    // close together would give one plug-in's command to another's item.
    const auto caption = [](size_t plugin, int id) { return L"P" + std::to_wstring(plugin) + L" item " + std::to_wstring(id); };
    const std::vector<int> ids = [] {
        std::vector<int> all;
        for (int id = 1; id <= 40; ++id) all.push_back(id);
        all.push_back(65535);
        return all;
    }();
    std::vector<void*> handles;
    const auto load = [&](size_t index) {
        std::wstring items;
        for (int id : ids) items += L"0:" + std::to_wstring(id) + L":" + caption(index, id) + L";";
        return LoadWithItems(L"Near" + std::to_wstring(index) + L".dll", items);
    };
    for (size_t index = 0; index < 4; ++index) handles.push_back(load(index));
    // A plug-in unloaded and loaded again gets a new handle, also clear of the others.
    ASSERT_TRUE(Registry()->UnloadPlugin(handles[1]));
    ASSERT_TRUE(Registry()->LoadPlugin(L"Near1", &handles[1]));
    for (size_t a = 0; a < handles.size(); ++a)
        for (size_t b = a + 1; b < handles.size(); ++b) {
            const UINT distance = Command(handles[a], 0) - Command(handles[b], 0);
            EXPECT_GE(std::min(distance, 0u - distance), 0x10000u) << a << " and " << b;
        }

    const std::vector<Item> listed = ItemsOf(Flyout(7000));
    ASSERT_EQ(handles.size() * ids.size(), listed.size());
    std::set<UINT> commands;
    for (const Item& item : listed) {
        EXPECT_TRUE(commands.insert(item.command).second) << "command " << item.command << " stands twice";
        int itemId = -1;
        void* owner = Model()->FindPluginByCommand(item.command, itemId);
        const size_t index = std::find(handles.begin(), handles.end(), owner) - handles.begin();
        ASSERT_LT(index, handles.size()) << "command " << item.command << " has no owner";
        EXPECT_EQ(caption(index, itemId), item.caption) << "command " << item.command << " routes elsewhere";
    }
    // Removing one plug-in's item leaves every other plug-in's items where they are.
    ASSERT_TRUE(Model()->RemoveMenuItem(handles[0], 17));
    for (size_t other = 1; other < handles.size(); ++other)
        for (int id : {1, 17, 40, 65535})
            EXPECT_TRUE(Model()->DoesMenuItemExist(handles[other], static_cast<UINT>(id))) << other << ":" << id;
    EXPECT_EQ(handles.size() * ids.size() - 1, ItemsOf(Flyout(7000)).size());
}

TEST_F(Menu, OnlyAFlyoutWithTheDisabledBitIsHiddenNotOneTheHostGrayed)
{
    void* handle = LoadWithItems(L"Grayed.dll", L"0:1:One");
    const auto setState = [](UINT state) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_STATE;
        info.fState = state;
        return SetMenuItemInfoW(Popup(), 7000, FALSE, &info);
    };
    ASSERT_TRUE(setState(MF_GRAYED));  // 0x1 alone
    Model()->CheckAndHideVarnelLegacyMenus();
    ASSERT_NE(-1, PositionOf(7000)) << "a flyout the host merely grayed stays";
    EXPECT_EQ((std::vector<Item>{{Command(handle, 1), L"One"}}), ItemsOf(Flyout(7000)));
    ASSERT_TRUE(setState(MF_DISABLED));  // 0x2
    Model()->CheckAndHideVarnelLegacyMenus();
    EXPECT_EQ(-1, PositionOf(7000));
}

TEST_F(Menu, UnknownCategoryFailsAfterTheFlyoutsAreRecreated)
{
    Model()->CheckAndHideVarnelLegacyMenus();
    testenv::TraceCapture traces;
    void* handle = LoadWithItems(L"Lost.dll", L"3:1:Nowhere");
    EXPECT_EQ("false", CallsOf("Lost.dll").back().args[1]);
    EXPECT_TRUE(traces.Contains(L"hMenu is NULL"));
    EXPECT_TRUE(PluginOf(handle)->GetMenuItems().empty());
    // The load ended with the availability refresh and the hiding of empty flyouts.
    EXPECT_EQ(-1, PositionOf(7000));
}

TEST_F(Menu, MissingFlyoutComesBackAtItsOrdinalWithItsCaption)
{
    Model()->CheckAndHideVarnelLegacyMenus();
    Model()->DisplayVarnelLegacyMenus(VARNEL_MENU_CATEGORY_B);
    EXPECT_EQ(2, PositionOf(7005));
    wchar_t caption[MAX_PATH];
    GetMenuStringW(Popup(), 7005, caption, MAX_PATH, MF_BYCOMMAND);
    EXPECT_EQ(String(21), caption);
    testenv::TraceCapture traces;
    const int count = GetMenuItemCount(Popup());
    Model()->DisplayVarnelLegacyMenus(VARNEL_MENU_CATEGORY_B);
    EXPECT_TRUE(traces.Contains(L">>>  DisplayVarnelLegacyMenus found category return <<<"));
    EXPECT_EQ(count, GetMenuItemCount(Popup()));
}

TEST_F(Menu, UnloadTakesThePluginsItemsOutAndHidesItsEmptyFlyout)
{
    void* handle = LoadWithItems(L"Gone.dll", L"0:1:One;0:2:Two");
    void* stays = LoadWithItems(L"Stays.dll", L"1:1:Stay");
    ASSERT_EQ(2u, ItemsOf(Flyout(7000)).size());
    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    EXPECT_EQ(-1, PositionOf(7000));
    EXPECT_EQ((std::vector<Item>{{Command(stays, 1), L"Stay"}}), ItemsOf(Flyout(7005)));
    int itemId = 0;
    EXPECT_EQ(nullptr, Model()->FindPluginByCommand(Command(handle, 1), itemId));
}

TEST_F(Menu, AnEmptiedFlyoutsListStaysAliveAndComesBackWithTheNextItem)
{
    void* handle = LoadWithItems(L"Leaving.dll", L"0:1:One");
    HMENU list = Flyout(7000);
    ASSERT_NE(nullptr, list);
    ASSERT_TRUE(Registry()->UnloadPlugin(handle));
    Unregister(L"Leaving");  // the next load walk would load it again
    EXPECT_EQ(-1, PositionOf(7000));
    EXPECT_TRUE(IsMenu(list)) << "a host may still hold the emptied list";
    void* next = LoadWithItems(L"Arriving.dll", L"0:4:Four");
    EXPECT_EQ(list, Flyout(7000)) << "the same list comes back";
    EXPECT_EQ((std::vector<Item>{{Command(next, 4), L"Four"}}), ItemsOf(list));
}

TEST_F(Menu, SuiteEntriesStandInLoadOrderAboveTheItemBeforeSystemHealth)
{
    Register(L"SuiteA", CopyFixture(L"FixtureSuite", L"SuiteA.dll"));
    Register(L"SuiteB", CopyFixture(L"FixtureSuite", L"SuiteB.dll"));
    for (const wchar_t* file : {L"SuiteA.dll", L"SuiteB.dll"}) {
        Configure(file, L"SuiteResult", 1);
        Configure(file, L"SuiteText", std::wstring(L"Open ") + file);
    }
    ASSERT_TRUE(Registry()->LoadPlugins());
    const int health = PositionOf(4000);
    ASSERT_GE(health, 3);
    EXPECT_EQ(25001u, CMenuXP::GetMenuItemID(Popup(), health - 3));
    EXPECT_EQ(25002u, CMenuXP::GetMenuItemID(Popup(), health - 2));
    EXPECT_EQ(MF_SEPARATOR, GetMenuState(Popup(), static_cast<UINT>(health - 1), MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_NE(nullptr, CMenuXP::GetMenuItemImage(Popup(), 25001)) << "the entry shows its state image";
    for (void* handle : Registry()->GetPluginList())
        EXPECT_EQ(0u, PluginOf(handle)->GetFlags() & PLUGIN_FLAG_ERROR) << "a clean load records no error";

    Registry()->NotifySuiteMenuAction(25002);
    const auto actions = CallsOf("SuiteB.dll");
    EXPECT_EQ("SuiteAction", actions.back().name);
    EXPECT_TRUE(CallsOf("SuiteA.dll").back().name != "SuiteAction");
}

TEST_F(Menu, UpdateItemNeedsAnUpdaterAndTheRegistryFlag)
{
    Register(L"Updater", Fixture(L"FixtureUpdater"));
    ASSERT_TRUE(Registry()->LoadPlugins());
    EXPECT_NE(0u, StateOf(4002) & MF_GRAYED) << "no flag";
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kFrameworkKey, L"VarnelAllowUpdate", 1));
    Model()->RefreshMenuAvailability();
    EXPECT_EQ(0u, StateOf(4002) & MF_GRAYED);
    Registry()->UnloadPlugins(false);
    EXPECT_NE(0u, StateOf(4002) & MF_GRAYED) << "no updater";
}

// ---------------------------------------------------------------- the menu after each change

TEST_F(Menu, AnAddHidesAgainTheFlyoutsItBroughtBackThatStayEmpty)
{
    void* handle = LoadWithItems(L"Tools.dll", L"0:1:Alpha;1:2:Beta;2:3:Gamma");
    ASSERT_TRUE(VarnelRemoveMenuItem(handle, 2));
    ASSERT_TRUE(VarnelRemoveMenuItem(handle, 3));
    ASSERT_EQ(-1, PositionOf(7005));
    ASSERT_EQ(-1, PositionOf(7010));

    // The second category's flyout is missing: the add brings it back.
    wchar_t caption[] = L"Beta again";
    EXPECT_TRUE(VarnelAddMenuItem(handle, caption, 4, VARNEL_MENU_CATEGORY_B));
    EXPECT_EQ(2, PositionOf(7005));
    EXPECT_TRUE(IsEnabled(7005));
    EXPECT_EQ((std::vector<Item>{{Command(handle, 4), L"Beta again"}}), ItemsOf(Flyout(7005)));
    EXPECT_EQ(-1, PositionOf(7010)) << "the third category came back empty and must leave again";
    EXPECT_TRUE(IsEnabled(7000));
    ExpectNothingLeftForARefreshAndHide("the add");
}

TEST_F(Menu, AFlyoutBroughtBackStandsWhereItStandsOnceTheEmptyOnesBeforeItLeaveAgain)
{
    void* handle = LoadWithItems(L"Order.dll", L"0:1:Alpha;1:2:Beta;2:3:Gamma");
    ASSERT_TRUE(VarnelRemoveMenuItem(handle, 1));
    ASSERT_TRUE(VarnelRemoveMenuItem(handle, 2));
    ASSERT_EQ(1, PositionOf(7010));

    // The first category comes back before the second and leaves again: the second stands first.
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Beta again", 4, VARNEL_MENU_CATEGORY_B));
    EXPECT_EQ(-1, PositionOf(7000));
    EXPECT_EQ(1, PositionOf(7005));
    EXPECT_EQ(2, PositionOf(7010));
    ExpectNothingLeftForARefreshAndHide("the add");
}

TEST_F(Menu, AnAddThatFailsAfterBringingBackFlyoutsLeavesThemAllInTheMenu)
{
    void* handle = LoadWithItems(L"Failing.dll", L"0:1:Alpha;1:2:Beta;2:3:Gamma");
    ASSERT_TRUE(VarnelRemoveMenuItem(handle, 2));
    ASSERT_TRUE(VarnelRemoveMenuItem(handle, 3));
    // The host has an item of its own under the command the plug-in's item 40 would have.
    ASSERT_TRUE(AppendMenuW(Popup(), MF_STRING, Command(handle, 40), L"Host item"));

    EXPECT_FALSE(Model()->AddMenuItem(handle, L"Forty", 40, VARNEL_MENU_CATEGORY_B));
    // Both missing flyouts came back, enabled, and nothing hid them again; the second got its list.
    EXPECT_EQ(2, PositionOf(7005));
    EXPECT_EQ(3, PositionOf(7010));
    EXPECT_TRUE(IsEnabled(7005));
    EXPECT_TRUE(IsEnabled(7010));
    ASSERT_NE(nullptr, Flyout(7005));
    EXPECT_EQ(0, GetMenuItemCount(Flyout(7005)));
    EXPECT_EQ(nullptr, Flyout(7010));

    // An item whose command is the identifier of a missing flyout meets that flyout brought back.
    RemoveMenu(Popup(), Command(handle, 40), MF_BYCOMMAND);
    Model()->RefreshMenuAvailability();
    Model()->CheckAndHideVarnelLegacyMenus();
    ASSERT_EQ(-1, PositionOf(7005));
    const int flyoutsCommand = static_cast<int>(7005u - Command(handle, 0));
    EXPECT_FALSE(Model()->AddMenuItem(handle, L"Clash", flyoutsCommand, VARNEL_MENU_CATEGORY_C));
    EXPECT_EQ(2, PositionOf(7005));
    EXPECT_EQ(3, PositionOf(7010));
}

TEST_F(Menu, AnAddHidesADisabledItemThatWasGivenAFlyoutsIdentifier)
{
    void* handle = LoadWithItems(L"Renumber.dll", L"0:1:Alpha;2:3:Gamma");
    // The separator after the flyouts (disabled, as separators are) now carries the third
    // category's identifier as well.
    const int separator = PositionOf(7010) + 1;
    ASSERT_NE(0u, GetMenuState(Popup(), static_cast<UINT>(separator), MF_BYPOSITION) & MF_DISABLED);
    const int count = GetMenuItemCount(Popup());
    ASSERT_TRUE(VarnelSetMenuItemID(Popup(), separator, 7010));

    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Alpha two", 2, VARNEL_MENU_CATEGORY_A));
    EXPECT_EQ(count - 1, GetMenuItemCount(Popup())) << "the disabled item is hidden like a flyout";
    EXPECT_EQ((std::vector<Item>{{Command(handle, 3), L"Gamma"}}), ItemsOf(Flyout(7010)));
    EXPECT_TRUE(IsEnabled(7010));
    ExpectNothingLeftForARefreshAndHide("the add");
}

TEST_F(Menu, AnAddHidesAFlyoutThatARemovalLeftDisabledInTheMenu)
{
    void* handle = LoadWithItems(L"Left.dll", L"0:1:Alpha;1:2:Beta");
    // The model's own removal disables the emptied flyout; only its callers hide it.
    ASSERT_TRUE(Model()->RemoveMenuItem(handle, 2));
    ASSERT_NE(-1, PositionOf(7005));
    ASSERT_FALSE(IsEnabled(7005));
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Alpha two", 5, VARNEL_MENU_CATEGORY_A));
    EXPECT_EQ(-1, PositionOf(7005));
    ExpectNothingLeftForARefreshAndHide("the add");
}

TEST_F(Menu, AnAddHidesAFlyoutTheHostBroughtBackWithNothingInIt)
{
    void* handle = LoadWithItems(L"Shown.dll", L"0:1:Alpha");
    ASSERT_EQ(-1, PositionOf(7010));
    Model()->DisplayVarnelLegacyMenus(VARNEL_MENU_CATEGORY_C);
    ASSERT_EQ(3, PositionOf(7010));
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Alpha two", 2, VARNEL_MENU_CATEGORY_A));
    EXPECT_EQ(-1, PositionOf(7010));
    ExpectNothingLeftForARefreshAndHide("the add");
}

TEST_F(Menu, AnAddUndoesWhatTheHostsItemOperationsDidToFlyoutsAndTheUpdateItem)
{
    void* handle = LoadWithItems(L"Host.dll", L"0:1:Alpha;1:2:Beta");
    ASSERT_TRUE(Model()->EnableMenuItem(VARNEL_MAIN_APP_HANDLE, 7000, MF_DISABLED | MF_GRAYED));
    // A new caption makes the flyout a plain item: its list is detached.
    ASSERT_TRUE(Model()->SetMenuString(VARNEL_MAIN_APP_HANDLE, 7005, L"No list"));
    ASSERT_TRUE(Model()->EnableMenuItem(VARNEL_MAIN_APP_HANDLE, 4002, MF_ENABLED));
    ASSERT_FALSE(IsEnabled(7000));
    ASSERT_EQ(nullptr, Flyout(7005));
    ASSERT_TRUE(IsEnabled(4002));

    wchar_t caption[] = L"Gamma";
    EXPECT_TRUE(VarnelAddMenuItem(handle, caption, 3, VARNEL_MENU_CATEGORY_C));
    EXPECT_TRUE(IsEnabled(7000)) << "a flyout with items is enabled";
    EXPECT_EQ(-1, PositionOf(7005)) << "a flyout without a list is empty";
    EXPECT_FALSE(IsEnabled(4002)) << "no updater is loaded";
    EXPECT_TRUE(IsEnabled(7010));
    ExpectNothingLeftForARefreshAndHide("the add");
}

TEST_F(Menu, AnAddSetsTheUpdateItemByTheFlagAsItStandsWhileAnUpdaterIsLoaded)
{
    Register(L"Updater", Fixture(L"FixtureUpdater"));
    void* handle = LoadWithItems(L"Adder.dll", L"0:1:Alpha");
    ASSERT_FALSE(IsEnabled(4002)) << "no flag yet";
    AllowUpdates(1);
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Two", 2, VARNEL_MENU_CATEGORY_A));
    EXPECT_TRUE(IsEnabled(4002));
    AllowUpdates(0);
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"Three", 3, VARNEL_MENU_CATEGORY_A));
    EXPECT_FALSE(IsEnabled(4002));
    ExpectNothingLeftForARefreshAndHide("the adds");
}

TEST_F(Menu, RemovingTheItemsOfAPluginThatHasNoneStillRefreshesTheAvailability)
{
    Register(L"Updater", Fixture(L"FixtureUpdater"));
    void* handle = LoadWithItems(L"Empty.dll", L"");
    Model()->DisplayVarnelLegacyMenus(VARNEL_MENU_CATEGORY_C);
    ASSERT_TRUE(IsEnabled(7010));
    AllowUpdates(1);
    Model()->RemovePluginMenuItems(handle);
    EXPECT_FALSE(IsEnabled(7010)) << "an empty flyout is disabled";
    EXPECT_EQ(3, PositionOf(7010)) << "and stays until the next hiding";
    EXPECT_TRUE(IsEnabled(4002)) << "the flag is read as it stands";
    ExpectNothingLeftForARefresh("the removal");
}

TEST_F(Menu, UnloadingEveryPluginHidesAFlyoutTheHostBroughtBackEmpty)
{
    LoadWithItems(L"Quiet.dll", L"");
    Model()->DisplayVarnelLegacyMenus(VARNEL_MENU_CATEGORY_B);
    ASSERT_EQ(2, PositionOf(7005));
    Registry()->UnloadPlugins(false);
    EXPECT_EQ(-1, PositionOf(7005));
    ExpectNothingLeftForARefreshAndHide("unloading every plug-in");
}

TEST_F(Menu, CaptionsThatDifferOnlyInCaseAreNoDuplicates)
{
    void* handle = LoadWithItems(L"Case.dll", L"1:3:Three;1:3:three;1:3:three");
    std::vector<std::string> results;
    for (const auto& call : CallsOf("Case.dll"))
        if (call.name == "AddMenuItem") results.push_back(call.args[1]);
    EXPECT_EQ((std::vector<std::string>{"true", "true", "false"}), results);
    const std::vector<Item> expected = {{Command(handle, 3), L"three"}, {Command(handle, 3), L"Three"}};
    EXPECT_EQ(expected, ItemsOf(Flyout(7005)));
}

// The add's flyout is refreshed again only when it held no plug-in item: one item of the host's
// alone counts as nothing, a host item before a plug-in item (two items) or before two does not.
// The refresh of a flyout that already held items would change nothing; it shows in the trace.
TEST_F(Menu, AnAddRefreshesItsFlyoutOnlyWhenTheFlyoutHeldNoPluginItem)
{
    void* handle = LoadWithItems(L"Held.dll", L"0:5:Five");
    HMENU list = Flyout(7000);
    ASSERT_TRUE(InsertMenuW(list, 0, MF_BYPOSITION | MF_STRING, 4321, L"Host item"));
    const std::wstring enabling = L"CVarnelMenuUtils::EnableDisableFlyout - ENABLING \"" + String(20) + L"\"";
    testenv::TraceCapture capture;
    const auto refreshedByAdd = [&](int itemId) {
        capture.Clear();
        EXPECT_TRUE(Model()->AddMenuItem(handle, L"Added", itemId, VARNEL_MENU_CATEGORY_A)) << itemId;
        return capture.Count(enabling);
    };

    ASSERT_EQ(2, GetMenuItemCount(list));
    EXPECT_EQ(0u, refreshedByAdd(6)) << "a host item and a plug-in item";
    ASSERT_TRUE(Model()->RemoveMenuItem(handle, 5));
    ASSERT_TRUE(Model()->RemoveMenuItem(handle, 6));
    ASSERT_EQ(1, GetMenuItemCount(list));
    EXPECT_EQ(1u, refreshedByAdd(7)) << "the host item alone";
    ASSERT_TRUE(InsertMenuW(list, 0, MF_BYPOSITION | MF_STRING, 4322, L"Second host item"));
    ASSERT_EQ(3, GetMenuItemCount(list));
    EXPECT_EQ(0u, refreshedByAdd(8)) << "two host items and a plug-in item";
    ExpectNothingLeftForARefreshAndHide("the adds");
}

TEST_F(Menu, AListReadAgainPlacesAndRefusesItemsAsTheIndexDoes)
{
    void* handle = LoadWithItems(L"Moved.dll", L"0:5:Five;1:3:Three;1:4:Four;1:8:Eight;2:6:Six");
    HMENU first = Flyout(7000);
    HMENU second = Flyout(7005);
    HMENU third = Flyout(7010);
    // Behind the model the host moves items 3 and 4 into the first and third flyouts and takes
    // out the items that stood there, so the model has to read those lists again.
    const auto move = [&](int itemId, HMENU into) {
        wchar_t caption[MAX_PATH];
        MENUITEMINFOW info{};
        ASSERT_TRUE(CMenuXP::GetMenuItemInfoW(second, Command(handle, itemId), false, info, caption, MAX_PATH));
        info.fMask = MIIM_ID | MIIM_DATA | MIIM_STRING | MIIM_FTYPE | MIIM_STATE;
        info.dwTypeData = caption;
        ASSERT_TRUE(RemoveMenu(second, Command(handle, itemId), MF_BYCOMMAND));
        ASSERT_TRUE(InsertMenuItemW(into, 0, TRUE, &info));
    };
    move(3, first);
    move(4, third);
    ASSERT_TRUE(RemoveMenu(first, Command(handle, 5), MF_BYCOMMAND));
    ASSERT_TRUE(RemoveMenu(third, Command(handle, 6), MF_BYCOMMAND));

    // Only the case differs: another caption, so the new item goes before the one that stands.
    EXPECT_TRUE(Model()->AddMenuItem(handle, L"three", 3, VARNEL_MENU_CATEGORY_A));
    EXPECT_EQ((std::vector<Item>{{Command(handle, 3), L"three"}, {Command(handle, 3), L"Three"}}), ItemsOf(first));
    EXPECT_FALSE(Model()->AddMenuItem(handle, L"Four", 4, VARNEL_MENU_CATEGORY_C));
    EXPECT_EQ((std::vector<Item>{{Command(handle, 4), L"Four"}}), ItemsOf(third));
}

TEST(MenuNotReady, MenuOperationsBeforeSetHandlesReport421)
{
    CErrorMsg::Instance()->Error(1);
    EXPECT_FALSE(CVarnelMenuUtils::Instance()->AddMenuItem(VARNEL_MAIN_APP_HANDLE, L"x", 1, VARNEL_MENU_CATEGORY_A));
    EXPECT_EQ(421, CErrorMsg::Instance()->GetLastError());
    CErrorMsg::Instance()->Error(1);
    EXPECT_FALSE(CVarnelMenuUtils::Instance()->DoesMenuItemExist(VARNEL_MAIN_APP_HANDLE, 4000));
    EXPECT_EQ(421, CErrorMsg::Instance()->GetLastError());
    delete COXIL_DllMain::Instance();
}

// ---------------------------------------------------------------- item operations

TEST_F(Menu, ItemOperationsActOnTheCommandMadeFromTheHandle)
{
    void* handle = LoadWithItems(L"Items.dll", L"0:5:Five;0:6:Six");
    CPlugin* plugin = PluginOf(handle);

    EXPECT_TRUE(Model()->SetMenuString(handle, 5, L"Five again"));
    wchar_t caption[MAX_PATH];
    EXPECT_EQ(1, Model()->GetMenuStringW(handle, 5, caption, MAX_PATH));
    EXPECT_STREQ(L"Five again", caption);

    EXPECT_TRUE(Model()->CheckMenuItem(handle, 6, MF_BYPOSITION | MF_CHECKED));
    EXPECT_TRUE(Model()->EnableMenuItem(handle, 6, MF_GRAYED));
    bool checked = false, enabled = true;
    EXPECT_TRUE(Model()->GetMenuItemState(handle, 6, checked, enabled));
    EXPECT_TRUE(checked);
    EXPECT_FALSE(enabled);
    EXPECT_TRUE(Model()->GetMenuItemState(handle, 5, checked, enabled));
    EXPECT_FALSE(checked);
    EXPECT_TRUE(enabled);

    EXPECT_TRUE(Model()->DoesMenuItemExist(handle, 5));
    EXPECT_EQ(0, plugin->GetLastError());
    EXPECT_FALSE(Model()->DoesMenuItemExist(handle, 77));
    EXPECT_EQ(0, plugin->GetLastError()) << "a miss of the existence test is no error";
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, plugin->GetState());

    // The host reaches a plug-in's item by its full command identifier.
    EXPECT_TRUE(Model()->DoesMenuItemExist(VARNEL_MAIN_APP_HANDLE, Command(handle, 5)));
}

TEST_F(Menu, MissesAreReportedAgainstThePluginWithTheirCodes)
{
    void* handle = LoadWithItems(L"Miss.dll", L"0:5:Five");
    CPlugin* plugin = PluginOf(handle);
    wchar_t caption[MAX_PATH] = L"";
    bool checked = false, enabled = false;
    const struct {
        int code;
        std::function<bool()> call;
    } cases[] = {
        {541, [&] { return Model()->RemoveMenuItem(handle, 9); }},
        {540, [&] { return Model()->SetMenuString(handle, 5, L""); }},
        {540, [&] { return Model()->SetMenuString(handle, 9, L"x"); }},
        {539, [&] { return Model()->GetMenuStringW(handle, 5, nullptr, MAX_PATH) != 0; }},
        {539, [&] { return Model()->GetMenuStringW(handle, 9, caption, MAX_PATH) != 0; }},
        {538, [&] { return Model()->GetMenuItemState(handle, 9, checked, enabled); }},
        {537, [&] { return Model()->CheckMenuItem(handle, 9, MF_CHECKED); }},
        {536, [&] { return Model()->EnableMenuItem(handle, 9, MF_GRAYED); }},
    };
    for (const auto& c : cases) {
        plugin->ClearLastError();
        EXPECT_FALSE(c.call()) << c.code;
        EXPECT_EQ(c.code, plugin->GetLastError());
        EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, plugin->GetState()) << c.code;
    }
    EXPECT_EQ(1, Model()->GetMenuStringW(handle, 5, caption, MAX_PATH));
    EXPECT_STREQ(L"Five", caption) << "an empty caption changes nothing";

    EXPECT_TRUE(Model()->RemoveMenuItem(handle, 5));
    EXPECT_TRUE(plugin->GetMenuItems().empty()) << "the removed item's record is released";
    plugin->ClearLastError();
    EXPECT_FALSE(Model()->RemoveMenuItem(handle, 5));
    EXPECT_EQ(541, plugin->GetLastError());
}

TEST_F(Menu, HostItemsAreReachedByTheirPlainIdentifiers)
{
    EXPECT_TRUE(Model()->EnableMenuItem(VARNEL_MAIN_APP_HANDLE, 4000, MF_GRAYED));
    EXPECT_NE(0u, StateOf(4000) & MF_GRAYED);
    EXPECT_TRUE(Model()->EnableMenuItem(VARNEL_MAIN_APP_HANDLE, 4000, MF_ENABLED));
    EXPECT_EQ(0u, StateOf(4000) & MF_GRAYED);
    CErrorMsg::Instance()->Error(1);
    EXPECT_FALSE(Model()->EnableMenuItem(VARNEL_MAIN_APP_HANDLE, 4999, MF_GRAYED));
    EXPECT_EQ(536, CErrorMsg::Instance()->GetLastError()) << "a host miss is a global error";

    void* bogus = reinterpret_cast<void*>(static_cast<UINT_PTR>(0x1234));
    EXPECT_FALSE(Model()->EnableMenuItem(bogus, 4000, MF_GRAYED));
    EXPECT_EQ(530, CErrorMsg::Instance()->GetLastError());
}

TEST_F(Menu, ImagesAreFoundByPathOrInTheGuiFolders)
{
    void* handle = LoadWithItems(L"Pictures.dll", L"0:5:Five;0:6:Six;0:7:Seven");
    CPlugin* plugin = PluginOf(handle);
    EXPECT_TRUE(Model()->SetMenuItemImage(handle, 5, L"tray_menu_okay1.png", true));
    EXPECT_NE(nullptr, CMenuXP::GetMenuItemImage(Popup(), Command(handle, 5)));

    wchar_t full[MAX_PATH];
    CVarnelPrivateInterface::GetImageFilename(nullptr, L"tray_menu_issue.png", full, MAX_PATH);
    EXPECT_TRUE(Model()->SetMenuItemImage(handle, 6, full, true));
    EXPECT_TRUE(Model()->SetMenuItemImage(handle, 7, COXIL_DllMain::Instance()->GetMenuIcon(2, full, MAX_PATH), true));
    EXPECT_NE(nullptr, CMenuXP::GetMenuItemImage(Popup(), Command(handle, 7)));
    EXPECT_EQ(0, plugin->GetLastError());

    EXPECT_FALSE(Model()->SetMenuItemImage(handle, 5, L"nowhere.png", true));
    EXPECT_EQ(568, plugin->GetLastError());
    plugin->ClearLastError();
    EXPECT_FALSE(Model()->SetMenuItemImage(handle, 5, L"nowhere.png", false));
    EXPECT_EQ(0, plugin->GetLastError()) << "no report asked for";

    EXPECT_TRUE(Model()->SetMenuItemImage(handle, L"Six", L"tray_menu_okay.png", true));
    EXPECT_FALSE(Model()->SetMenuItemImage(handle, L"Six", L"nowhere.png", true));
    EXPECT_EQ(558, plugin->GetLastError());
    EXPECT_FALSE(Model()->SetMenuItemImage(handle, L"No such caption", L"tray_menu_okay.png", true));
    EXPECT_EQ(568, plugin->GetLastError());

    CErrorMsg::Instance()->Error(1);
    EXPECT_FALSE(Model()->SetSuiteMenuItemImage(VARNEL_MAIN_APP_HANDLE, 25001, L"tray_menu_okay.png", true));
    EXPECT_EQ(530, CErrorMsg::Instance()->GetLastError());
}

// ---------------------------------------------------------------- tray state

TEST_F(Menu, MergedStateChoosesTheTrayIconHealthImageAndTitle)
{
    void* first = LoadWithItems(L"StateA.dll", L"");
    void* second = LoadWithItems(L"StateB.dll", L"");
    wchar_t text[64] = L"needs attention";
    wchar_t title[MAX_PATH];
    VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;

    Registry()->SetState(first, VARNEL_PLUGIN_STATE_WARNING, text, nullptr);
    wchar_t failed[64] = L"failed";
    Registry()->SetState(second, VARNEL_PLUGIN_STATE_ERROR, failed, nullptr);
    ASSERT_TRUE(Registry()->GetTrayState(state, title, MAX_PATH));
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, state);
    EXPECT_EQ(String(326), title);
    wchar_t image[MAX_PATH];
    EXPECT_EQ(COXIL_DllMain::Instance()->GetTrayIcon(2, image, MAX_PATH, 16, 16), m_tray->GetTrayIcon());
    EXPECT_NE(nullptr, CMenuXP::GetMenuItemImage(Popup(), 4000));

    wchar_t fine[64] = L"";
    Registry()->SetState(second, VARNEL_PLUGIN_STATE_OK, fine, nullptr);
    ASSERT_TRUE(Registry()->GetTrayState(state, title, MAX_PATH));
    EXPECT_EQ(VARNEL_PLUGIN_STATE_WARNING, state);
    EXPECT_EQ(String(326), title);

    Registry()->SetState(first, VARNEL_PLUGIN_STATE_OK, fine, nullptr);
    ASSERT_TRUE(Registry()->GetTrayState(state, title, MAX_PATH));
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, state);
    wchar_t expected[MAX_PATH];
    zerova::FormatString(expected, MAX_PATH, String(328).c_str(), String(57).c_str());
    EXPECT_STREQ(expected, title);
    EXPECT_EQ(COXIL_DllMain::Instance()->GetTrayIcon(0, image, MAX_PATH, 16, 16), m_tray->GetTrayIcon());
}

TEST_F(Menu, TrayTitleAndIconGoBackToTheirDefaults)
{
    Model()->ModifyTrayTitle(L"Changed");
    wchar_t title[MAX_PATH];
    EXPECT_STREQ(L"Changed", Model()->GetTrayTitle(title, MAX_PATH));
    Model()->ModifyTrayTitle(nullptr);
    EXPECT_STREQ(L"Initial title", Model()->GetTrayTitle(title, MAX_PATH));
    wchar_t image[MAX_PATH];
    Model()->ModifyTrayIcon(COXIL_DllMain::Instance()->GetTrayIcon(2, image, MAX_PATH, 16, 16));
    Model()->ModifyTrayIcon(nullptr);
    EXPECT_EQ(nullptr, Model()->GetTrayIcon());
    CErrorMsg::Instance()->Error(1);
    EXPECT_EQ(nullptr, Model()->GetTrayTitle(nullptr, MAX_PATH));
    EXPECT_EQ(531, CErrorMsg::Instance()->GetLastError());
}

TEST_F(Menu, AStateChangeShowsTheStateImageAgainAfterTheHostReplacedIt)
{
    void* handle = LoadWithItems(L"Look.dll", L"");
    wchar_t first[64] = L"first";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_WARNING, first, nullptr);
    const HBITMAP stateImage = CMenuXP::GetMenuItemImage(Popup(), 4000);
    ASSERT_NE(nullptr, stateImage);
    ASSERT_TRUE(Model()->SetMenuItemImage(VARNEL_MAIN_APP_HANDLE, 4000,
                                          LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION)), false));
    const HBITMAP hostImage = CMenuXP::GetMenuItemImage(Popup(), 4000);
    ASSERT_NE(stateImage, hostImage);

    // Another text in the same state: the merged state, icon and title stay as they are.
    wchar_t second[64] = L"second";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_WARNING, second, nullptr);
    EXPECT_NE(hostImage, CMenuXP::GetMenuItemImage(Popup(), 4000));
    EXPECT_EQ(0u, GetObjectType(hostImage)) << "the state's image replaced the host's";
}

// ---------------------------------------------------------------- helpers for any menu

TEST(MenuHelpers, ChecksumAddsWordsAndCaptionUnitsDepthFirst)
{
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 100, L"AB");
    MENUITEMINFOW info{};
    CMenuXP::GetMenuItemInfoW(menu, 0, true, info, nullptr, 0);
    __int64 sum = 5;
    CVarnelMenuUtils::Checksum(menu, sum);
    EXPECT_EQ(5 + static_cast<__int64>(info.fMask) + info.fState + info.fType + 231, sum);

    __int64 before = 0;
    CVarnelMenuUtils::Checksum(menu, before);
    HMENU list = CreatePopupMenu();
    AppendMenuW(list, MF_STRING, 7, L"C");
    AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(list), L"");
    __int64 withList = 0;
    CVarnelMenuUtils::Checksum(menu, withList);
    EXPECT_NE(before, withList);

    auto sumOf = [](HMENU m) {
        __int64 s = 0;
        CVarnelMenuUtils::Checksum(m, s);
        return s;
    };
    const __int64 unchanged = sumOf(menu);
    CheckMenuItem(menu, 100, MF_CHECKED);
    EXPECT_NE(unchanged, sumOf(menu));
    CheckMenuItem(menu, 100, MF_UNCHECKED);
    EXPECT_EQ(unchanged, sumOf(menu));
    ModifyMenuW(list, 7, MF_BYCOMMAND | MF_STRING, 7, L"D");
    EXPECT_NE(unchanged, sumOf(menu)) << "a change in a list below counts";

    HMENU a = CreatePopupMenu();
    HMENU b = CreatePopupMenu();
    AppendMenuW(a, MF_STRING, 1, L"one");
    AppendMenuW(a, MF_STRING, 2, L"two");
    AppendMenuW(b, MF_STRING, 2, L"two");
    AppendMenuW(b, MF_STRING, 1, L"one");
    EXPECT_EQ(sumOf(a), sumOf(b));
    __int64 none = 9;
    CVarnelMenuUtils::Checksum(nullptr, none);
    EXPECT_EQ(9, none);
    DestroyMenu(a);
    DestroyMenu(b);
    DestroyMenu(menu);
}

TEST(MenuHelpers, SetMenuItemIDDetachesAListAndCreateMenuHoldsOneItem)
{
    HMENU menu = CreatePopupMenu();
    HMENU list = CreatePopupMenu();
    AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(list), L"Flyout");
    EXPECT_TRUE(CVarnelMenuUtils::SetMenuItemID(menu, 0, 9001));
    EXPECT_EQ(9001u, CMenuXP::GetMenuItemID(menu, 0));
    EXPECT_EQ(nullptr, GetSubMenu(menu, 0));
    EXPECT_TRUE(IsMenu(list)) << "detached, not destroyed";
    EXPECT_FALSE(CVarnelMenuUtils::SetMenuItemID(menu, 1, 5));
    EXPECT_FALSE(CVarnelMenuUtils::SetMenuItemID(nullptr, 0, 5));
    DestroyMenu(list);
    DestroyMenu(menu);

    int data = 0;
    HMENU made = CVarnelMenuUtils::CreateMenu(L"Made", 42, &data);
    ASSERT_NE(nullptr, made);
    EXPECT_EQ(1, GetMenuItemCount(made));
    MENUITEMINFOW info{};
    wchar_t caption[MAX_PATH];
    CMenuXP::GetMenuItemInfoW(made, 0, true, info, caption, MAX_PATH);
    EXPECT_EQ(42u, info.wID);
    EXPECT_STREQ(L"Made", caption);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(&data), info.dwItemData);
    DestroyMenu(made);
    EXPECT_EQ(nullptr, CVarnelMenuUtils::CreateMenu(L"", 1, nullptr));
}

// ---------------------------------------------------------------- several threads

TEST_F(Menu, ConcurrentAddsRemovesAndRefreshesKeepTheMenuSound)
{
    void* handle = LoadWithItems(L"Busy.dll", L"");
    std::atomic<bool> stop(false);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            for (int round = 0; round < 60; ++round) {
                const int id = t * 100 + round % 10;
                const VARNEL_MENU_CATEGORY category = static_cast<VARNEL_MENU_CATEGORY>(t % 3);
                Model()->AddMenuItem(handle, L"busy", id, category);
                if (round % 3 == 0) Model()->RemoveMenuItem(handle, static_cast<UINT>(id));
            }
        });
    }
    std::thread host([&] {
        while (!stop) {
            Model()->RefreshMenuAvailability();
            Model()->CheckAndHideVarnelLegacyMenus();
            int itemId = 0;
            Model()->FindPluginByCommand(Command(handle, 1), itemId);
        }
    });
    for (auto& worker : workers) worker.join();
    stop = true;
    host.join();

    // Every record the plug-in holds is an item in the menu, and every plug-in item in the menu
    // is one of its records.
    std::vector<UINT> fromRecords;
    for (void* address : PluginOf(handle)->GetMenuItems())
        fromRecords.push_back(static_cast<CMenuXP::MENU_ITEM_DATA*>(address)->commandId);
    std::vector<UINT> inMenu;
    for (UINT flyout : {7000u, 7005u, 7010u})
        for (const Item& item : ItemsOf(Flyout(flyout))) inMenu.push_back(item.command);
    std::sort(fromRecords.begin(), fromRecords.end());
    std::sort(inMenu.begin(), inMenu.end());
    EXPECT_EQ(fromRecords, inMenu);
    EXPECT_FALSE(inMenu.empty());
}
