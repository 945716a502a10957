// The language modules as a user of each language meets them: the module of the user's language is
// chosen, the dialogs of the library show every text of their statics and buttons whole with the
// dialog's font, and the tray menu is worked with the keyboard alone through its access keys.
//
// CLocalize chooses its module once per process, so this program runs once per language (see
// tests/CMakeLists.txt): LC_ALL sets the language Wine reports, VARNEL_EXPECT_LANGUAGE ("en", "de")
// the language the run expects; tests whose names end in a language run only in that language.
#include "PluginHostTests.h"

#include "Localize.h"
#include "MenuXP.h"
#include "StationDesktopUtils.h"
#include "ThreadManager.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"
#include "VarnelPluginAPI.h"

#include <commctrl.h>

#include <cwctype>
#include <functional>
#include <map>
#include <set>
#include <sstream>

using hosttest::PluginHostTest;

namespace {

const wchar_t kHostClass[] = L"LanguageTestHost";
const wchar_t kProgressKey[] = L"SOFTWARE\\Zerova\\Varnel\\ProgressDialog";
const int kHistoryButton = 5001;
const int kHealthList = 1000;

std::string ExpectedLanguage()
{
    char value[16] = "";
    const DWORD length = GetEnvironmentVariableA("VARNEL_EXPECT_LANGUAGE", value, sizeof(value));
    return length > 0 && length < sizeof(value) ? value : "en";
}

WORD PrimaryLanguageOf(const std::string& name) { return name == "de" ? LANG_GERMAN : LANG_ENGLISH; }

std::wstring String(UINT id)
{
    wchar_t text[MAX_PATH] = L"";
    CLocalize::Instance()->GetString(id, text, MAX_PATH);
    return text;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

using testenv::Pump;
using testenv::PumpUntil;

// ---------------------------------------------------------------- measuring texts

// What a static or a button control leaves its text of its client area, in pixels.
struct TextRoom {
    int width;
    int height;
    UINT format;  // DrawText flags: one line, or words wrapped within the width
};

// Controls that show no text of their own, or that shorten theirs on purpose with an ellipsis. A
// control the library paints itself (its window procedure replaced) draws a picture, not its text:
// the text is only its name for assistive technology.
bool ShowsItsTextWhole(HWND control)
{
    if (static_cast<ULONG_PTR>(GetWindowLongPtrW(control, GWLP_WNDPROC)) != GetClassLongPtrW(control, GCLP_WNDPROC))
        return false;
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    if (ClassOf(control) == L"Static") {
        const LONG kind = style & SS_TYPEMASK;
        if (kind == SS_ICON || kind == SS_BITMAP || kind == SS_ENHMETAFILE || kind == SS_OWNERDRAW ||
            kind == SS_BLACKRECT || kind == SS_GRAYRECT || kind == SS_WHITERECT || kind == SS_BLACKFRAME ||
            kind == SS_GRAYFRAME || kind == SS_WHITEFRAME || kind == SS_ETCHEDHORZ || kind == SS_ETCHEDVERT ||
            kind == SS_ETCHEDFRAME)
            return false;
        return (style & SS_ELLIPSISMASK) == 0;
    }
    return true;
}

TextRoom RoomOf(HWND control)
{
    RECT client{};
    GetClientRect(control, &client);
    TextRoom room{client.right - client.left, client.bottom - client.top, DT_SINGLELINE};
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    if (ClassOf(control) == L"Static") {
        const LONG kind = style & SS_TYPEMASK;
        if (kind == SS_LEFT || kind == SS_CENTER || kind == SS_RIGHT) room.format = DT_WORDBREAK;
        if (style & SS_NOPREFIX) room.format |= DT_NOPREFIX;
        return room;
    }
    // A button draws its text inside its edge and the focus rectangle's inset.
    const int edgeX = GetSystemMetrics(SM_CXEDGE) * 2;
    const int edgeY = GetSystemMetrics(SM_CYEDGE) * 2;
    const LONG kind = style & BS_TYPEMASK;
    if (kind == BS_CHECKBOX || kind == BS_AUTOCHECKBOX || kind == BS_3STATE || kind == BS_AUTO3STATE ||
        kind == BS_RADIOBUTTON || kind == BS_AUTORADIOBUTTON) {
        room.width -= GetSystemMetrics(SM_CXMENUCHECK) + edgeX;
    } else if (kind == BS_GROUPBOX) {
        room.width -= 2 * edgeX;
    } else {
        room.width -= 2 * edgeX;
        room.height -= 2 * edgeY;
    }
    if (style & BS_MULTILINE) room.format = DT_WORDBREAK;
    return room;
}

// The size the text takes with the control's font (the dialog's when the control has none).
SIZE Measure(HWND control, const std::wstring& text, const TextRoom& room)
{
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    if (font == nullptr) font = reinterpret_cast<HFONT>(SendMessageW(GetParent(control), WM_GETFONT, 0, 0));
    HDC dc = GetDC(control);
    HGDIOBJ previous = SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
    RECT bounds{0, 0, room.width, 0};
    DrawTextW(dc, text.c_str(), -1, &bounds, room.format | DT_CALCRECT | DT_EXPANDTABS);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    return {bounds.right - bounds.left, bounds.bottom - bounds.top};
}

struct ClipSearch {
    std::wstring dialog;
    std::vector<std::string> clipped;
    int measured = 0;
};

BOOL CALLBACK CheckControlText(HWND control, LPARAM context)
{
    auto* search = reinterpret_cast<ClipSearch*>(context);
    const std::wstring kind = ClassOf(control);
    const std::wstring text = WindowText(control);
    if ((kind != L"Static" && kind != L"Button") || text.empty() || !IsWindowVisible(control) ||
        !ShowsItsTextWhole(control))
        return TRUE;
    const TextRoom room = RoomOf(control);
    const SIZE needed = Measure(control, text, room);
    ++search->measured;
    if (needed.cx > room.width || needed.cy > room.height) {
        std::ostringstream line;
        line << testenv::Narrow(search->dialog) << ": control " << GetDlgCtrlID(control) << " \""
             << testenv::Narrow(text) << "\" needs " << needed.cx << "x" << needed.cy << " pixels, has " << room.width
             << "x" << room.height;
        search->clipped.push_back(line.str());
    }
    return TRUE;
}

struct OwnedWindowSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedDialog(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<OwnedWindowSearch*>(context);
    if (GetWindow(window, GW_OWNER) != search->owner || !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

// ---------------------------------------------------------------- access keys

// The access key of a caption (the character after a single '&'), upper case; 0 when it has none.
wchar_t AccessKeyOf(const std::wstring& caption)
{
    for (size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != L'&') continue;
        if (caption[i + 1] == L'&') {
            ++i;
            continue;
        }
        return static_cast<wchar_t>(std::towupper(caption[i + 1]));
    }
    return 0;
}

std::wstring CaptionAt(HMENU menu, int position)
{
    wchar_t caption[MAX_PATH] = L"";
    MENUITEMINFOW info{};
    CMenuXP::GetMenuItemInfoW(menu, static_cast<UINT>(position), true, info, caption, MAX_PATH);
    return (info.fType & MFT_SEPARATOR) ? L"" : caption;
}

}  // namespace

// A host as the tray sets it up (menu loaded, main window, menu object, tray) with one plug-in that
// has two items in the first flyout and a line in the system health list.
class Language : public PluginHostTest {
protected:
    void SetUp() override
    {
        PluginHostTest::SetUp();
        RegDeleteTreeW(HKEY_CURRENT_USER, kProgressKey);
        ASSERT_TRUE(COXIL_DllMain::Instance()->LoadResources());
        m_trayHost = std::make_unique<hosttest::TestTrayHost>(kHostClass, &DefWindowProcW);
        m_host = m_trayHost->window;
        ASSERT_NE(nullptr, m_host);
        Register(L"Speaker", CopyFixture(L"FixtureWindow", L"Speaker.dll"));
        Configure(L"Speaker.dll", L"MenuItems", L"0:1:First item;0:2:Second item");
        ASSERT_TRUE(Registry()->LoadPlugin(L"Speaker", &m_plugin));
    }
    void TearDown() override
    {
        PluginHostTest::TearDown();  // unloading closes what is still open
        m_trayHost.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, kProgressKey);
    }

    static HMENU Popup() { return COXIL_DllMain::Instance()->GetSubMenu(); }

    static HWND WaitForDialog(CDialogThread::THREAD_TYPE kind)
    {
        HWND window = nullptr;
        EXPECT_TRUE(PumpUntil([&] {
            void* object = nullptr;
            window = CThreadManager::Instance()->FindExistingDialog(kind, &object);
            return window != nullptr && object != nullptr && IsWindowVisible(window);
        }));
        return window;
    }
    static HWND WaitForOwnedDialog(HWND owner)
    {
        OwnedWindowSearch search{owner, nullptr};
        const DWORD thread = GetWindowThreadProcessId(owner, nullptr);
        EXPECT_TRUE(PumpUntil([&] {
            EnumThreadWindows(thread, &FindOwnedDialog, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        }));
        return search.found;
    }
    static void CloseAndWait(HWND dialog)
    {
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(PumpUntil([] { return !CThreadManager::Instance()->ActiveThreads(); }));
    }

    // The clipped texts of every static and button of the dialog; at least one text is measured.
    static std::vector<std::string> ClippedTexts(HWND dialog, const wchar_t* name)
    {
        ClipSearch search;
        search.dialog = name;
        if (dialog == nullptr) return {testenv::Narrow(name) + ": did not open"};
        EnumChildWindows(dialog, &CheckControlText, reinterpret_cast<LPARAM>(&search));
        if (search.measured == 0) search.clipped.push_back(testenv::Narrow(name) + ": no text was measured");
        return search.clipped;
    }

    // Opens each dialog of the library the way a user does and measures its texts.
    std::vector<std::string> ClippedTextsOfEveryDialog()
    {
        std::vector<std::string> clipped;
        auto add = [&clipped](const std::vector<std::string>& more) {
            clipped.insert(clipped.end(), more.begin(), more.end());
        };

        EXPECT_TRUE(Registry()->DisplayAboutBox(m_host));
        HWND about = WaitForDialog(CDialogThread::THREAD_ABOUTBOX);
        add(ClippedTexts(about, L"about box"));
        if (about != nullptr) CloseAndWait(about);

        EXPECT_TRUE(Registry()->DisplaySystemHealth(m_host));
        HWND health = WaitForDialog(CDialogThread::THREAD_SYSTEMHEALTH);
        add(ClippedTexts(health, L"system health"));
        if (health != nullptr) {
            LVITEMW select{};
            select.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
            select.state = LVIS_SELECTED | LVIS_FOCUSED;
            SendDlgItemMessageW(health, kHealthList, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&select));
            PostMessageW(health, WM_COMMAND, MAKEWPARAM(kHistoryButton, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(health, kHistoryButton)));
            HWND history = WaitForOwnedDialog(health);
            add(ClippedTexts(history, L"state history"));
            if (history != nullptr) PostMessageW(history, WM_COMMAND, IDOK, 0);
            EXPECT_TRUE(PumpUntil([&] { return !HasOwnedDialog(health); }));
            CloseAndWait(health);
        }

        std::wstring title = L"Scanning";
        CProgressDlg* progress =
            VarnelCreateProgressDlg(m_plugin, nullptr, &title[0], PROGRESS_BAR_DLG_CANCEL, nullptr, nullptr, 0);
        EXPECT_NE(nullptr, progress);
        if (progress != nullptr) {
            HWND window = WaitForDialog(CDialogThread::THREAD_PROGRESSDLG);
            add(ClippedTexts(window, L"progress"));
            VarnelDestroyProgressDlg(progress);
            EXPECT_TRUE(PumpUntil([] { return !CThreadManager::Instance()->ActiveThreads(); }));
        }
        return clipped;
    }

    static bool HasOwnedDialog(HWND owner)
    {
        OwnedWindowSearch search{owner, nullptr};
        EnumThreadWindows(GetWindowThreadProcessId(owner, nullptr), &FindOwnedDialog, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
    }

    // The command the tray menu returns after the keys, as TrackPopupMenu(TPM_RETURNCMD) gives it
    // to the host. Each key is a WM_KEYDOWN of a virtual key or, for a letter, the WM_CHAR it
    // makes; they wait in the queue until the menu loop reads them.
    UINT PickWithKeys(const std::vector<std::pair<UINT, WPARAM>>& keys)
    {
        for (const auto& key : keys) PostMessageW(m_host, key.first, key.second, 0);
        const UINT command = static_cast<UINT>(
            TrackPopupMenu(Popup(), TPM_RETURNCMD | TPM_NONOTIFY, 100, 100, 0, m_host, nullptr));
        MSG left;
        while (PeekMessageW(&left, m_host, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
        }
        return command;
    }

    void ExpectTheModuleOf(const std::string& language)
    {
        ASSERT_EQ(language, ExpectedLanguage()) << "this test runs only where VARNEL_EXPECT_LANGUAGE is " << language;
        EXPECT_EQ(PrimaryLanguageOf(language), PRIMARYLANGID(CLocalize::Instance()->GetModuleLanguage()));
        EXPECT_EQ(language == "de" ? L"Komponente" : L"Component", String(324));
    }

    HWND m_host = nullptr;
    std::unique_ptr<hosttest::TestTrayHost> m_trayHost;
    void* m_plugin = nullptr;
};

// ---------------------------------------------------------------- the choice of the module

TEST_F(Language, TheModuleOfTheUsersLanguageIsChosen)
{
    WORD user = 0, system = 0;
    CLocalize::Instance()->GetLangIDs(user, system);
    EXPECT_EQ(PrimaryLanguageOf(ExpectedLanguage()), PRIMARYLANGID(user));
    ExpectTheModuleOf(ExpectedLanguage());
}

TEST(LanguageModuleName, EnglishIsTheFallbackModuleAndOthersCarryTheirIsoName)
{
    wchar_t name[MAX_PATH] = L"";
    ASSERT_TRUE(CLocalize::GetModuleName(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK), name, MAX_PATH));
    EXPECT_STREQ(CLocalize::ModuleName, name);
    ASSERT_TRUE(CLocalize::GetModuleName(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN), name, MAX_PATH));
    EXPECT_STREQ(L"ZerovaLanguage-de.dll", name);
    EXPECT_FALSE(CLocalize::GetModuleName(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), name, MAX_PATH));
    EXPECT_FALSE(CLocalize::GetModuleName(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), nullptr, MAX_PATH));
}

