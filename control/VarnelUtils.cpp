// Tray process control: copy-data requests to the running tray host and the proxy process that
// loads or unloads all tray hosts.
#include "VarnelUtils.h"

#include "DebugTrace.h"
#include "FileIO.h"
#include "FindWindow.h"
#include "Handles.h"
#include "ScopedTrace.h"
#include "SafeString.h"
#include "ShellExecuteEx.h"
#include "TrayHostProcess.h"
#include "VarnelPrivateInterface.h"

#include <cwchar>
#include <memory>

namespace {
const wchar_t kNotifyIconClass[] = L"ZerovaFramework_NotifyIcon";
const wchar_t kHostExecutable[] = L"Varnel.exe";

// Requests whose string is a plug-in's path or a plug-in message: they go to tray hosts only.
bool CarriesPluginData(unsigned int reason)
{
    return reason == CVarnelPrivateInterface::IPC_LOAD_PLUGIN || reason == CVarnelPrivateInterface::IPC_UNLOAD_PLUGIN ||
           reason == CVarnelPrivateInterface::IPC_VERIFY_PLUGIN || reason == CVarnelPrivateInterface::IPC_PLUGIN_COMM;
}

// "unload" asks for true; "load" and "load_all" for false; any other word for true.
bool StartFlagFor(const wchar_t* commandLine)
{
    const bool unload = wcsstr(commandLine, L"unload") != nullptr;
    const bool load = wcsstr(commandLine, L"load") != nullptr || wcsstr(commandLine, L"load_all") != nullptr;
    return !(load && !unload);
}
}  // namespace

CVarnelUtils::CVarnelUtils(const zerova::SupportServices& support) : m_support(support) {}

CVarnelUtils::~CVarnelUtils() = default;

// Any other program may register the notify-icon class under the tray's title.
HWND CVarnelUtils::FirstTrayHostNotifyWindow(HWND found)
{
    if (control::IsTrayHostProcessWindow(found, *this)) return found;
    ZEROVA_TRACE(4, L"CVarnelUtils::VarnelIPC - the notify-icon window %.8X belongs to no tray host executable",
                 static_cast<unsigned>(reinterpret_cast<UINT_PTR>(found)));
    for (HWND window = ::FindWindowExW(nullptr, nullptr, kNotifyIconClass, nullptr); window != nullptr;
         window = ::FindWindowExW(nullptr, window, kNotifyIconClass, nullptr)) {
        if (window != found && control::IsTrayHostProcessWindow(window, *this)) return window;
    }
    return nullptr;
}

bool CVarnelUtils::IsVarnelRunning(HWND& window)
{
    window = nullptr;
    auto finder = std::make_unique<CFindWindow>();
    const bool running = finder->Find(kNotifyIconClass, nullptr, nullptr, window) >= 1;
    ZEROVA_TRACE(4, running ? L"CVarnelUtils::IsVarnelRunning - RUNNING" : L"CVarnelUtils::IsVarnelRunning - NOT FOUND");
    return running;
}

bool CVarnelUtils::VarnelIPC(unsigned int reason, const wchar_t* string)
{
    if (zerova::IsEmpty(string)) return false;
    VARNEL_SCOPED_TRACE(L"CVarnelUtils::VarnelIPC - enter", L"CVarnelUtils::VarnelIPC - exit");
    HWND host = nullptr;
    if (!IsVarnelRunning(host)) return false;
    if (CarriesPluginData(reason)) host = FirstTrayHostNotifyWindow(host);
    return host != nullptr && CVarnelPrivateInterface::CopyDataIPC(host, nullptr, reason, string, -1);
}

bool CVarnelUtils::LoadPlugins()
{
    VARNEL_SCOPED_TRACE(L"CVarnelUtils::LoadPlugins - enter", L"CVarnelUtils::LoadPlugins - exit");
    return VarnelIPC(CVarnelPrivateInterface::IPC_LOAD_ALL, L"LoadAll");
}

