// The library's module entry and module object: the GUI configuration, the tray menu, the icons of
// the tray states and the tear-down of the other singletons.
#include "OXIL_dllmain.h"

#include "SingletonSlot.h"

#include "DebugTrace.h"
#include "Handles.h"
#include "ErrorMsg.h"
#include "FileIO.h"
#include "ImageManager.h"
#include "IniFile.h"
#include "Localize.h"
#include "PluginDialogs.h"
#include "PluginMenu.h"
#include "TrayResources.h"
#include "PluginInterface.h"
#include "SafeString.h"
#include "ThreadManager.h"
#include "VarnelMenuUtils.h"
#include "VarnelPrivateInterface.h"
#include "VarnelUtils.h"
#include "StationDesktopUtils.h"
#include "MenuXP.h"
#include "RegistryEx.h"

#include <atomic>
#include <process.h>

#include <cwchar>

namespace {
HINSTANCE g_moduleInstance = nullptr;
std::atomic<COXIL_DllMain*> g_instance{nullptr};
std::recursive_mutex g_instanceLock;
// The registry monitor's stop event and thread; INVALID_HANDLE_VALUE while no monitor runs.
HANDLE g_monitorStopEvent = INVALID_HANDLE_VALUE;
HANDLE g_monitorThread = INVALID_HANDLE_VALUE;
// Asked to end: also reaches a monitor that has no stop event, through a queued call that wakes
// its alertable wait.
std::atomic<bool> g_monitorStopping{false};

const int kIniLineCapacity = 128;
const UINT kTrayMenuTemplate = 100;
const UINT kTitleString = 312;
const UINT kNoTitleString = 207;
const UINT kNoMenuString = 206;
const UINT kEmptySubfolderString = 651;


const wchar_t kAgentKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";
const UINT kSystemHealthCommand = 4000;
const UINT kAgentCommand = 4004;
const UINT kAgentCaptionString = 23;
const DWORD kQuietPeriodMs = 5000;


void NotifyAgentRegkeyChange()
{
    CVarnelUtils::Instance()->VarnelIPC(CVarnelPrivateInterface::IPC_AGENT_REGKEY_CHANGE, L"Notify Change");
}

// Watches the agent's key; a notification goes out 5 seconds after the last change of a burst.
unsigned __stdcall RegistryMonitorThread(void*)
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_NOTIFY, &opened) != ERROR_SUCCESS) {
        ZEROVA_TRACE(4, L"Unable to open registry key");
        return 0;
    }
    zerova::UniqueRegKey key(opened);
    NotifyAgentRegkeyChange();
    zerova::UniqueKernelHandle changed(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!changed) {
        ZEROVA_TRACE(4, L"Failed to create event");
        return 0;
    }
    if (::RegNotifyChangeKeyValue(key.Get(), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                  changed.Get(), TRUE) != ERROR_SUCCESS) {
        ZEROVA_TRACE(4, L"Failed to setup a registry monitor");
        return 0;
    }
    ::Sleep(kQuietPeriodMs);
    NotifyAgentRegkeyChange();

    DWORD timeout = INFINITE;
    // Without a stop event (its creation failed) only the change event is waited for.
    const bool haveStopEvent = g_monitorStopEvent != INVALID_HANDLE_VALUE;
    const HANDLE events[2] = {g_monitorStopEvent, changed.Get()};
    const DWORD first = haveStopEvent ? 0 : 1;
    while (!g_monitorStopping) {
        const DWORD woke = ::WaitForMultipleObjectsEx(2 - first, events + first, FALSE, timeout, TRUE) + first;
        if (woke == WAIT_IO_COMPLETION + first) continue;
        if (woke == WAIT_OBJECT_0) break;
        if (woke == WAIT_OBJECT_0 + 1) {
            const bool again = ::RegNotifyChangeKeyValue(key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.Get(),
                                                         TRUE) == ERROR_SUCCESS;
            ZEROVA_TRACE(4, again ? L"Reregistered the registry monitor successfully"
                               : L"Unable to reregister the registry monitor");
            timeout = kQuietPeriodMs;
        } else if (woke == WAIT_TIMEOUT) {
            NotifyAgentRegkeyChange();
            timeout = INFINITE;
        } else {
            break;
        }
    }
    return 0;
}