// ---------------------------------------------------------------- dialogs

TEST_F(Language, NoDialogTextIsClippedInEnglish)
{
    ExpectTheModuleOf("en");
    const std::vector<std::string> clipped = ClippedTextsOfEveryDialog();
    for (const std::string& line : clipped) ADD_FAILURE() << line;
}

TEST_F(Language, NoDialogTextIsClippedInGerman)
{
    ExpectTheModuleOf("de");
    const std::vector<std::string> clipped = ClippedTextsOfEveryDialog();
    for (const std::string& line : clipped) ADD_FAILURE() << line;
}

// ---------------------------------------------------------------- the tray menu by keyboard

TEST_F(Language, EveryLevelOfTheTrayMenuHasDistinctAccessKeys)
{
    std::vector<HMENU> levels{Popup()};
    for (int i = 0; i < GetMenuItemCount(Popup()); ++i)
        if (HMENU flyout = GetSubMenu(Popup(), i)) levels.push_back(flyout);
    for (HMENU level : levels) {
        std::map<wchar_t, std::wstring> owners;
        for (int i = 0; i < GetMenuItemCount(level); ++i) {
            const std::wstring caption = CaptionAt(level, i);
            const wchar_t key = AccessKeyOf(caption);
            if (key == 0) continue;
            const auto [where, added] = owners.emplace(key, caption);
            EXPECT_TRUE(added) << testenv::Narrow(caption) << " and " << testenv::Narrow(where->second);
        }
    }
    // Every enabled host item and flyout of the top level can be reached by its key.
    for (int i = 0; i < GetMenuItemCount(Popup()); ++i) {
        const UINT state = GetMenuState(Popup(), static_cast<UINT>(i), MF_BYPOSITION);
        const std::wstring caption = CaptionAt(Popup(), i);
        if (caption.empty() || (state & (MF_GRAYED | MF_DISABLED)) != 0) continue;
        EXPECT_NE(0, AccessKeyOf(caption)) << testenv::Narrow(caption) << " has no access key";
    }
}

