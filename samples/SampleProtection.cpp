// A protection plug-in: two menu items in two categories and a state that follows what the user
// (or another process, through a plug-in message) asks of it.
//
//   menu "Protection" > "Pause protection" (item 1) and "Resume protection" (item 2)
//   menu "Tools"      > "Show protection status" (item 3)
//   plug-in messages: "protection:pause" (warning), "protection:fail" (error),
//                     "protection:resume" (back to normal)
#include "VarnelPluginAPI.h"

#include <cwchar>

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {
void* g_handle = nullptr;
HWND g_window = nullptr;
int g_context = 0;  // the context handed back in every call: any value the plug-in likes

// The tray host delivers a picked menu item as this activity with the item's identifier.
const int kMenuCommandActivity = 100;

void Report(VARNEL_PLUGIN_STATE state, const wchar_t* text)
{
    wchar_t buffer[256];
    wcsncpy(buffer, text, 255);
    buffer[255] = L'\0';
    VarnelSetState(g_handle, state, buffer);
}

// Only the item that makes sense now can be picked.
void OfferItems(bool paused)
{
    VarnelEnableMenuItem(g_handle, 1, paused ? MF_GRAYED : MF_ENABLED);
    VarnelEnableMenuItem(g_handle, 2, paused ? MF_ENABLED : MF_GRAYED);
}

void Pause()
{
    Report(VARNEL_PLUGIN_STATE_WARNING, L"Real-time protection is paused");
    OfferItems(true);
}

void Resume()
{
    Report(VARNEL_PLUGIN_STATE_OK, L"Real-time protection is on");
    OfferItems(false);
}

void Fail()
{
    Report(VARNEL_PLUGIN_STATE_ERROR, L"Real-time protection stopped unexpectedly");
    OfferItems(true);
    // Errors go to the tray's error loggers as well.
    wchar_t message[] = L"The real-time protection engine stopped unexpectedly";
    VarnelOutputError(9001, message);
}
}  // namespace

PLUGIN_EXPORT int VARNEL_CALL PluginGetVersionInfo(void* handle, int* major, int* minor)
{
    g_handle = handle;
    *major = VARNEL_INTERFACE_MAJOR;
    *minor = VARNEL_INTERFACE_MINOR;
    return 0;
}

PLUGIN_EXPORT int VARNEL_CALL PluginInit(void* handle, WORD, WORD, int*, int*, void** context, wchar_t*,
                                         wchar_t* displayName, int displayNameCapacity)
{
    g_handle = handle;
    *context = &g_context;
    wcsncpy(displayName, L"Real-time Protection", static_cast<size_t>(displayNameCapacity) - 1);
    displayName[displayNameCapacity - 1] = L'\0';
    return 0;
}

// The window is what makes the tray call PluginCreateMenus; it stays hidden.
PLUGIN_EXPORT HWND VARNEL_CALL PluginCreateMainWindow(void*)
{
    g_window = CreateWindowExW(0, L"STATIC", L"Real-time Protection", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                               nullptr, nullptr);
    return g_window;
}

PLUGIN_EXPORT int VARNEL_CALL PluginCreateMenus(void*)
{
    wchar_t pause[] = L"Pause protection";
    wchar_t resume[] = L"Resume protection";
    wchar_t status[] = L"Show protection status";
    VarnelAddMenuItem(g_handle, pause, 1, VARNEL_MENU_CATEGORY_A);
    VarnelAddMenuItem(g_handle, resume, 2, VARNEL_MENU_CATEGORY_A);
    VarnelAddMenuItem(g_handle, status, 3, VARNEL_MENU_CATEGORY_B);
    OfferItems(false);  // protection starts on
    return 0;
}

PLUGIN_EXPORT int VARNEL_CALL PluginActivity(VARNEL_ACTIVITY activity, int first, INT_PTR second, void*)
{
    if (activity == VARNEL_ACTIVITY_PLUGIN_COMM) {
        const auto* text = reinterpret_cast<const wchar_t*>(second);
        if (text == nullptr) return 0;
        if (wcscmp(text, L"protection:pause") == 0) Pause();
        else if (wcscmp(text, L"protection:fail") == 0) Fail();
        else if (wcscmp(text, L"protection:resume") == 0) Resume();
    } else if (activity == kMenuCommandActivity) {
        if (first == 1) Pause();
        if (first == 2) Resume();
    }
    return 0;
}

PLUGIN_EXPORT void VARNEL_CALL PluginCleanup(void*)
{
    if (g_window != nullptr) DestroyWindow(g_window);
    g_window = nullptr;
}
