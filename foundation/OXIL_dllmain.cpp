// The library's module entry and module object: it builds the library's parts, reads the GUI
// configuration and the tray menu, hands out the icons of the tray states and tears the parts down.
#include "OXIL_dllmain.h"

#include "RegistryMonitor.h"

#include "PluginHandles.h"
#include "PluginInterface.h"
#include "StationDesktopUtils.h"
#include "ThreadManager.h"
#include "TrayConstants.h"
#include "TrayResources.h"
#include "VarnelMenuUtils.h"
#include "VarnelPrivateInterface.h"
#include "VarnelUtils.h"

#include "DebugTrace.h"
#include "FileIO.h"
#include "IniFile.h"
#include "Lock.h"
#include "MenuXP.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <atomic>
#include <cwchar>
#include <mutex>

namespace {
HINSTANCE g_moduleInstance = nullptr;
std::atomic<COXIL_DllMain*> g_instance{nullptr};
// Makes the module once however many threads ask first; nothing the module builds asks for it.
zerova::Mutex g_instanceLock;

const int kIniLineCapacity = 128;
const UINT kTitleString = 312;
const UINT kNoTitleString = 207;
const UINT kNoMenuString = 206;
const UINT kEmptySubfolderString = 651;
const UINT kAgentCaptionString = 23;

// Commands the template may carry that the library removes: the legacy options item and the
// identifiers that the menu model gives to the category flyouts later.
const UINT kRemovedCommands[] = {tray::kLegacyOptionsCommand, tray::kFlyoutCommands[1], tray::kFlyoutCommands[0],
                                 tray::kFlyoutCommands[2]};
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

COXIL_DllMain* COXIL_DllMain::Instance()
{
    if (COXIL_DllMain* existing = g_instance.load(std::memory_order_acquire)) return existing;
    std::lock_guard<zerova::Mutex> guard(g_instanceLock);
    if (COXIL_DllMain* existing = g_instance.load(std::memory_order_acquire)) return existing;
    // The contract's callers delete it; the accessor is the one place that makes it.
    auto* created = new COXIL_DllMain();
    g_instance.store(created, std::memory_order_release);
    return created;
}

COXIL_DllMain::COXIL_DllMain()
    : m_moduleInstance(g_moduleInstance), m_trayTitle(), m_support(zerova::SupportServices::OfProcess())
{
    Load();
}

// Each part is built after the parts it is handed; the registry then reaches the menu model and the
// dialogs through the interfaces it owns.
void COXIL_DllMain::Load()
{
    m_tray = std::make_unique<menu::TrayResources>(m_support);
    m_utils = std::make_unique<CVarnelUtils>(m_support);
    m_registry = std::make_unique<CPluginInterface>(m_support, CPluginHandleArena::Instance());
    m_menu = std::make_unique<CVarnelMenuUtils>(m_support, *m_tray, *m_registry);
    m_walker = std::make_unique<CStationDesktopUtils>(m_support, *m_utils);
    m_dialogs = std::make_unique<CThreadManager>(m_support, *m_tray, *m_registry, *m_menu);
    m_private =
        std::make_unique<CVarnelPrivateInterface>(m_support, *m_tray, *m_registry, *m_menu, *m_dialogs, *m_walker);
    m_monitor = std::make_unique<foundation::RegistryMonitor>(*m_utils);
    m_registry->Connect(&m_menu->ForRegistry(), &m_dialogs->ForRegistry());
    ZEROVA_TRACE(0, L"COXIL_DllMain::Load(): exit");
}

COXIL_DllMain::~COXIL_DllMain()
{
    m_monitor->Stop();
    Unload();
    g_instance = nullptr;
}

// In the order the library's contract gives: the walker, the dialogs, the private interface, the
// registry (cut from the menu model and the dialogs first), the menu model, tray process control.
// No part's destructor reaches another part.
void COXIL_DllMain::Unload()
{
    m_monitor.reset();
    m_registry->Connect(nullptr, nullptr);
    m_walker.reset();
    m_dialogs.reset();
    m_private.reset();
    m_registry.reset();
    m_menu.reset();
    m_utils.reset();
    ZEROVA_TRACE(0, L"COXIL_DllMain::Unload()");
    m_tray.reset();
}

// ---------------------------------------------------------------- the agent registry monitor

void COXIL_DllMain::SetupRegistryMonitor() { m_monitor->Start(); }

void COXIL_DllMain::StopRegistryMonitor()
{
    if (COXIL_DllMain* module = g_instance.load()) module->m_monitor->Stop();
}

bool COXIL_DllMain::IsAgentMode()
{
    wchar_t mode[MAX_PATH] = L"";
    CRegistryEx::Get(HKEY_LOCAL_MACHINE, tray::kFrameworkKey, L"AgentMode", mode, MAX_PATH);
    return mode[0] != L'\0' && _wtoi(mode) != 0;
}

void COXIL_DllMain::HandleRegistryNotification()
{
    const bool agentMode = IsAgentMode();
    auto menuLock = m_menu->LockMenu();
    HMENU popup = GetSubMenu();
    HMENU owner = nullptr;
    CMenuXP::FindMenuPositionByCommand(popup, &owner, tray::kAgentCommand);
    if (agentMode) {
        if (owner != nullptr) return;
        wchar_t caption[256] = L"";
        m_support.Text(kAgentCaptionString, caption, 256);
        HMENU healthOwner = nullptr;
        const int health = CMenuXP::FindMenuPositionByCommand(popup, &healthOwner, tray::kSystemHealthCommand);
        ::InsertMenuW(popup, static_cast<UINT>(health + 1), MF_BYPOSITION | MF_STRING, tray::kAgentCommand, caption);
        return;
    }
    if (owner != nullptr) ::RemoveMenu(GetMenu(), tray::kAgentCommand, MF_BYCOMMAND);
}

// ---------------------------------------------------------------- resources

bool COXIL_DllMain::ReportResourceError(UINT stringId)
{
    wchar_t text[MAX_PATH];
    m_support.Text(stringId, text, MAX_PATH);
    m_support.errors->Error(0, text);
    return false;
}

bool COXIL_DllMain::LoadResources()
{
    if (!ReadRedirection()) return false;
    wchar_t subfolder[MAX_PATH] = L"";
    wchar_t images[MAX_PATH] = L"";
    m_tray->GetGuiSubfolder(subfolder, MAX_PATH);
    m_tray->ImagesFolder(subfolder, images, MAX_PATH);
    m_support.images->SetGUIFolder(images);
    if (!ReadTitle(images)) return false;

    HMENU menu = ::LoadMenuW(m_support.texts->GethInstance(), MAKEINTRESOURCEW(tray::kTrayMenuTemplate));
    if (menu == nullptr) return ReportResourceError(kNoMenuString);
    for (UINT command : kRemovedCommands) ::RemoveMenu(menu, command, MF_BYCOMMAND);
    m_tray->SetTrayMenu(zerova::UniqueMenu(menu));
    return true;
}

// The skin subfolder that "gui_redirect.ini" names ("Zerova" without the file or its key).
bool COXIL_DllMain::ReadRedirection()
{
    wchar_t root[MAX_PATH] = L"";
    wchar_t path[MAX_PATH] = L"";
    wchar_t subfolder[MAX_PATH] = L"";
    m_tray->GuiRootFolder(root, MAX_PATH);
    CFileIO::CombinePath(root, L"gui_redirect.ini", path, MAX_PATH);
    CIniFile redirect(path, kIniLineCapacity);
    redirect.GetString(L"General", L"subfolder", L"Zerova", subfolder, MAX_PATH);
    m_tray->SetGuiSubfolder(subfolder);
    if (subfolder[0] == L'\0') return ReportResourceError(kEmptySubfolderString);
    return true;
}

// The tray title of the skin's "main_window.ini", else string 312.
bool COXIL_DllMain::ReadTitle(const wchar_t* imagesFolder)
{
    wchar_t path[MAX_PATH] = L"";
    CFileIO::CombinePath(imagesFolder, L"main_window.ini", path, MAX_PATH);
    CIniFile mainWindow(path, kIniLineCapacity);
    mainWindow.GetString(L"General", L"title", L"", m_trayTitle, MAX_PATH);
    if (m_trayTitle[0] == L'\0') m_support.Text(kTitleString, m_trayTitle, MAX_PATH);
    if (m_trayTitle[0] == L'\0') return ReportResourceError(kNoTitleString);
    return true;
}

HMENU COXIL_DllMain::GetMenu() const { return m_tray->TrayMenu(); }

HMENU COXIL_DllMain::GetSubMenu() const { return m_tray->TrayPopup(); }

wchar_t* COXIL_DllMain::GetGUISubfolder(wchar_t* buffer, int length) const
{
    if (buffer == nullptr || length < 1) return buffer;
    return m_tray->GetGuiSubfolder(buffer, length);
}

wchar_t* COXIL_DllMain::GetTitle(wchar_t* buffer, int length) const
{
    if (buffer == nullptr || length < 1) return buffer;
    return zerova::CopyString(buffer, length, m_trayTitle);
}

// ---------------------------------------------------------------- icons

HICON COXIL_DllMain::GetTrayIcon(int state, wchar_t* imageName, int length, int width, int height)
{
    return m_tray->TrayIcon(state, imageName, length, width, height);
}

HICON COXIL_DllMain::GetMenuIcon(int state, wchar_t* imageName, int length)
{
    return m_tray->MenuIcon(state, imageName, length);
}
