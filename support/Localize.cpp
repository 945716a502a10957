#include "Localize.h"
#include "DebugTrace.h"
#include "FileIO.h"
#include "OXSL_DllMain.h"
#include "SafeString.h"

#include <mutex>

const wchar_t* const CLocalize::ModuleName = L"ZerovaLanguage.dll";

namespace {

const WORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

std::once_flag g_loadOnce;
HINSTANCE g_module = nullptr;
WORD g_moduleLanguage = 0;

HINSTANCE LoadFrom(const wchar_t* folder, const wchar_t* name)
{
    if (zerova::IsEmpty(folder)) return nullptr;
    wchar_t path[MAX_PATH];
    CFileIO::CombinePath(folder, name, path, MAX_PATH);
    if (!CFileIO::FileExists(path)) return nullptr;
    return LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

// The application folder first, so that an installation can bring its own modules.
HINSTANCE LoadModuleOf(WORD language)
{
    wchar_t name[MAX_PATH];
    if (!CLocalize::GetModuleName(language, name, MAX_PATH)) return nullptr;
    wchar_t folder[MAX_PATH] = L"";
    COXSL_DllMain::Instance()->GetApplicationFolder(folder, MAX_PATH);
    if (HINSTANCE module = LoadFrom(folder, name)) return module;
    wchar_t own[MAX_PATH] = L"";
    if (GetModuleFileNameW(COXSL_DllMain::Instance()->GetModuleInstance(), own, MAX_PATH) == 0) return nullptr;
    CFileIO::GetFolder(own, folder, MAX_PATH);
    return LoadFrom(folder, name);
}

void LoadLanguageModule()
{
    WORD user = 0, system = 0;
    CLocalize::Instance()->GetLangIDs(user, system);
    for (WORD language : {user, system, kEnglish}) {
        g_module = LoadModuleOf(language);
        if (g_module == nullptr) continue;
        g_moduleLanguage = language;
        ZEROVA_TRACE(4, L"CLocalize: the language module of language 0x%04X is in use", language);
        return;
    }
    ZEROVA_TRACE(0, L"CLocalize: no language module was found");
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

WORD CLocalize::GetModuleLanguage()
{
    GethInstance();
    return g_moduleLanguage;
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

bool CLocalize::GetModuleName(WORD language, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return false;
    buffer[0] = L'\0';
    if (PRIMARYLANGID(language) == LANG_ENGLISH) {
        zerova::CopyString(buffer, length, ModuleName);
        return true;
    }
    wchar_t iso[16] = L"";
    if (PRIMARYLANGID(language) == LANG_NEUTRAL ||
        GetLocaleInfoW(MAKELCID(language, SORT_DEFAULT), LOCALE_SISO639LANGNAME, iso, 16) <= 0 || iso[0] == L'\0')
        return false;
    zerova::FormatString(buffer, length, L"ZerovaLanguage-%s.dll", iso);
    return true;
}