bool CVarnelUtils::LoadPlugin(const wchar_t* path)
{
    VARNEL_SCOPED_TRACE(L"CVarnelUtils::LoadPlugin - enter", L"CVarnelUtils::LoadPlugin - exit");
    return !zerova::IsEmpty(path) && VarnelIPC(CVarnelPrivateInterface::IPC_LOAD_PLUGIN, path);
}

bool CVarnelUtils::UnloadPlugin(const wchar_t* path)
{
    VARNEL_SCOPED_TRACE(L"CVarnelUtils::UnloadPlugin - enter", L"CVarnelUtils::UnloadPlugin - exit");
    return !zerova::IsEmpty(path) && VarnelIPC(CVarnelPrivateInterface::IPC_UNLOAD_PLUGIN, path);
}

wchar_t* CVarnelUtils::GetVarnelFilename(wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return buffer;
    wchar_t folder[MAX_PATH] = L"";
    m_support.library->GetApplicationFolder(folder, MAX_PATH);
    CFileIO::CombinePath(folder, kHostExecutable, buffer, length);
    return buffer;
}

bool CVarnelUtils::VarnelProxyIPC(const wchar_t* commandLine, const wchar_t* path)
{
    if (zerova::IsEmpty(commandLine)) return false;
    VARNEL_SCOPED_TRACE(L"CVarnelUtils::VarnelProxyIPC - enter", L"CVarnelUtils::VarnelProxyIPC - exit");
    wchar_t executable[MAX_PATH] = L"";
    wchar_t folder[MAX_PATH] = L"";
    if (!zerova::IsEmpty(path)) {
        if (!zerova::EqualsNoCase(CFileIO::GetFilename(path), kHostExecutable)) {
            CFileIO::CombinePath(path, kHostExecutable, executable, MAX_PATH);
            zerova::CopyString(folder, MAX_PATH, path);
        } else {
            zerova::CopyString(executable, MAX_PATH, path);
            CFileIO::GetFolder(path, folder, MAX_PATH);
        }
    }
    if (!CFileIO::FileExists(executable)) {
        GetVarnelFilename(executable, MAX_PATH);
        m_support.library->GetApplicationFolder(folder, MAX_PATH);
    }
    const bool startFlag = StartFlagFor(commandLine);
    wchar_t line[1024];
    zerova::FormatString(line, 1024, L"CVarnelUtils::VarnelProxyIPC\r\n    \"%s\"\r\n    \"%s\"\r\n    \"%s\"", executable,
                         commandLine, folder);
    ZEROVA_TRACE(4, line);
    return CShellExecuteEx::CreateProcessW(nullptr, executable, commandLine, folder, true, startFlag, nullptr);
}

bool CVarnelUtils::LoadAllVarnels(const wchar_t* path)
{
    VARNEL_SCOPED_TRACE(L"CVarnelUtils::LoadAllVarnels - enter", L"CVarnelUtils::LoadAllVarnels - exit");
    return VarnelProxyIPC(L"load_all", path);
}

bool CVarnelUtils::UnloadAllVarnels(const wchar_t* path)
{
    VARNEL_SCOPED_TRACE(L"CVarnelUtils::UnloadAllVarnels - enter", L"CVarnelUtils::UnloadAllVarnels - exit");
    return VarnelProxyIPC(L"unload", path);
}

bool CVarnelUtils::ImpersonateLoggedOnUser()
{
    zerova::UniqueKernelHandle process(::OpenProcess(0x1FFFFF, FALSE, ::GetCurrentProcessId()));
    if (!process) return false;
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(process.Get(), TOKEN_DUPLICATE | TOKEN_QUERY, &rawToken)) return false;
    zerova::UniqueKernelHandle token(rawToken);
    return ::ImpersonateLoggedOnUser(token.Get()) == 1;
}
