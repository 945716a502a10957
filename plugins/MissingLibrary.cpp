#include "MissingLibrary.h"

#include "FileIO.h"
#include "Handles.h"
#include "PeImports.h"

#include <cwctype>
#include <vector>

namespace plugins {
namespace {
// Names of the system's API sets are resolved by the loader, never found as files.
bool IsApiSetName(const std::wstring& name)
{
    std::wstring lower;
    for (wchar_t c : name) lower += static_cast<wchar_t>(std::towlower(c));
    return lower.rfind(L"api-ms-", 0) == 0 || lower.rfind(L"ext-ms-", 0) == 0;
}

bool IsFound(const std::wstring& name, const std::wstring& folder)
{
    if (IsApiSetName(name) || ::GetModuleHandleW(name.c_str()) != nullptr) return true;
    wchar_t found[MAX_PATH];
    if (!folder.empty() && ::SearchPathW(folder.c_str(), name.c_str(), nullptr, MAX_PATH, found, nullptr) != 0)
        return true;
    return ::SearchPathW(nullptr, name.c_str(), nullptr, MAX_PATH, found, nullptr) != 0;
}

std::wstring FolderOf(const wchar_t* path)
{
    std::wstring folder(path);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
}
}  // namespace

std::wstring FirstMissingImport(const wchar_t* libraryPath)
{
    zerova::UniqueFileHandle file(::CreateFileW(libraryPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::wstring();
    std::vector<std::wstring> imports;
    if (!zerova::ReadLoadTimeLibraries(file.Get(), imports)) return std::wstring();
    const std::wstring folder = FolderOf(libraryPath);
    for (const std::wstring& name : imports)
        if (!IsFound(name, folder)) return name;
    return std::wstring();
}

std::wstring SystemErrorText(DWORD error)
{
    wchar_t text[512] = L"";
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                          0, text, 512, nullptr);
    std::wstring result(text, length);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
        result.pop_back();
    return result;
}

}  // namespace plugins
