#include "PluginCheck.h"

#include "HostOutput.h"
#include "LoadTrace.h"
#include "PluginRequest.h"
#include "VarnelHost.h"

#include "ErrorMsg.h"
#include "FileIO.h"
#include "Localize.h"
#include "MenuXP.h"
#include "OXIL_dllmain.h"
#include "OXSL_DllMain.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "RegistryEx.h"
#include "SafeString.h"
#include "StationDesktopUtils.h"
#include "SupportServices.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"
#include "VarnelPrivateInterface.h"

#include <cwchar>
#include <memory>

const wchar_t CPluginCheck::WindowClass[] = L"Zerova_VarnelPluginCheckWindow";

namespace {
const wchar_t kWindowTitle[] = L"Varnel plug-in check";
const wchar_t kZerovaKey[] = L"SOFTWARE\\Zerova";
const wchar_t kVarnelKey[] = L"SOFTWARE\\Zerova\\Varnel";
const wchar_t kAgentKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";
const wchar_t kPrivateParent[] = L"Software\\Zerova\\VarnelPluginCheck";
const int kMaxKeyDepth = 16;
const DWORD kSettleMs = 300;
const UINT kTrayCallback = WM_APP + 1;

// Where the machine's capability bits come from (the contract's names, in words).
const struct {
    unsigned bit;
    const wchar_t* meaning;
} kCapabilities[] = {{PLUGIN_FLAG_LOADED, L"loaded"},
                     {PLUGIN_FLAG_ERROR, L"an error was recorded"},
                     {PLUGIN_FLAG_MAIN_WINDOW, L"main window and menus"},
                     {PLUGIN_FLAG_ABOUT_BOX, L"about box"},
                     {PLUGIN_FLAG_ERROR_LOGGER, L"error logger"},
                     {PLUGIN_FLAG_UPDATER, L"updater"},
                     {PLUGIN_FLAG_HEALTH, L"health entries"},
                     {PLUGIN_FLAG_ORVIK_ICON_STATUS, L"icon status"},
                     {PLUGIN_FLAG_SUITE, L"suite menu entry"},
                     {PLUGIN_FLAG_CAN_UNLOAD, L"asked before unloads"}};

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring BaseName(const std::wstring& path)
{
    std::wstring name = CFileIO::GetFilename(path.c_str());
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
}

// The system's text for a Windows error, on one line.
std::wstring WindowsErrorText(DWORD error)
{
    wchar_t text[512];
    std::wstring line = CErrorMsg::SystemErrorText(error, text, 512);
    for (wchar_t& c : line)
        if (c == L'\r' || c == L'\n') c = L' ';
    return L"Windows error " + std::to_wstring(error) + (line.empty() ? L"" : L": " + line);
}

// The language module's text of an error the loader records, formatted as the loader formats it.
std::wstring LoaderErrorText(int code, const std::wstring& argument)
{
    return zerova::SupportServices::OfProcess().Formatted(static_cast<UINT>(code), argument.c_str());
}

// Copies a key's values and subkeys, as volatile keys, leaving out the subkey named skip (a path
// relative to from). Bounded in depth: a registry loop cannot make it run for ever.
bool CopyKey(HKEY from, HKEY to, const std::wstring& skip, int depth)
{
    if (depth > kMaxKeyDepth) return false;
    DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, longestData = 0;
    if (RegQueryInfoKeyW(from, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> name(longestName + 2);
    std::vector<BYTE> data(longestData + 2);
    for (DWORD i = 0; i < values; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueW(from, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength) == ERROR_SUCCESS)
            RegSetValueExW(to, name.data(), 0, type, data.data(), dataLength);
    }
    std::vector<wchar_t> subkey(longestSubkey + 2);
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD length = static_cast<DWORD>(subkey.size());
        if (RegEnumKeyExW(from, i, subkey.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) continue;
        const std::wstring child(subkey.data());
        if (zerova::EqualsNoCase(child.c_str(), skip.c_str())) continue;
        const size_t separator = skip.find(L'\\');
        const bool skipBelow = separator != std::wstring::npos &&
                               zerova::EqualsNoCase(child.c_str(), skip.substr(0, separator).c_str());
        zerova::UniqueRegKey source, target;
        if (RegOpenKeyExW(from, child.c_str(), 0, KEY_READ, source.Put()) != ERROR_SUCCESS) continue;
        if (RegCreateKeyExW(to, child.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, target.Put(),
                            nullptr) != ERROR_SUCCESS)
            return false;
        if (!CopyKey(source.Get(), target.Get(), skipBelow ? skip.substr(separator + 1) : std::wstring(), depth + 1))
            return false;
    }
    return true;
}

// A path of volatile keys below root.
bool CreateVolatilePath(HKEY root, const std::wstring& path, zerova::UniqueRegKey& key)
{
    zerova::UniqueRegKey at;
    HKEY parent = root;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = path.find(L'\\', start);
        const std::wstring part = path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        zerova::UniqueRegKey next;
        if (RegCreateKeyExW(parent, part.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, next.Put(),
                            nullptr) != ERROR_SUCCESS)
            return false;
        at = std::move(next);
        parent = at.Get();
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    key = std::move(at);
    return true;
}

// The machine's key at path copied to the same path below root; a key the machine lacks is no fault.
bool CopyMachineKey(HKEY root, const wchar_t* path, const std::wstring& skip)
{
    zerova::UniqueRegKey source;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, source.Put()) != ERROR_SUCCESS) return true;
    zerova::UniqueRegKey target;
    return CreateVolatilePath(root, path, target) && CopyKey(source.Get(), target.Get(), skip, 0);
}

