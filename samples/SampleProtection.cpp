// A protection plug-in: two menu items in two categories, a state that follows what the user (or
// another process, through a plug-in message) asks of it, and an entry in the about box. Its texts
// are in English and German (SampleProtection.rc), in the tray's language.
//
//   menu "Protection" > "Pause protection" (item 1) and "Resume protection" (item 2)
//   menu "Tools"      > "Show protection status" (item 3)
//   plug-in messages: "protection:pause" (warning), "protection:fail" (error),
//                     "protection:resume" (back to normal)
#include "SampleLanguage.h"
#include "SampleTexts.h"
#include "VarnelPluginAPI.h"

#include <cwchar>

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {
void* g_handle = nullptr;
HWND g_window = nullptr;
int g_context = 0;  // the context handed back in every call: any value the plug-in likes
wchar_t g_aboutPairs[MAX_PATH] = L"";  // the about box reads it after the call: it must stay

void Report(VARNEL_PLUGIN_STATE state, UINT textId)
{
    wchar_t text[MAX_PATH];
    VarnelSetState(g_handle, state, SampleText(textId, text, MAX_PATH));
}

// Only the item that makes sense now can be picked.
void OfferItems(bool paused)
{
    VarnelEnableMenuItem(g_handle, 1, paused ? MF_GRAYED : MF_ENABLED);
    VarnelEnableMenuItem(g_handle, 2, paused ? MF_ENABLED : MF_GRAYED);
}

void Pause()
{
    Report(VARNEL_PLUGIN_STATE_WARNING, IDS_PROTECTION_PAUSED);
    OfferItems(true);
}

void Resume()
{
    Report(VARNEL_PLUGIN_STATE_OK, IDS_PROTECTION_ON);
    OfferItems(false);
}

void Fail()
{
    Report(VARNEL_PLUGIN_STATE_ERROR, IDS_PROTECTION_STOPPED);
    OfferItems(true);
    // Errors go to the tray's error loggers as well.
    wchar_t message[MAX_PATH];
    VarnelOutputError(9001, SampleText(IDS_PROTECTION_ENGINE_STOPPED, message, MAX_PATH));
}

void AddItem(UINT textId, int itemId, VARNEL_MENU_CATEGORY category)
{
    wchar_t caption[MAX_PATH];
    VarnelAddMenuItem(g_handle, SampleText(textId, caption, MAX_PATH), itemId, category);
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
    *context = &g_context;
    SampleChooseLanguage(language1, language2);
    SampleText(IDS_PROTECTION_NAME, displayName, displayNameCapacity);
    return 0;
}

// The window is what makes the tray call PluginCreateMenus; it stays hidden.
PLUGIN_EXPORT HWND VARNEL_CALL PluginCreateMainWindow(void*)
{
    wchar_t title[MAX_PATH];
    g_window = CreateWindowExW(0, L"STATIC", SampleText(IDS_PROTECTION_NAME, title, MAX_PATH), WS_POPUP, 0, 0, 1, 1,
                               nullptr, nullptr, nullptr, nullptr);
    return g_window;
}

PLUGIN_EXPORT int VARNEL_CALL PluginCreateMenus(void*)
{
    AddItem(IDS_PROTECTION_PAUSE, 1, VARNEL_MENU_CATEGORY_A);
    AddItem(IDS_PROTECTION_RESUME, 2, VARNEL_MENU_CATEGORY_A);
    AddItem(IDS_PROTECTION_STATUS, 3, VARNEL_MENU_CATEGORY_B);
    OfferItems(false);  // protection starts on
    return 0;
}

// One entry in the about box: product name, version, a line of details and name|value| pairs.
PLUGIN_EXPORT int VARNEL_CALL PluginGetAboutBoxText(void* info, wchar_t** pairs, wchar_t** extra, void*, bool* more)
{
    auto* about = static_cast<VARNEL_ABOUT_INFO*>(info);
    SampleText(IDS_PROTECTION_NAME, about->productName, 260);
    SampleText(IDS_PROTECTION_VERSION, about->version, 260);
    SampleText(IDS_PROTECTION_DETAILS, about->furtherLine, 260);
    *pairs = SampleText(IDS_PROTECTION_PAIRS, g_aboutPairs, MAX_PATH);
    *extra = nullptr;
    *more = false;  // no further entry
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
    } else if (activity == VARNEL_ACTIVITY_MENU_COMMAND) {
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