TEST_F(Language, TheKeyboardOpensAFlyoutByItsAccessKeyAndPicksAPluginItem)
{
    int flyout = -1;
    for (int i = 0; i < GetMenuItemCount(Popup()) && flyout < 0; ++i)
        if (GetSubMenu(Popup(), i) != nullptr) flyout = i;
    ASSERT_GE(flyout, 0);
    const wchar_t key = AccessKeyOf(CaptionAt(Popup(), flyout));
    ASSERT_NE(0, key) << testenv::Narrow(CaptionAt(Popup(), flyout)) << " has no access key";

    // The access key opens the flyout on its first item; the arrow goes to the second.
    const UINT picked = PickWithKeys({{WM_CHAR, static_cast<WPARAM>(std::towlower(key))},
                                      {WM_KEYDOWN, VK_DOWN},
                                      {WM_KEYDOWN, VK_RETURN}});
    EXPECT_EQ(CVarnelMenuUtils::MakeCommandId(m_plugin, 2), picked);
    int itemId = 0;
    EXPECT_EQ(m_plugin, CVarnelMenuUtils::Instance()->FindPluginByCommand(picked, itemId));
    EXPECT_EQ(2, itemId);
}

TEST_F(Language, ArrowKeysWalkTheTrayMenuAndEscapeClosesIt)
{
    int flyout = -1;
    for (int i = 0; i < GetMenuItemCount(Popup()) && flyout < 0; ++i)
        if (GetSubMenu(Popup(), i) != nullptr) flyout = i;
    ASSERT_GE(flyout, 0);
    std::vector<std::pair<UINT, WPARAM>> keys(static_cast<size_t>(flyout) + 1, {WM_KEYDOWN, VK_DOWN});
    keys.push_back({WM_KEYDOWN, VK_RIGHT});
    keys.push_back({WM_KEYDOWN, VK_RETURN});
    EXPECT_EQ(CVarnelMenuUtils::MakeCommandId(m_plugin, 1), PickWithKeys(keys));
    EXPECT_EQ(0u, PickWithKeys({{WM_KEYDOWN, VK_ESCAPE}}));
}

