// The private interface: the members behind the plain exported functions and the copy-data
// message protocol between processes and tray hosts.
#include "VarnelPrivateInterface.h"

#include "DebugTrace.h"
#include "FileIO.h"
#include "IniFile.h"
#include "RegistryEx.h"
#include "PluginInterface.h"
#include "ScopedTrace.h"
#include "SafeString.h"
#include "StationDesktopUtils.h"
#include "ThreadManager.h"
#include "VarnelMenuUtils.h"

#include <cstring>

namespace {
const int kNoTitleOrText = 529;
const int kNoParentWindow = 459;
}  // namespace

CVarnelPrivateInterface::CVarnelPrivateInterface(const zerova::SupportServices& support, menu::TrayResources& tray,
                                                 CPluginInterface& registry, CVarnelMenuUtils& menu,
                                                 CThreadManager& dialogs, CStationDesktopUtils& walker)
    : m_support(support), m_tray(tray), m_registry(registry), m_menu(menu), m_dialogs(dialogs), m_walker(walker)
{
}

CVarnelPrivateInterface::~CVarnelPrivateInterface() = default;

int CVarnelPrivateInterface::GetLastError() { return m_support.errors->GetLastError(); }

// ---------------------------------------------------------------- menu

bool CVarnelPrivateInterface::RemoveMenuItem(void* handle, UINT itemId)
{
    VARNEL_SCOPED_TRACE(L"Entering VarnelRemoveMenuItem", L"Leaving VarnelRemoveMenuItem");
    const bool removed = m_menu.RemoveMenuItem(handle, itemId);
    m_menu.CheckAndHideVarnelLegacyMenus();
    return removed;
}

bool CVarnelPrivateInterface::SetMenuString(void* handle, UINT itemId, const wchar_t* caption)
{
    VARNEL_SCOPED_TRACE(L"Entering VarnelSetMenuString", L"Leaving VarnelSetMenuString");
    return m_menu.SetMenuString(handle, itemId, caption);
}

int CVarnelPrivateInterface::GetMenuStringW(void* handle, UINT itemId, wchar_t* buffer, int length)
{
    VARNEL_SCOPED_TRACE(L"Entering VarnelGetMenuString", L"Leaving VarnelGetMenuString");
    return m_menu.GetMenuStringW(handle, itemId, buffer, length) != 0 ? 1 : 0;
}

bool CVarnelPrivateInterface::GetMenuItemState(void* handle, UINT itemId, bool& checkMark, bool& enabled)
{
    VARNEL_SCOPED_TRACE(L"Entering VarnelGetMenuItemState", L"Leaving VarnelGetMenuItemState");
    return m_menu.GetMenuItemState(handle, itemId, checkMark, enabled);
}

bool CVarnelPrivateInterface::CheckMenuItem(void* handle, UINT itemId, UINT flags)
{
    VARNEL_SCOPED_TRACE(L"Entering VarnelCheckMenuItem", L"Leaving VarnelCheckMenuItem");
    return m_menu.CheckMenuItem(handle, itemId, flags);
}

bool CVarnelPrivateInterface::EnableMenuItem(void* handle, UINT itemId, UINT flags)
{
    VARNEL_SCOPED_TRACE(L"Entering VarnelEnableMenuItem", L"Leaving VarnelEnableMenuItem");
    return m_menu.EnableMenuItem(handle, itemId, flags);
}

bool CVarnelPrivateInterface::SetMenuItemImage(void* handle, UINT itemId, HICON icon)
{
    return m_menu.SetMenuItemImage(handle, itemId, icon, true);
}

bool CVarnelPrivateInterface::SetMenuItemImage(void* handle, UINT itemId, const wchar_t* image)
{
    return m_menu.SetMenuItemImage(handle, itemId, image, true);
}

void CVarnelPrivateInterface::ModifyTrayTitle(const wchar_t* title) { m_menu.ModifyTrayTitle(title); }
void CVarnelPrivateInterface::ModifyTrayIcon(HICON icon) { m_menu.ModifyTrayIcon(icon); }

// ---------------------------------------------------------------- state, messages, progress

void CVarnelPrivateInterface::SetState(void* handle, VARNEL_PLUGIN_STATE state, wchar_t* text)
{
    VARNEL_SCOPED_TRACE(L"Entering VarnelSetState", L"Leaving VarnelSetState");
    m_registry.SetState(handle, state, text, nullptr);
}

bool CVarnelPrivateInterface::DisplayAdvisoryMsg(void* handle, const wchar_t* extra, HWND parent,
                                                 const wchar_t* title, const wchar_t* text, ADVISORY_MSG_TYPE type,
                                                 ADVISORY_MSG_BUTTONS buttons, bool autoClose, void* cookie,
                                                 bool settingsFlag)
{
    VARNEL_SCOPED_TRACE(L"Entering VarnelDisplayAdvisoryMsg", L"Leaving VarnelDisplayAdvisoryMsg");
    if (zerova::IsEmpty(title) || zerova::IsEmpty(text)) {
        m_support.errors->Error(kNoTitleOrText);
        return false;
    }
    if (!::IsWindow(parent)) {
        m_support.errors->Error(kNoParentWindow);
        return false;
    }
    return m_dialogs.CreateAdvisoryMsgThread(handle, extra, parent, title, text, type, buttons,
                                                               autoClose, cookie, settingsFlag);
}

