// An error logger: every error the tray reports reaches it, and it writes one line per error to a
// log file: the "LogFile" value of its registry entry, else VarnelErrors.log in the temp folder.
#include "SampleLanguage.h"
#include "SampleTexts.h"
#include "VarnelPluginAPI.h"

#include <cstdio>
#include <cwchar>

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {
wchar_t g_logFile[MAX_PATH] = L"";
CRITICAL_SECTION g_lock;  // errors arrive on any thread
int g_context = 0;

void ChooseLogFile(const wchar_t* registrySubkeyPath)
{
    DWORD size = sizeof(g_logFile);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, registrySubkeyPath, L"LogFile", RRF_RT_REG_SZ, nullptr, g_logFile, &size) ==
            ERROR_SUCCESS &&
        g_logFile[0] != L'\0')
        return;
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    swprintf(g_logFile, MAX_PATH, L"%lsVarnelErrors.log", temp);
}
}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&g_lock);
    if (reason == DLL_PROCESS_DETACH) DeleteCriticalSection(&g_lock);
    return TRUE;
}

PLUGIN_EXPORT int VARNEL_CALL PluginGetVersionInfo(void*, int* major, int* minor)
{
    *major = VARNEL_INTERFACE_MAJOR;
    *minor = VARNEL_INTERFACE_MINOR;
    return 0;
}

// language2 is the system's user-interface language, language1 the user's.
PLUGIN_EXPORT int VARNEL_CALL PluginInit(void*, WORD language2, WORD language1, int*, int*, void** context,
                                         wchar_t* registrySubkeyPath, wchar_t* displayName, int displayNameCapacity)
{
    *context = &g_context;
    ChooseLogFile(registrySubkeyPath);
    SampleChooseLanguage(language1, language2);
    SampleText(IDS_LOGGER_NAME, displayName, displayNameCapacity);
    return 0;
}

// One UTF-8 line: the error number, the message and the time the tray gave.
PLUGIN_EXPORT int VARNEL_CALL PluginLogError(HWND, const wchar_t* message, const wchar_t* when, int number, void*)
{
    wchar_t line[1200];
    swprintf(line, 1200, L"%ls | error %d | %ls\r\n", when != nullptr ? when : L"", number,
             message != nullptr ? message : L"");
    char utf8[3600];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), nullptr, nullptr);
    if (bytes <= 1) return 0;
    EnterCriticalSection(&g_lock);
    HANDLE file = CreateFileW(g_logFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
        CloseHandle(file);
    }
    LeaveCriticalSection(&g_lock);
    return 0;
}

PLUGIN_EXPORT int VARNEL_CALL PluginActivity(VARNEL_ACTIVITY, int, INT_PTR, void*) { return 0; }

PLUGIN_EXPORT void VARNEL_CALL PluginCleanup(void*) {}