void CALLBACK WakeMonitor(ULONG_PTR) {}

// Waits for a thread while letting messages sent to this thread through.
void WaitLettingSentMessagesThrough(HANDLE thread)
{
    for (;;) {
        const DWORD woke = ::MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_SENDMESSAGE, 0);
        if (woke != WAIT_OBJECT_0 + 1) return;
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

// Commands the template may carry that the library removes: the legacy options item and the
// identifiers that the menu model gives to the category flyouts later.
const UINT kRemovedCommands[] = {4005, 7005, 7000, 7010};


// The composition root wires the layers at load: the plug-in registry opens and closes dialogs and
// changes the tray menu only through interfaces it owns, which the layers above implement.
[[maybe_unused]] const bool g_layersWired = (CPluginInterface::SetDialogs(&dialogs::PluginDialogs()),
                                             CPluginInterface::SetMenu(&menu::PluginMenu()), true);
}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        g_moduleInstance = instance;
    }
    return TRUE;
}

// ---------------------------------------------------------------- life

COXIL_DllMain::COXIL_DllMain() : m_moduleInstance(g_moduleInstance), m_guiSubfolder(), m_trayTitle(), m_trayMenu()
{
    ZEROVA_TRACE(0, L"COXIL_DllMain::Load(): exit");
}

COXIL_DllMain* COXIL_DllMain::Instance()
{
    return zerova::CreateOnce(g_instance, g_instanceLock, [] { return new COXIL_DllMain(); });
}

COXIL_DllMain::~COXIL_DllMain()
{
    if (g_instance == nullptr) return;
    StopRegistryMonitor();
    Unload();
    tray::SetTrayMenu(nullptr);
    tray::SetGuiSubfolder(L"");
    m_trayMenu.Reset();
    g_instance = nullptr;
}

void COXIL_DllMain::Unload()
{
    delete CStationDesktopUtils::Instance();
    delete CThreadManager::Instance();
    delete CVarnelPrivateInterface::Instance();
    delete CPluginInterface::Instance();
    delete CVarnelMenuUtils::Instance();
    delete CVarnelUtils::Instance();
    ZEROVA_TRACE(0, L"COXIL_DllMain::Unload()");
}

void COXIL_DllMain::SetupRegistryMonitor()
{
    g_monitorStopping = false;
    g_monitorStopEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (g_monitorStopEvent == nullptr) {
        g_monitorStopEvent = INVALID_HANDLE_VALUE;
        ZEROVA_TRACE(4, L"Failed to create stop event");
    }
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, &RegistryMonitorThread, nullptr, 0, nullptr);
    if (thread == 0) {
        ZEROVA_TRACE(4, L"Thread initialization failed");
        return;
    }
    g_monitorThread = reinterpret_cast<HANDLE>(thread);
}

bool COXIL_DllMain::IsAgentMode()
{
    wchar_t mode[MAX_PATH] = L"";
    CRegistryEx::Get(HKEY_LOCAL_MACHINE, kAgentKey, L"AgentMode", mode, MAX_PATH);
    return mode[0] != L'\0' && _wtoi(mode) != 0;
}

void COXIL_DllMain::HandleRegistryNotification()
{
    const bool agentMode = IsAgentMode();
    auto menuLock = CVarnelMenuUtils::Instance()->LockMenu();
    HMENU popup = GetSubMenu();
    HMENU owner = nullptr;
    CMenuXP::FindMenuPositionByCommand(popup, &owner, kAgentCommand);
    if (agentMode) {
        if (owner != nullptr) return;
        wchar_t caption[256] = L"";
        CLocalize::Instance()->GetString(kAgentCaptionString, caption, 256);
        HMENU healthOwner = nullptr;
        const int health = CMenuXP::FindMenuPositionByCommand(popup, &healthOwner, kSystemHealthCommand);
        ::InsertMenuW(popup, static_cast<UINT>(health + 1), MF_BYPOSITION | MF_STRING, kAgentCommand, caption);
        return;
    }
    if (owner != nullptr) ::RemoveMenu(m_trayMenu.Get(), kAgentCommand, MF_BYCOMMAND);
}

