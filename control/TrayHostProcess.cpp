#include "TrayHostProcess.h"

#include "Handles.h"
#include "SafeString.h"
#include "VarnelUtils.h"

#include <string>

namespace {

// A path in the one form two names of the same file share here: absolute, without "." and ".."
// parts, with long names. Empty when it cannot be made.
std::wstring ComparablePath(const wchar_t* path)
{
    if (zerova::IsEmpty(path)) return {};
    wchar_t full[MAX_PATH];
    const DWORD fullLength = ::GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) return {};
    wchar_t longer[MAX_PATH];
    const DWORD longLength = ::GetLongPathNameW(full, longer, MAX_PATH);
    return longLength > 0 && longLength < MAX_PATH ? longer : full;
}

bool SamePath(const std::wstring& first, const std::wstring& second)
{
    return !first.empty() && !second.empty() &&
           ::CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                  static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

std::wstring ProcessImageOf(HWND window)
{
    DWORD processId = 0;
    if (window == nullptr || ::GetWindowThreadProcessId(window, &processId) == 0 || processId == 0) return {};
    zerova::UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return {};
    wchar_t image[MAX_PATH];
    DWORD length = MAX_PATH;
    if (!::QueryFullProcessImageNameW(process.Get(), 0, image, &length)) return {};
    return ComparablePath(image);
}

std::wstring ApplicationFolderHost(CVarnelUtils& utils)
{
    wchar_t host[MAX_PATH] = L"";
    utils.GetVarnelFilename(host, MAX_PATH);
    return ComparablePath(host);
}

std::wstring OwnExecutable()
{
    wchar_t executable[MAX_PATH] = L"";
    const DWORD length = ::GetModuleFileNameW(nullptr, executable, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return ComparablePath(executable);
}

}  // namespace

namespace control {

bool IsOwnProcessWindow(HWND window)
{
    DWORD processId = 0;
    return window != nullptr && ::GetWindowThreadProcessId(window, &processId) != 0 &&
           processId == ::GetCurrentProcessId();
}

bool IsTrayHostProcessWindow(HWND window, CVarnelUtils& utils)
{
    const std::wstring image = ProcessImageOf(window);
    return SamePath(image, ApplicationFolderHost(utils)) || SamePath(image, OwnExecutable());
}

}  // namespace control
