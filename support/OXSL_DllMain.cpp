#include "OXSL_DllMain.h"
#include "Lock.h"
#include "DebugTrace.h"
#include "ErrorMsg.h"
#include "FileIO.h"
#include "HeldLibraryFiles.h"
#include "PeImports.h"
#include "RegistryEx.h"
#include "RegistryFlag.h"
#include "SafeString.h"

#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t kVarnelKey[] = L"SOFTWARE\\Zerova\\Varnel";
const wchar_t kRequireSignedValue[] = L"RequireSignedPlugins";
const int kSwitchNotUnderstoodString = 444;
// More libraries of its own folder than any real plug-in takes, but a bound for a crafted one.
const size_t kMaxLibrariesChecked = 64;

HINSTANCE g_supportInstance = nullptr;
zerova::Mutex g_dialogLock;
std::vector<HWND> g_dialogs;

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "X:\..." with nothing that makes it a device path, a network path or a stream name.
bool IsAbsoluteLocalPath(const wchar_t* path)
{
    size_t length = zerova::BoundedLength(path, MAX_PATH);
    if (length < 4 || length >= MAX_PATH) return false;
    if (!IsLetter(path[0]) || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) return false;
    return wcschr(path + 2, L':') == nullptr;  // a later colon names an alternate data stream
}

bool HasDllExtension(const wchar_t* path)
{
    size_t length = wcslen(path);
    return length > 4 && _wcsicmp(path + length - 4, L".dll") == 0;
}

// Whoever can write the file or its folders could otherwise swap it between the check and the
// load: the check reads the very file that stays held open for the load (WINTRUST_FILE_INFO.hFile).
bool SignatureAccepted(HANDLE file, const wchar_t* path)
{
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (status != ERROR_SUCCESS)
        ZEROVA_TRACE(4, L"COXSL_DllMain::IsTrustedDLL - the signature of \"%s\" is not accepted (0x%08X)", path,
                     static_cast<unsigned>(status));
    return status == ERROR_SUCCESS;
}

// The signing policy's switch fails closed: a value that is there but not understood turns it on,
// and is reported once for as long as it stays the same.
class SigningSwitch {
public:
    bool IsOn()
    {
        wchar_t seen[kSeenLength];
        const CRegistrySwitch::Reading reading =
            CRegistrySwitch::Read(HKEY_LOCAL_MACHINE, kVarnelKey, kRequireSignedValue, seen, kSeenLength);
        if (reading == CRegistrySwitch::Reading::NotUnderstood) ReportOnce(seen);
        else Forget();
        return reading != CRegistrySwitch::Reading::Off;
    }

private:
    static const int kSeenLength = 128;

    void ReportOnce(const wchar_t* seen)
    {
        {
            std::lock_guard<zerova::Mutex> guard(m_lock);
            if (m_reported == seen) return;
            m_reported = seen;
        }
        ZEROVA_TRACE(0, L"COXSL_DllMain::IsTrustedDLL - \"%s\" holds %s, which is not understood: only signed "
                        L"plug-ins are loaded",
                     kRequireSignedValue, seen);
        CErrorMsg::Instance()->Error(kSwitchNotUnderstoodString);
    }

    void Forget()
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        m_reported.clear();
    }

    zerova::Mutex m_lock;
    std::wstring m_reported;
};

SigningSwitch& RequireSignedPlugins()
{
    static SigningSwitch signingSwitch;
    return signingSwitch;
}

// The name under which the loader looks a library up: without an extension it adds ".dll".
std::wstring LibraryFileName(const std::wstring& name)
{
    return name.find(L'.') == std::wstring::npos ? name + L".dll" : name;
}

bool IsPlainFileName(const std::wstring& name)
{
    return !name.empty() && name.find_first_of(L"\\/:") == std::wstring::npos && name != L"." && name != L"..";
}

// Under the signing policy, every library that the load takes by name ends up as one of: a module
// already in the process (kept loaded), a file of the library's own folder that passes the same
// signature test (held like the library), or a library of the system folder (loaded now and kept,
// so that the load finds it in the process and never looks for it in the library's folder).
// Anything else refuses the load.
class LoadTimeLibraries {
public:
    explicit LoadTimeLibraries(CHeldLibraryFiles& held) : m_held(held), m_folder()
    {
        if (CFileIO::GetFolder(held.Path(), m_folder, MAX_PATH) == nullptr) m_folder[0] = L'\0';
    }

    bool HoldAll()
    {
        std::vector<HANDLE> pending{m_held.File()};
        while (!pending.empty()) {
            const HANDLE file = pending.back();
            pending.pop_back();
            std::vector<std::wstring> names;
            if (!zerova::ReadLoadTimeLibraries(file, names))
                return Refuse(L"the import or export table of a library cannot be read", L"");
            for (const std::wstring& name : names)
                if (!Resolve(LibraryFileName(name), pending)) return false;
        }
        return true;
    }

private:
    bool Resolve(const std::wstring& name, std::vector<HANDLE>& pending)
    {
        std::wstring key(name);
        ::CharLowerBuffW(&key[0], static_cast<DWORD>(key.size()));
        if (!m_seen.insert(key).second) return true;
        if (!IsPlainFileName(name)) return Refuse(L"it names a library by a path:", name.c_str());
        HMODULE loaded = nullptr;
        if (::GetModuleHandleExW(0, name.c_str(), &loaded)) {
            m_held.KeepModule(loaded);
            return true;
        }
        wchar_t besideIt[MAX_PATH] = L"";
        if (CFileIO::CombinePath(m_folder, name.c_str(), besideIt, MAX_PATH) == nullptr || besideIt[0] == L'\0')
            return Refuse(L"the path of a library it needs is too long:", name.c_str());
        if (::GetFileAttributesW(besideIt) != INVALID_FILE_ATTRIBUTES) return HoldBesideIt(besideIt, pending);
        const HMODULE system = ::LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (system == nullptr)
            return Refuse(L"a library it needs is neither loaded, nor in its folder, nor a system library:", name.c_str());
        m_held.KeepModule(system);
        return true;
    }

