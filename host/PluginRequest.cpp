#include "PluginRequest.h"

#include "FileIO.h"
#include "Handles.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "RegistryEx.h"
#include "SafeString.h"
#include "VarnelPrivateInterface.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwchar>
#include <functional>

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// One form for every name of a file: absolute, without "." and ".." parts, with long names.
std::wstring ComparablePath(const wchar_t* path)
{
    if (zerova::IsEmpty(path)) return {};
    wchar_t full[MAX_PATH];
    const DWORD fullLength = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) return {};
    wchar_t longer[MAX_PATH];
    const DWORD longLength = GetLongPathNameW(full, longer, MAX_PATH);
    return longLength > 0 && longLength < MAX_PATH ? longer : full;
}

bool SamePath(const std::wstring& first, const std::wstring& second)
{
    return !first.empty() && !second.empty() &&
           CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

// The first registered subkey whose "Path" value satisfies the test; empty when none does.
std::wstring FirstRegisteredSubkey(const std::function<bool(const wchar_t* libraryPath)>& matches)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CPluginInterface::PluginsKey, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return {};
    const zerova::UniqueRegKey list(opened);
    std::wstring found;
    for (DWORD index = 0; found.empty(); ++index) {
        wchar_t name[MAX_PATH];
        DWORD length = MAX_PATH;
        if (RegEnumKeyExW(list.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        wchar_t key[MAX_PATH] = L"";
        wchar_t libraryPath[MAX_PATH] = L"";
        if (CFileIO::CombinePath(CPluginInterface::PluginsKey, name, key, MAX_PATH) != nullptr && key[0] != L'\0' &&
            CRegistryEx::GetPath(HKEY_LOCAL_MACHINE, key, L"Path", libraryPath, MAX_PATH) && matches(libraryPath))
            found = name;
    }
    return found;
}

}  // namespace

PluginNaming NamingOf(const wchar_t* text)
{
    if (zerova::IsEmpty(text) || zerova::BoundedLength(text, MAX_PATH) >= MAX_PATH) return PluginNaming::Invalid;
    if (wcspbrk(text, L"\\/:") == nullptr) return PluginNaming::FileName;
    // "X:\..." and nothing else: no drive-relative, network, device or stream names.
    if (IsDriveLetter(text[0]) && text[1] == L':' && IsSeparator(text[2]) && wcschr(text + 2, L':') == nullptr &&
        !IsSeparator(text[3]))
        return PluginNaming::FullPath;
    return PluginNaming::Invalid;
}

std::wstring RegisteredSubkeyForPath(const wchar_t* path)
{
    const std::wstring wanted = ComparablePath(path);
    if (wanted.empty()) return {};
    return FirstRegisteredSubkey([&](const wchar_t* libraryPath) {
        return NamingOf(libraryPath) == PluginNaming::FullPath && SamePath(ComparablePath(libraryPath), wanted);
    });
}

std::wstring RegisteredSubkeyForFileName(const wchar_t* fileName)
{
    if (zerova::IsEmpty(fileName)) return {};
    return FirstRegisteredSubkey(
        [&](const wchar_t* libraryPath) { return zerova::EqualsNoCase(CFileIO::GetFilename(libraryPath), fileName); });
}

bool SamePluginPath(const wchar_t* first, const wchar_t* second)
{
    return SamePath(ComparablePath(first), ComparablePath(second));
}

void* LoadedPluginWithPath(const wchar_t* path)
{
    const std::wstring wanted = ComparablePath(path);
    if (wanted.empty()) return nullptr;
    for (CVarnelPrivateInterface::PLUGIN_DATA* record : CPluginInterface::Instance()->GetPluginList()) {
        auto* plugin = static_cast<CPlugin*>(record->plugin);
        wchar_t libraryPath[MAX_PATH] = L"";
        if (plugin != nullptr && plugin->IsLoaded() && plugin->GetPath(libraryPath, MAX_PATH) != nullptr &&
            SamePath(ComparablePath(libraryPath), wanted))
            return record;
    }
    return nullptr;
}