// ---------------------------------------------------------------- item images of the tray menu

namespace {
// A 32-bit top-down DIB section filled with one colour, for drawing an item image into.
struct Canvas {
    explicit Canvas(int size, COLORREF fill) : size(size)
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = size;
        info.bmiHeader.biHeight = -size;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
        previous = SelectObject(dc, bitmap);
        RECT all{0, 0, size, size};
        HBRUSH brush = CreateSolidBrush(fill);
        FillRect(dc, &all, brush);
        DeleteObject(brush);
    }
    ~Canvas()
    {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    COLORREF At(int x, int y) const
    {
        const DWORD pixel = bits[y * size + x];
        return RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
    }
    int size;
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    DWORD* bits = nullptr;
};
}  // namespace

TEST_F(Language, AnItemImageIsDrawnWithItsTransparencyOverTheSelectedItem)
{
    wchar_t name[MAX_PATH];
    HICON check = COXIL_DllMain::Instance()->GetMenuIcon(VARNEL_PLUGIN_STATE_OK, name, MAX_PATH);
    ASSERT_NE(nullptr, check);
    ASSERT_TRUE(m_trayHost->menu->SetMenuItemImage(check, Popup(), 4000));
    const int size = GetSystemMetrics(SM_CXSMICON);
    Canvas canvas(size, GetSysColor(COLOR_HIGHLIGHT));
    DRAWITEMSTRUCT draw{};
    draw.CtlType = ODT_MENU;
    draw.itemID = 4000;
    draw.itemState = ODS_SELECTED;
    draw.hwndItem = reinterpret_cast<HWND>(Popup());
    draw.hDC = canvas.dc;
    draw.rcItem = {0, 0, size, size};
    ASSERT_TRUE(CMenuXP::DrawItem(draw));
    GdiFlush();
    EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), canvas.At(0, 0)) << "the transparent corner shows the selection";
    int drawn = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) drawn += canvas.At(x, y) != GetSysColor(COLOR_HIGHLIGHT) ? 1 : 0;
    EXPECT_GT(drawn, size) << "the check mark itself is drawn";
}