CProgressDlg* CVarnelPrivateInterface::CreateProgressDlg(void* handle, HWND, const wchar_t* title,
                                                         PROGRESS_BAR_DLG_TYPE type, void (*cancel)(void*),
                                                         void* cookie, int autoCloseMs)
{
    // Progress dialogs always stand over the tray's main window.
    HWND mainWindow = m_walker.GetMainAppHwnd();
    return m_dialogs.CreateProgressDlgThread(handle, mainWindow, title, type, cancel, cookie,
                                                               autoCloseMs);
}

bool CVarnelPrivateInterface::SetProgress(CProgressDlg* dialog, const wchar_t* status, const wchar_t* detail,
                                          int percent)
{
    if (dialog == nullptr || zerova::IsEmpty(status) || zerova::IsEmpty(detail)) return false;
    return m_dialogs.SetProgress(dialog, status, detail, percent);
}

bool CVarnelPrivateInterface::DestroyProgressDlg(CProgressDlg* dialog)
{
    return m_dialogs.DestroyProgressDlg(dialog);
}

// ---------------------------------------------------------------- exports that go to one part

bool CVarnelPrivateInterface::AddMenuItem(void* handle, const wchar_t* caption, int itemId,
                                          VARNEL_MENU_CATEGORY category)
{
    return m_menu.AddMenuItem(handle, caption, itemId, category);
}

bool CVarnelPrivateInterface::DoesMenuItemExist(void* handle, UINT itemId)
{
    return m_menu.DoesMenuItemExist(handle, itemId);
}

bool CVarnelPrivateInterface::PluginCommunication(void* handle, const wchar_t* text, int value)
{
    CVarnelPrivateInterface::PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!m_registry.ValidatePlugin(handle, &record, &plugin, true)) return false;
    if (text != nullptr && text[0] != L'\0') m_walker.PluginComm(text, value);
    return false;
}

bool CVarnelPrivateInterface::SetLegacyTrayEXE(void* handle, const wchar_t* program, const wchar_t* arguments,
                                               bool show)
{
    return m_registry.SetLegacyTrayEXE(handle, program, arguments, show);
}

int CVarnelPrivateInterface::OutputError(int code, const wchar_t* text) { return m_support.errors->Error(code, text); }

bool CVarnelPrivateInterface::SettingsFlagFor(void* handle, bool settingsFlag)
{
    int major = 2;
    int minor = 2;
    if (m_registry.GetPluginInterfaceVersion(handle, &major, &minor) && major == 2 && minor == 1) return false;
    return settingsFlag;
}

// ---------------------------------------------------------------- splash screen

void CVarnelPrivateInterface::SplashScreen()
{
    bool display = false;
    CRegistryEx::Get(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel", L"DisplaySplashScreen", display, false);
    if (!display) return;
    wchar_t root[MAX_PATH] = L"";
    wchar_t path[MAX_PATH] = L"";
    LookUpGUIRootFolder(root, MAX_PATH);
    CFileIO::CombinePath(root, L"gui_redirect.ini", path, MAX_PATH);
    CIniFile redirect(path, 128);
    wchar_t name[MAX_PATH] = L"";
    redirect.GetString(L"General", L"splashscreen", L"", name, MAX_PATH);
    if (name[0] == L'\0') return;
    wchar_t image[MAX_PATH] = L"";
    LookUpImageFilename(nullptr, name, image, MAX_PATH);
    if (!CFileIO::FileExists(image)) {
        m_support.errors->Error(567);
        return;
    }
    m_dialogs.CreateSplashScreenThread(image, false);
}

// ---------------------------------------------------------------- copy-data protocol

const wchar_t* CVarnelPrivateInterface::ReasonName(unsigned int reason)
{
    static const wchar_t* const kNames[] = {L"Load",          L"Unload",        L"Show",        L"Hide",
                                            L"Load plugin",   L"Unload plugin", L"Verify plugin",
                                            L"Plugin comm",   L"Load All",      L"Agent Regkey change"};
    return reason >= 1 && reason <= 10 ? kNames[reason - 1] : L"Unknown";
}

bool CVarnelPrivateInterface::CopyDataIPC(HWND target, HWND sender, unsigned int reason, const wchar_t* string,
                                          int value)
{
    if (::IsWindow(target) != 1 || target == sender) return false;
    const wchar_t* shown = zerova::IsEmpty(string) ? L"" : string;
    wchar_t line[1024];
    zerova::FormatString(line, 1024, L"CVarnelPrivateInterface::CopyDataIPC\r\n    reason: %s\r\n    stringValue: %s\r\n    iValue: %d",
                         ReasonName(reason), shown, value);
    ZEROVA_TRACE(4, static_cast<const wchar_t*>(line));

    IPC_DATA record;
    std::memset(&record, 0, sizeof(record));
    record.reason = reason;
    // A longer string is cut: the record always keeps its terminator.
    if (!zerova::IsEmpty(string)) zerova::CopyString(record.stringValue, IPC_STRING_UNITS, string);
    record.intValue = value;

    COPYDATASTRUCT data{};
    data.dwData = 0;
    data.cbData = sizeof(record);
    data.lpData = &record;
    const LRESULT reply = ::SendMessageW(target, WM_COPYDATA, reinterpret_cast<WPARAM>(sender),
                                         reinterpret_cast<LPARAM>(&data));
    return reply == 1;
}