bool SetString(HKEY key, const wchar_t* value, const std::wstring& text)
{
    return RegSetValueExW(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

LRESULT CALLBACK CheckWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

void PumpFor(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT, 0);
    }
}
}  // namespace

struct CPluginCheck::HostObjects {
    std::unique_ptr<CMenuXP> menu;
    std::unique_ptr<CTray> tray;
};

CPluginCheck::CPluginCheck(HINSTANCE instance, std::wstring logFile)
    : m_instance(instance), m_logFile(std::move(logFile)), m_host(new HostObjects())
{
}

// The library goes before the windows and the tray it was handed; the machine's registry comes back last.
CPluginCheck::~CPluginCheck()
{
    delete COXIL_DllMain::Instance();
    delete m_host;
    if (m_window != nullptr) DestroyWindow(m_window);
    DropPrivateRegistry();
}

void CPluginCheck::Say(const std::wstring& line) { hostoutput::WriteLine(hostoutput::Stream::Output, line.c_str()); }

int CPluginCheck::Result(int code, const std::wstring& line)
{
    Say(L"result: " + line);
    if (code == CVarnelHost::ExitCheckNotMade) return CVarnelHost::End(code, L"the plug-in check could not be made: " + line, m_logFile);
    if (code != CVarnelHost::ExitDone) return CVarnelHost::End(code, L"the plug-in check failed: " + line, m_logFile);
    return code;
}