TEST_F(Language, EveryTextOfAMenuLevelWithImagesStandsAfterTheImageColumn)
{
    wchar_t name[MAX_PATH];
    HICON check = COXIL_DllMain::Instance()->GetMenuIcon(VARNEL_PLUGIN_STATE_OK, name, MAX_PATH);
    ASSERT_TRUE(m_trayHost->menu->SetMenuItemImage(check, Popup(), 4000));
    m_trayHost->menu->LineUpItemTexts(Popup());
    MEASUREITEMSTRUCT image{};
    image.CtlType = ODT_MENU;
    image.itemID = 4000;
    ASSERT_TRUE(CMenuXP::MeasureItem(image));
    EXPECT_GE(static_cast<int>(image.itemWidth), GetSystemMetrics(SM_CXSMICON)) << "the image and a gap";
    for (int i = 0; i < GetMenuItemCount(Popup()); ++i) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_DATA | MIIM_BITMAP;
        ASSERT_TRUE(GetMenuItemInfoW(Popup(), static_cast<UINT>(i), TRUE, &info));
        if (info.fType & MFT_SEPARATOR) continue;
        EXPECT_EQ(HBMMENU_CALLBACK, info.hbmpItem) << "item " << info.wID;
        MEASUREITEMSTRUCT measure{};
        measure.CtlType = ODT_MENU;
        measure.itemID = info.wID;
        measure.itemData = info.dwItemData;
        EXPECT_TRUE(CMenuXP::MeasureItem(measure)) << "item " << info.wID;
        EXPECT_EQ(image.itemWidth, measure.itemWidth) << "item " << info.wID;
    }
    HMENU flyout = GetSubMenu(Popup(), 1);
    ASSERT_NE(nullptr, flyout);
    EXPECT_EQ(nullptr, CMenuXP::GetMenuItemImage(Popup(), 4001)) << "a blank is no image";
    for (int i = 0; i < GetMenuItemCount(flyout); ++i)
        EXPECT_EQ(nullptr, CMenuXP::GetMenuItemImage(flyout, CMenuXP::GetMenuItemID(flyout, i)))
            << "a level without images keeps its items as they are";
}
