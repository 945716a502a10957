#include "OXSL_DllMain.h"
#include "FileIO.h"
#include "Handles.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

const wchar_t kVarnelKey[] = L"SOFTWARE\\Zerova\\Varnel";

HINSTANCE g_supportInstance = nullptr;
std::mutex g_dialogLock;
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

bool IsRegularDiskFile(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return false;
    zerova::UniqueFileHandle file(CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.Valid() && GetFileType(file.Get()) == FILE_TYPE_DISK;
}

bool SignatureAccepted(const wchar_t* path)
{
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status == ERROR_SUCCESS;
}

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
    reasonA = false;
    reasonB = false;
    if (zerova::IsEmpty(path) || !IsAbsoluteLocalPath(path) || !HasDllExtension(path) || !IsRegularDiskFile(path)) {
        reasonA = true;
        return false;
    }
    bool requireSigned = false;
    CRegistryEx::Get(HKEY_LOCAL_MACHINE, kVarnelKey, L"RequireSignedPlugins", requireSigned, false);
    if (requireSigned && !SignatureAccepted(path)) {
        reasonB = true;
        return false;
    }
    return true;
}

void COXSL_DllMain::AddDlgToDlgList(HWND dialog)
{
    if (dialog == nullptr) return;
    std::lock_guard<std::mutex> guard(g_dialogLock);
    if (std::find(g_dialogs.begin(), g_dialogs.end(), dialog) == g_dialogs.end()) g_dialogs.push_back(dialog);
}

void COXSL_DllMain::RemoveFromDlgList(HWND dialog)
{
    std::lock_guard<std::mutex> guard(g_dialogLock);
    g_dialogs.erase(std::remove(g_dialogs.begin(), g_dialogs.end(), dialog), g_dialogs.end());
}

bool COXSL_DllMain::PreTranslateDialogMessage(MSG* msg)
{
    if (msg == nullptr) return false;
    std::vector<HWND> dialogs;
    {
        std::lock_guard<std::mutex> guard(g_dialogLock);
        dialogs = g_dialogs;
    }
    for (HWND dialog : dialogs) {
        if (IsWindow(dialog) && (msg->hwnd == dialog || IsChild(dialog, msg->hwnd)) && IsDialogMessageW(dialog, msg))
            return true;
    }
    return false;
}