int CPluginCheck::Run(const std::wstring& path)
{
    if (NamingOf(path.c_str()) != PluginNaming::FullPath || !CFileIO::FileExists(path.c_str()))
        return Result(CVarnelHost::ExitCheckNotMade, Quoted(path) + L" is no file named by a full path (X:\\...)");
    ChooseEntry(path);
    Say(m_registered ? L"registry entry: " + Quoted(m_subkey) + L", name " + Quoted(m_name) +
                           (m_doNotLoad ? L" (its \"DoNotLoadMe\" flag keeps the tray from loading it; the check loads it)" : L"")
                     : L"registry entry: none has this library as its \"Path\"; the check uses " + Quoted(m_subkey) +
                           L" with the name " + Quoted(m_name));
    if (!PassesTrustTest(path)) return Result(CVarnelHost::ExitPluginRefused, L"refused before its load by the trust test");
    if (!MakePrivateRegistry(path)) return Result(CVarnelHost::ExitCheckNotMade, L"the check's own registry view could not be made");
    if (!COXIL_DllMain::Instance()->LoadResources())
        return Result(CVarnelHost::ExitCheckNotMade, L"the GUI configuration or the tray menu could not be read");
    if (!MakeHostWindows()) return Result(CVarnelHost::ExitCheckNotMade, L"the host's windows could not be created");

    const int lastErrorBefore = CErrorMsg::Instance()->GetLastError();
    CLoadTrace trace(CLoadTrace::Threads::All);
    void* handle = nullptr;
    const bool loaded = CPluginInterface::Instance()->LoadPlugin(m_subkey.c_str(), &handle);
    PumpFor(kSettleMs);
    CPlugin* plugin = nullptr;
    CPluginInterface::PLUGIN_DATA* record = nullptr;
    if (!loaded || !CPluginInterface::Instance()->ValidatePlugin(handle, &record, &plugin, false) || plugin == nullptr) {
        const auto errors = trace.Errors();
        for (const auto& error : errors) Say(L"error " + std::to_wstring(error.code) + L": " + error.text);
        ExplainRefusal(path, trace);
        return Result(CVarnelHost::ExitPluginRefused,
                      errors.empty() ? std::wstring(L"not loaded, and the loader recorded no error")
                                     : L"refused with error " + std::to_wstring(errors.back().code) + L": " + errors.back().text);
    }
    DescribeLoadedPlugin(handle, plugin);
    const auto errors = trace.Errors();
    for (const auto& error : errors) Say(L"error recorded during the load: " + std::to_wstring(error.code) + L": " + error.text);
    const int lastError = CErrorMsg::Instance()->GetLastError();
    if (lastError != lastErrorBefore && errors.empty())
        Say(L"error reported during the load: " + std::to_wstring(lastError) + L" (" + LoaderErrorText(lastError, L"") + L")");
    if (!UnloadAll(path, trace)) return Result(CVarnelHost::ExitPluginRefused, L"loads, but does not unload cleanly");
    // A plug-in that loads with errors recorded against it has a fault its author should see.
    if (!errors.empty())
        return Result(CVarnelHost::ExitPluginRefused, L"loads and unloads, but errors were recorded against it (above)");
    return Result(CVarnelHost::ExitDone, L"loads and unloads cleanly");
}

void CPluginCheck::ChooseEntry(const std::wstring& path)
{
    m_subkey = RegisteredSubkeyForPath(path.c_str());
    m_registered = !m_subkey.empty();
    if (!m_registered) {
        m_subkey = BaseName(path);
        m_name = m_subkey;
        return;
    }
    const std::wstring key = std::wstring(CPluginInterface::PluginsKey) + L"\\" + m_subkey;
    wchar_t name[MAX_PATH] = L"";
    if (CRegistryEx::Get(HKEY_LOCAL_MACHINE, key.c_str(), L"Name", name, MAX_PATH)) m_name = name;
    CRegistryEx::Get(HKEY_LOCAL_MACHINE, key.c_str(), L"DoNotLoadMe", m_doNotLoad, false);
}

bool CPluginCheck::PassesTrustTest(const std::wstring& path)
{
    bool reasonA = false;
    bool reasonB = false;
    if (COXSL_DllMain::Instance()->IsTrustedDLL(path.c_str(), reasonA, reasonB)) return true;
    if (reasonA) Say(L"error 435: " + LoaderErrorText(435, L""));
    if (reasonB) Say(L"error 434: " + LoaderErrorText(434, m_name) + L" (\"RequireSignedPlugins\" is set)");
    return false;
}