    bool HoldBesideIt(const wchar_t* path, std::vector<HANDLE>& pending)
    {
        if (++m_filesHeld > kMaxLibrariesChecked) return Refuse(L"it takes too many libraries from its folder:", path);
        const HANDLE file = m_held.HoldDependency(path);
        if (file == nullptr) return Refuse(L"a library in its folder cannot be opened for reading alone:", path);
        if (!SignatureAccepted(file, path)) return Refuse(L"a library in its folder is not signed:", path);
        pending.push_back(file);
        return true;
    }

    bool Refuse(const wchar_t* why, const wchar_t* library)
    {
        ZEROVA_TRACE(4, L"COXSL_DllMain::IsTrustedDLL - \"%s\" is refused: %s %s", m_held.Path(), why, library);
        return false;
    }

    CHeldLibraryFiles& m_held;
    wchar_t m_folder[MAX_PATH];
    std::set<std::wstring> m_seen;
    size_t m_filesHeld = 0;
};

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        g_supportInstance = instance;
    }
    return TRUE;
}

COXSL_DllMain* COXSL_DllMain::Instance()
{
    static COXSL_DllMain instance;
    return &instance;
}

HINSTANCE COXSL_DllMain::GetModuleInstance() { return g_supportInstance; }

wchar_t* COXSL_DllMain::GetApplicationFolder(wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return buffer;
    wchar_t folder[MAX_PATH] = L"";
    if (CRegistryEx::GetPath(HKEY_LOCAL_MACHINE, kVarnelKey, L"ApplicationFolder", folder, MAX_PATH) &&
        folder[0] != L'\0') {
        size_t n = wcslen(folder);
        while (n > 3 && (folder[n - 1] == L'\\' || folder[n - 1] == L'/')) folder[--n] = L'\0';
        return zerova::CopyString(buffer, length, folder);
    }
    wchar_t exe[MAX_PATH] = L"";
    DWORD got = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (got == 0 || got >= MAX_PATH) exe[0] = L'\0';
    return CFileIO::GetFolder(exe, buffer, length);
}

bool COXSL_DllMain::IsTrustedDLL(const wchar_t* path, bool& reasonA, bool& reasonB)
{
    CHeldLibraryFiles held;
    return IsTrustedDLL(path, reasonA, reasonB, held);
}

bool COXSL_DllMain::IsTrustedDLL(const wchar_t* path, bool& reasonA, bool& reasonB, CHeldLibraryFiles& held)
{
    reasonA = false;
    reasonB = false;
    held.Clear();
    if (zerova::IsEmpty(path) || !IsAbsoluteLocalPath(path) || !HasDllExtension(path)) {
        reasonA = true;
        return false;
    }
    if (!held.HoldLibrary(path)) {
        ZEROVA_TRACE(4, L"COXSL_DllMain::IsTrustedDLL - \"%s\" cannot be opened as a disk file for reading alone "
                        L"(error %u)",
                     path, static_cast<unsigned>(::GetLastError()));
        reasonA = true;
        return false;
    }
    if (!RequireSignedPlugins().IsOn()) return true;
    if (!held.HoldFolders()) {
        ZEROVA_TRACE(4, L"COXSL_DllMain::IsTrustedDLL - the folders above \"%s\" cannot be held", path);
        reasonB = true;
    } else if (!SignatureAccepted(held.File(), path) || !LoadTimeLibraries(held).HoldAll()) {
        reasonB = true;
    }
    if (reasonB) held.Clear();
    return !reasonB;
}

void COXSL_DllMain::AddDlgToDlgList(HWND dialog)
{
    if (dialog == nullptr) return;
    std::lock_guard<zerova::Mutex> guard(g_dialogLock);
    if (std::find(g_dialogs.begin(), g_dialogs.end(), dialog) == g_dialogs.end()) g_dialogs.push_back(dialog);
}

void COXSL_DllMain::RemoveFromDlgList(HWND dialog)
{
    std::lock_guard<zerova::Mutex> guard(g_dialogLock);
    g_dialogs.erase(std::remove(g_dialogs.begin(), g_dialogs.end(), dialog), g_dialogs.end());
}

bool COXSL_DllMain::PreTranslateDialogMessage(MSG* msg)
{
    if (msg == nullptr) return false;
    std::vector<HWND> dialogs;
    {
        std::lock_guard<zerova::Mutex> guard(g_dialogLock);
        dialogs = g_dialogs;
    }
    for (HWND dialog : dialogs) {
        if (IsWindow(dialog) && (msg->hwnd == dialog || IsChild(dialog, msg->hwnd)) && IsDialogMessageW(dialog, msg))
            return true;
    }
    return false;
}
