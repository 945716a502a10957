#include "MissingLibrary.h"

#include "FileIO.h"
#include "Handles.h"
#include "PeImports.h"
#include "SafeString.h"

#include <vector>

namespace plugins {
namespace {
bool IsFound(const std::wstring& name, const wchar_t* folder)
{
    if (zerova::IsApiSetName(name.c_str()) || ::GetModuleHandleW(name.c_str()) != nullptr) return true;
    wchar_t found[MAX_PATH];
    if (!zerova::IsEmpty(folder) && ::SearchPathW(folder, name.c_str(), nullptr, MAX_PATH, found, nullptr) != 0)
        return true;
    return ::SearchPathW(nullptr, name.c_str(), nullptr, MAX_PATH, found, nullptr) != 0;
}
}  // namespace

std::wstring FirstMissingImport(const wchar_t* libraryPath)
{
    zerova::UniqueFileHandle file(::CreateFileW(libraryPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::wstring();
    std::vector<std::wstring> imports;
    if (!zerova::ReadLoadTimeLibraries(file.Get(), imports)) return std::wstring();
    wchar_t folder[MAX_PATH];
    CFileIO::GetFolder(libraryPath, folder, MAX_PATH);
    for (const std::wstring& name : imports)
        if (!IsFound(name, folder)) return name;
    return std::wstring();
}

}  // namespace plugins