bool CPluginCheck::MakePrivateRegistry(const std::wstring& path)
{
    m_privateKey = std::wstring(kPrivateParent) + L"\\" + std::to_wstring(GetCurrentProcessId());
    zerova::UniqueRegKey parent;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kPrivateParent, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        parent.Put(), nullptr) != ERROR_SUCCESS)
        return false;
    RegDeleteTreeW(HKEY_CURRENT_USER, m_privateKey.c_str());
    if (!CreateVolatilePath(HKEY_CURRENT_USER, m_privateKey, m_privateRoot)) return false;
    const std::wstring plugins = std::wstring(CPluginInterface::PluginsKey).substr(wcslen(kZerovaKey) + 1);
    if (!CopyMachineKey(m_privateRoot.Get(), kZerovaKey, plugins) ||
        !CopyMachineKey(m_privateRoot.Get(), kAgentKey, std::wstring()))
        return false;
    zerova::UniqueRegKey entry;
    const std::wstring entryPath = std::wstring(CPluginInterface::PluginsKey) + L"\\" + m_subkey;
    if (m_registered && !CopyMachineKey(m_privateRoot.Get(), entryPath.c_str(), std::wstring())) return false;
    if (!CreateVolatilePath(m_privateRoot.Get(), entryPath, entry)) return false;
    RegDeleteValueW(entry.Get(), L"DoNotLoadMe");
    if (!SetString(entry.Get(), L"Path", path) || (!m_registered && !SetString(entry.Get(), L"Name", m_name))) return false;
    // The signature was tested against the machine's registry already.
    zerova::UniqueRegKey varnel;
    const DWORD off = 0;
    if (!CreateVolatilePath(m_privateRoot.Get(), kVarnelKey, varnel) ||
        RegSetValueExW(varnel.Get(), L"RequireSignedPlugins", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off),
                       sizeof(off)) != ERROR_SUCCESS)
        return false;
    m_overridden = RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_privateRoot.Get()) == ERROR_SUCCESS;
    return m_overridden;
}

void CPluginCheck::DropPrivateRegistry()
{
    if (m_overridden) RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    m_overridden = false;
    m_privateRoot.Reset();
    if (!m_privateKey.empty()) RegDeleteTreeW(HKEY_CURRENT_USER, m_privateKey.c_str());
    m_privateKey.clear();
}

bool CPluginCheck::MakeHostWindows()
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &CheckWindowProc;
    windowClass.hInstance = m_instance;
    windowClass.lpszClassName = WindowClass;
    if (!RegisterClassExW(&windowClass)) return false;
    m_window = CreateWindowExW(0, WindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 300, 200,
                               nullptr, nullptr, m_instance, nullptr);
    if (m_window == nullptr) return false;
    wchar_t image[MAX_PATH];
    HICON icon = COXIL_DllMain::Instance()->GetTrayIcon(VARNEL_PLUGIN_STATE_OK, image, MAX_PATH, 16, 16);
    m_host->menu = std::make_unique<CMenuXP>();
    m_host->tray = std::make_unique<CTray>(m_window, 1, kTrayCallback, icon, kWindowTitle);
    m_host->tray->Hide();
    CVarnelMenuUtils::Instance()->SetHandles(m_window, m_host->menu.get(), m_host->tray.get());
    CStationDesktopUtils::Instance()->SetMainAppHwnd(m_window, kWindowTitle);
    return true;
}

void CPluginCheck::ExplainRefusal(const std::wstring& path, const CLoadTrace& trace)
{
    const std::wstring fileProblem = trace.FileProblem();
    if (!fileProblem.empty()) Say(L"why: " + fileProblem);
    int initResult = 0;
    if (trace.InitResult(initResult) && initResult != 0)
        Say(L"PluginInit returned " + std::to_wstring(initResult) +
            (initResult >= 1 && initResult <= 3 ? L"" : L": a result other than 0 to 3 fails the load without an error"));
    const auto errors = trace.Errors();
    const int code = errors.empty() ? 0 : errors.back().code;
    if (code != 423 && code != 425) return;
    // Loading the library once more tells what the loader's error leaves out. Its first load failed
    // (423) or it answered PluginGetVersionInfo without a fault (425).
    zerova::UniqueLibrary library(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!library) {
        if (fileProblem.empty()) Say(L"why: LoadLibraryExW failed with " + WindowsErrorText(GetLastError()));
        return;
    }
    if (code != 425) return;
    auto version = reinterpret_cast<VARNEL_GET_VERSION_INFO_CALLBACK_PROC>(
        reinterpret_cast<void*>(GetProcAddress(library.Get(), "PluginGetVersionInfo")));
    if (version == nullptr) return;
    int major = -1, minor = -1;
    version(nullptr, &major, &minor);
    Say(L"why: PluginGetVersionInfo reported interface version " + std::to_wstring(major) + L"." + std::to_wstring(minor) +
        L"; the tray accepts 2.1 and 2.2");
}

