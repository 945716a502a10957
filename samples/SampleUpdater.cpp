// An updater: the tray's "Check for updates" reaches it (PluginUpdate), and it claims an entry of
// its own at the top of the tray menu (a suite entry) that runs the same update. Its texts are in
// English and German (SampleUpdater.rc).
//   plug-in message: "updater:crash" makes it read through a bad pointer, as a buggy plug-in
//                    would; the tray shows it as stopped and goes on without it.
//   plug-in message: "updater:slow-server N" has the next update wait N seconds for a server that
//                    does not answer, on the tray's thread, as a plug-in that blocks would: the
//                    tray reports that the plug-in does not respond until the update returns.
#include "SampleLanguage.h"
#include "SampleTexts.h"
#include "VarnelPluginAPI.h"

#include <cwchar>

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {
void* g_handle = nullptr;
int g_updates = 0;
DWORD g_serverDelayMs = 0;

void RunUpdate()
{
    if (g_serverDelayMs != 0) {
        Sleep(g_serverDelayMs);
        g_serverDelayMs = 0;
    }
    ++g_updates;
    wchar_t format[MAX_PATH], text[MAX_PATH];
    swprintf(text, MAX_PATH, SampleText(IDS_UPDATER_DONE, format, MAX_PATH), g_updates);
    VarnelSetState(g_handle, VARNEL_PLUGIN_STATE_OK, text);
}

int VARNEL_CALL SuiteEntryPicked(void*, void*, void*)
{
    RunUpdate();
    return 0;
}
}  // namespace

PLUGIN_EXPORT int VARNEL_CALL PluginGetVersionInfo(void* handle, int* major, int* minor)
{
    g_handle = handle;
    *major = VARNEL_INTERFACE_MAJOR;
    *minor = VARNEL_INTERFACE_MINOR;
    return 0;
}

// language2 is the system's user-interface language, language1 the user's.
PLUGIN_EXPORT int VARNEL_CALL PluginInit(void* handle, WORD language2, WORD language1, int*, int*, void** context,
                                         wchar_t*, wchar_t* displayName, int displayNameCapacity)
{
    g_handle = handle;
    *context = &g_updates;
    SampleChooseLanguage(language1, language2);
    SampleText(IDS_UPDATER_NAME, displayName, displayNameCapacity);
    return 0;
}

// Claims the suite entry: its text, the function the tray calls when it is picked, and a cookie.
PLUGIN_EXPORT bool VARNEL_CALL PluginSuiteRegister(void*, UINT, wchar_t* menuText, int* menuTextCapacity,
                                                   VARNEL_SUITE_MENU_ACTION_CALLBACK* action, void** cookie)
{
    SampleText(IDS_UPDATER_ENTRY, menuText, *menuTextCapacity);
    *action = &SuiteEntryPicked;
    *cookie = nullptr;
    return true;
}

PLUGIN_EXPORT void VARNEL_CALL PluginUpdate(void*) { RunUpdate(); }

PLUGIN_EXPORT int VARNEL_CALL PluginActivity(VARNEL_ACTIVITY activity, int, INT_PTR second, void*)
{
    const auto* text = reinterpret_cast<const wchar_t*>(second);
    const wchar_t kSlowServer[] = L"updater:slow-server ";
    if (activity == VARNEL_ACTIVITY_PLUGIN_COMM && text != nullptr && wcsncmp(text, kSlowServer, wcslen(kSlowServer)) == 0) {
        g_serverDelayMs = static_cast<DWORD>(wcstoul(text + wcslen(kSlowServer), nullptr, 10)) * 1000;
        return 0;
    }
    if (activity == VARNEL_ACTIVITY_PLUGIN_COMM && text != nullptr && wcscmp(text, L"updater:crash") == 0) {
        // The address comes from the message's length, so the compiler cannot see it is bad.
        const volatile int* bad = reinterpret_cast<const volatile int*>(static_cast<INT_PTR>(wcslen(text)));
        return *bad;
    }
    return 0;
}

PLUGIN_EXPORT void VARNEL_CALL PluginCleanup(void*) {}
