#include "TrayResources.h"

#include "FileIO.h"
#include "SafeString.h"
#include "VarnelPluginContract.h"

#include <mutex>

namespace {
enum IconId : UINT { kMarkIcon = 101, kWarningMenuIcon = 102, kErrorTrayIcon = 103, kOkMenuIcon = 104, kErrorMenuIcon = 105 };
const int kMenuIconSize = 16;

bool IsBadBuffer(const wchar_t* buffer, int length) { return buffer == nullptr || length < 1; }

// This library's own module, where the state icons are.
HINSTANCE ThisModule()
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

struct StateIcons {
    UINT trayIcon;
    const wchar_t* trayImage;
    UINT menuIcon;
    const wchar_t* menuImage;
};

// Every state other than warning and error looks like the normal state.
StateIcons IconsOf(int state)
{
    switch (state) {
    case VARNEL_PLUGIN_STATE_WARNING:
        return {kMarkIcon, L"tray_menu_issue.png", kWarningMenuIcon, L"tray_menu_issue.png"};
    case VARNEL_PLUGIN_STATE_ERROR:
        return {kErrorTrayIcon, L"tray_menu_issue.png", kErrorMenuIcon, L"tray_menu_issue.png"};
    default:
        return {kMarkIcon, L"tray_menu_okay.png", kOkMenuIcon, L"tray_menu_okay1.png"};
    }
}
}  // namespace

using menu::TrayResources;

TrayResources::TrayResources(const zerova::SupportServices& support) : m_support(support), m_subfolder(), m_trayMenu()
{
}

void TrayResources::SetGuiSubfolder(const wchar_t* subfolder)
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    zerova::CopyString(m_subfolder, MAX_PATH, subfolder != nullptr ? subfolder : L"");
}

wchar_t* TrayResources::GetGuiSubfolder(wchar_t* buffer, int length) const
{
    if (IsBadBuffer(buffer, length)) return buffer;
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return zerova::CopyString(buffer, length, m_subfolder);
}

void TrayResources::SetTrayMenu(zerova::UniqueMenu menu)
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    m_trayMenu = std::move(menu);
}

HMENU TrayResources::TrayMenu() const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return m_trayMenu.Get();
}

HMENU TrayResources::TrayPopup() const
{
    HMENU menu = TrayMenu();
    return menu != nullptr ? ::GetSubMenu(menu, 0) : nullptr;
}

wchar_t* TrayResources::GuiRootFolder(wchar_t* buffer, int length) const
{
    if (IsBadBuffer(buffer, length)) return nullptr;
    wchar_t application[MAX_PATH] = L"";
    m_support.library->GetApplicationFolder(application, MAX_PATH);
    CFileIO::CombinePath(application, L"\\Varnel", buffer, length);
    return buffer;
}

wchar_t* TrayResources::ImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length) const
{
    if (IsBadBuffer(buffer, length)) return nullptr;
    wchar_t resolved[MAX_PATH] = L"";
    if (!zerova::IsEmpty(subfolder)) zerova::CopyString(resolved, MAX_PATH, subfolder);
    else GetGuiSubfolder(resolved, MAX_PATH);
    wchar_t root[MAX_PATH] = L"";
    wchar_t images[MAX_PATH] = L"";
    GuiRootFolder(root, MAX_PATH);
    CFileIO::CombinePath(root, L"Images", images, MAX_PATH);
    CFileIO::CombinePath(images, resolved, buffer, length);
    return buffer;
}

wchar_t* TrayResources::ImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length) const
{
    if (zerova::IsEmpty(file) || IsBadBuffer(buffer, length)) return nullptr;
    if (CFileIO::FileExists(file)) return zerova::CopyString(buffer, length, file);
    wchar_t folder[MAX_PATH] = L"";
    ImagesFolder(subfolder, folder, MAX_PATH);
    CFileIO::CombinePath(folder, file, buffer, length);
    if (CFileIO::FileExists(buffer)) return buffer;
    ImagesFolder(L"Images", folder, MAX_PATH);
    CFileIO::CombinePath(folder, file, buffer, length);
    return buffer;
}

wchar_t* TrayResources::IniFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length) const
{
    if (zerova::IsEmpty(file) || IsBadBuffer(buffer, length)) return nullptr;
    wchar_t folder[MAX_PATH] = L"";
    ImagesFolder(subfolder, folder, MAX_PATH);
    CFileIO::CombinePath(folder, file, buffer, length);
    return buffer;
}

HICON TrayResources::TrayIcon(int state, wchar_t* imageName, int length, int width, int height) const
{
    if (IsBadBuffer(imageName, length)) return nullptr;
    const StateIcons icons = IconsOf(state);
    zerova::CopyString(imageName, length, icons.trayImage);
    return m_support.icons->Load(ThisModule(), icons.trayIcon, width, height);
}

HICON TrayResources::MenuIcon(int state, wchar_t* imageName, int length) const
{
    if (IsBadBuffer(imageName, length)) return nullptr;
    const StateIcons icons = IconsOf(state);
    zerova::CopyString(imageName, length, icons.menuImage);
    return m_support.icons->Load(ThisModule(), icons.menuIcon, kMenuIconSize, kMenuIconSize);
}