void COXIL_DllMain::StopRegistryMonitor()
{
    if (g_monitorThread == INVALID_HANDLE_VALUE) return;
    g_monitorStopping = true;
    if (g_monitorStopEvent != INVALID_HANDLE_VALUE) ::SetEvent(g_monitorStopEvent);
    ::QueueUserAPC(&WakeMonitor, g_monitorThread, 0);
    WaitLettingSentMessagesThrough(g_monitorThread);
    ::CloseHandle(g_monitorThread);
    g_monitorThread = INVALID_HANDLE_VALUE;
    if (g_monitorStopEvent != INVALID_HANDLE_VALUE) ::CloseHandle(g_monitorStopEvent);
    g_monitorStopEvent = INVALID_HANDLE_VALUE;
}

// ---------------------------------------------------------------- resources

bool COXIL_DllMain::ReportResourceError(UINT stringId)
{
    wchar_t text[MAX_PATH];
    CLocalize::Instance()->GetString(stringId, text, MAX_PATH);
    CErrorMsg::Instance()->Error(0, text);
    return false;
}

bool COXIL_DllMain::LoadResources()
{
    wchar_t root[MAX_PATH] = L"";
    wchar_t path[MAX_PATH] = L"";
    CVarnelPrivateInterface::GetGUIRootFolder(root, MAX_PATH);
    CFileIO::CombinePath(root, L"gui_redirect.ini", path, MAX_PATH);
    {
        CIniFile redirect(path, kIniLineCapacity);
        redirect.GetString(L"General", L"subfolder", L"Zerova", m_guiSubfolder, MAX_PATH);
        if (m_guiSubfolder[0] == L'\0') return ReportResourceError(kEmptySubfolderString);
    }
    tray::SetGuiSubfolder(m_guiSubfolder);

    wchar_t images[MAX_PATH] = L"";
    CVarnelPrivateInterface::GetImagesFolder(m_guiSubfolder, images, MAX_PATH);
    CImageManager::Instance()->SetGUIFolder(images);

    CFileIO::CombinePath(images, L"main_window.ini", path, MAX_PATH);
    CIniFile mainWindow(path, kIniLineCapacity);
    mainWindow.GetString(L"General", L"title", L"", m_trayTitle, MAX_PATH);
    if (m_trayTitle[0] == L'\0') CLocalize::Instance()->GetString(kTitleString, m_trayTitle, MAX_PATH);
    if (m_trayTitle[0] == L'\0') return ReportResourceError(kNoTitleString);

    HMENU menu = ::LoadMenuW(CLocalize::Instance()->GethInstance(), MAKEINTRESOURCEW(kTrayMenuTemplate));
    if (menu == nullptr) return ReportResourceError(kNoMenuString);
    for (UINT command : kRemovedCommands) ::RemoveMenu(menu, command, MF_BYCOMMAND);
    m_trayMenu.Reset(menu);
    tray::SetTrayMenu(menu);
    return true;
}

HMENU COXIL_DllMain::GetSubMenu() const { return m_trayMenu ? ::GetSubMenu(m_trayMenu.Get(), 0) : nullptr; }

wchar_t* COXIL_DllMain::GetGUISubfolder(wchar_t* buffer, int length) const
{
    if (buffer == nullptr || length < 1) return buffer;
    return zerova::CopyString(buffer, length, m_guiSubfolder);
}

wchar_t* COXIL_DllMain::GetTitle(wchar_t* buffer, int length) const
{
    if (buffer == nullptr || length < 1) return buffer;
    return zerova::CopyString(buffer, length, m_trayTitle);
}

// ---------------------------------------------------------------- icons

HICON COXIL_DllMain::GetTrayIcon(int state, wchar_t* imageName, int length, int width, int height)
{
    return tray::TrayIcon(state, imageName, length, width, height);
}

HICON COXIL_DllMain::GetMenuIcon(int state, wchar_t* imageName, int length)
{
    return tray::MenuIcon(state, imageName, length);
}
