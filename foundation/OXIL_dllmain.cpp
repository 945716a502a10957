// The library's module entry and module object.
#include "OXIL_dllmain.h"

#include "DebugTrace.h"
#include "Localize.h"
#include "PluginInterface.h"
#include "SafeString.h"
#include "ThreadManager.h"
#include "VarnelMenuUtils.h"
#include "VarnelPrivateInterface.h"

namespace {
HINSTANCE g_moduleInstance = nullptr;
COXIL_DllMain* g_instance = nullptr;
const wchar_t kSource[] = L"OXIL_dllmain.cpp";
}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        g_moduleInstance = instance;
    }
    return TRUE;
}

COXIL_DllMain::COXIL_DllMain() : m_moduleInstance(g_moduleInstance), m_guiSubfolder(), m_trayTitle(), m_trayMenu()
{
    CDebugTrace::OutputDebugStringW(0, L"COXIL_DllMain::Load(): exit", kSource, __LINE__);
}

COXIL_DllMain* COXIL_DllMain::Instance()
{
    if (g_instance == nullptr) g_instance = new COXIL_DllMain();
    return g_instance;
}

COXIL_DllMain::~COXIL_DllMain()
{
    if (g_instance == nullptr) return;
    delete CThreadManager::Instance();
    delete CVarnelPrivateInterface::Instance();
    delete CPluginInterface::Instance();
    delete CVarnelMenuUtils::Instance();
    CDebugTrace::OutputDebugStringW(0, L"COXIL_DllMain::Unload()", kSource, __LINE__);
    if (m_trayMenu != nullptr) ::DestroyMenu(m_trayMenu);
    g_instance = nullptr;
}

// So far only the tray menu: the GUI folders and the tray title follow with the GUI configuration.
bool COXIL_DllMain::LoadResources()
{
    m_trayMenu = ::LoadMenuW(CLocalize::Instance()->GethInstance(), MAKEINTRESOURCEW(100));
    if (m_trayMenu == nullptr) return false;
    // The category flyouts get these identifiers from the menu model.
    for (UINT command : {4005u, 7005u, 7000u, 7010u}) ::RemoveMenu(m_trayMenu, command, MF_BYCOMMAND);
    return true;
}

HMENU COXIL_DllMain::GetSubMenu() const { return m_trayMenu != nullptr ? ::GetSubMenu(m_trayMenu, 0) : nullptr; }

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

HICON COXIL_DllMain::GetTrayIcon(int state, wchar_t* imageName, int length, int, int)
{
    if (imageName == nullptr || length < 1) return nullptr;
    zerova::CopyString(imageName, length, state == 1 || state == 2 ? L"tray_menu_issue.png" : L"tray_menu_okay.png");
    return nullptr;  // the icon resources come with the tray resources
}

HICON COXIL_DllMain::GetMenuIcon(int state, wchar_t* imageName, int length)
{
    if (imageName == nullptr || length < 1) return nullptr;
    zerova::CopyString(imageName, length, state == 1 || state == 2 ? L"tray_menu_issue.png" : L"tray_menu_okay1.png");
    return nullptr;
}
