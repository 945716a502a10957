#include "Localize.h"
#include "FileIO.h"
#include "OXSL_DllMain.h"
#include "SafeString.h"

#include <mutex>

const wchar_t* const CLocalize::ModuleName = L"ZerovaLanguage.dll";

namespace {

std::once_flag g_loadOnce;
HINSTANCE g_module = nullptr;

HINSTANCE LoadFrom(const wchar_t* folder)
{
    wchar_t path[MAX_PATH];
    CFileIO::CombinePath(folder, CLocalize::ModuleName, path, MAX_PATH);
    if (!CFileIO::FileExists(path)) return nullptr;
    return LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

void LoadLanguageModule()
{
    wchar_t folder[MAX_PATH];
    COXSL_DllMain::Instance()->GetApplicationFolder(folder, MAX_PATH);
    g_module = LoadFrom(folder);
    if (g_module != nullptr) return;
    wchar_t own[MAX_PATH] = L"";
    if (GetModuleFileNameW(COXSL_DllMain::Instance()->GetModuleInstance(), own, MAX_PATH) == 0) return;
    CFileIO::GetFolder(own, folder, MAX_PATH);
    g_module = LoadFrom(folder);
}

}  // namespace

CLocalize* CLocalize::Instance()
{
    static CLocalize instance;
    return &instance;
}

HINSTANCE CLocalize::GethInstance()
{
    std::call_once(g_loadOnce, LoadLanguageModule);
    return g_module;
}

wchar_t* CLocalize::GetString(UINT id, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return buffer;
    buffer[0] = L'\0';
    HINSTANCE module = GethInstance();
    if (module == nullptr) return buffer;
    if (LoadStringW(module, id, buffer, length) <= 0) buffer[0] = L'\0';
    return buffer;
}

void CLocalize::GetLangIDs(WORD& first, WORD& second)
{
    first = static_cast<WORD>(GetUserDefaultUILanguage());
    second = static_cast<WORD>(GetSystemDefaultUILanguage());
}