void CPluginCheck::DescribeLoadedPlugin(void* handle, CPlugin* plugin)
{
    int major = 0, minor = 0;
    CPluginInterface::Instance()->GetPluginInterfaceVersion(handle, &major, &minor);
    wchar_t shown[MAX_PATH] = L"";
    plugin->GetDisplayName(shown, MAX_PATH);
    Say(L"loaded: interface version " + std::to_wstring(major) + L"." + std::to_wstring(minor) +
        L", PluginInit returned 0, display name " + Quoted(shown));
    const unsigned flags = plugin->GetFlags();
    std::wstring meanings;
    for (const auto& capability : kCapabilities)
        if (flags & capability.bit) meanings += (meanings.empty() ? L"" : L", ") + std::wstring(capability.meaning);
    wchar_t hex[16];
    Say(L"capabilities: " + std::wstring(zerova::FormatString(hex, 16, L"0x%03X", flags)) + L" (" + meanings + L")");
    const std::wstring items = MenuItemsOf(handle);
    Say(L"menu items: " + (items.empty() ? std::wstring(L"none") : items));
    if (flags & PLUGIN_FLAG_SUITE) {
        wchar_t text[MAX_PATH] = L"";
        plugin->GetSuiteMenuText(text, MAX_PATH);
        Say(L"suite menu entry: [" + std::to_wstring(plugin->GetSuiteMenuId()) + L"] " + Quoted(text));
    }
    wchar_t stateText[MAX_PATH] = L"";
    plugin->GetStateText(stateText, MAX_PATH);
    Say(L"state after the load: " + std::to_wstring(static_cast<int>(plugin->GetState())) + L" " + Quoted(stateText));
}

std::wstring CPluginCheck::MenuItemsOf(void* handle)
{
    std::wstring items;
    auto menuLock = CVarnelMenuUtils::Instance()->LockMenu();
    HMENU tray = COXIL_DllMain::Instance()->GetSubMenu();
    for (int flyout = 0; tray != nullptr && flyout < GetMenuItemCount(tray); ++flyout) {
        HMENU list = GetSubMenu(tray, flyout);
        wchar_t flyoutCaption[MAX_PATH] = L"";
        MENUITEMINFOW flyoutInfo{};
        CMenuXP::GetMenuItemInfoW(tray, static_cast<UINT>(flyout), true, flyoutInfo, flyoutCaption, MAX_PATH);
        for (int position = 0; list != nullptr && position < GetMenuItemCount(list); ++position) {
            int itemId = 0;
            const UINT command = CMenuXP::GetMenuItemID(list, position);
            if (CVarnelMenuUtils::Instance()->FindPluginByCommand(command, itemId) != handle) continue;
            wchar_t caption[MAX_PATH] = L"";
            MENUITEMINFOW info{};
            CMenuXP::GetMenuItemInfoW(list, static_cast<UINT>(position), true, info, caption, MAX_PATH);
            items += (items.empty() ? L"" : L"; ") + Quoted(caption) + L" (item " + std::to_wstring(itemId) + L") in " +
                     Quoted(flyoutCaption) + L" " + std::to_wstring(flyoutInfo.wID) +
                     ((info.fState & MFS_GRAYED) ? L", grayed" : L"") + ((info.fState & MFS_CHECKED) ? L", checked" : L"");
        }
    }
    return items;
}

bool CPluginCheck::UnloadAll(const std::wstring& path, const CLoadTrace& trace)
{
    CPluginInterface::Instance()->BroadcastActivity(VARNEL_ACTIVITY_EXIT, 0xFFFF);
    CPluginInterface::Instance()->UnloadPlugins(false);
    PumpFor(kSettleMs);
    const bool cleanedUp = trace.CleanupCalled();
    const bool kept = trace.LibraryKeptForRunningCall();
    const bool stillMapped = GetModuleHandleW(path.c_str()) != nullptr;
    Say(std::wstring(L"unload: activity 8 (exit), activity 2 (unloading), ") +
        (cleanedUp ? L"PluginCleanup called" : L"PluginCleanup NOT called") +
        (kept ? L"; a call into the plug-in was still running, so its library stays loaded until it returns"
              : stillMapped ? L"; the library is still mapped after its release (it holds a reference to itself)"
                            : L"; library freed"));
    return cleanedUp && !kept && !stillMapped;
}
