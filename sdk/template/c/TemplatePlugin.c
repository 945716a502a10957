/* TemplatePlugin.c: a plug-in of the Varnel tray in C (C89 on).
 *
 * It exports the four entry points every plug-in needs and the two that give it a menu item, keeps a
 * state (running or paused), switches it from its menu item or a plug-in message, and gives back what
 * it holds when the tray unloads it. Rename it, keep the shape. PLUGIN-GUIDE.md in the SDK folder says what each entry
 * point may do, on which thread, and what the tray refuses. */
#include "VarnelPluginAPI.h"

#include <wchar.h>

#define PLUGIN_EXPORT __declspec(dllexport)

/* The plug-in's own identifier for its one menu item (use 1 to 65535). */
#define ITEM_PAUSE 1

static void* g_handle = NULL; /* the tray's handle for this plug-in: the first argument of every call */
static HWND g_window = NULL;  /* the main window the tray asks for; it stays hidden */
static int g_paused = 0;

static void CopyText(wchar_t* target, int capacity, const wchar_t* text)
{
    if (capacity <= 0) return;
    wcsncpy(target, text, (size_t)capacity - 1);
    target[capacity - 1] = L'\0';
}

/* The state the tray shows for this plug-in, and the check mark of its menu item. */
static void ShowPaused(int paused)
{
    wchar_t pausedText[] = L"The template is paused";
    wchar_t runningText[] = L"The template is running";
    g_paused = paused;
    VarnelSetState(g_handle, paused ? VARNEL_PLUGIN_STATE_WARNING : VARNEL_PLUGIN_STATE_OK,
                   paused ? pausedText : runningText);
    VarnelCheckMenuItem(g_handle, ITEM_PAUSE, paused ? MF_CHECKED : MF_UNCHECKED);
}

/* ---- required entry points ---- */

PLUGIN_EXPORT int VARNEL_CALL PluginGetVersionInfo(void* handle, int* major, int* minor)
{
    g_handle = handle;
    *major = VARNEL_INTERFACE_MAJOR;
    *minor = VARNEL_INTERFACE_MINOR;
    return 0;
}

/* The plug-in is not loaded yet: no state or menu calls here (the tray refuses them with 530). */
PLUGIN_EXPORT int VARNEL_CALL PluginInit(void* handle, WORD language2, WORD language1, int* major, int* minor,
                                         void** context, wchar_t* registrySubkeyPath, wchar_t* displayName,
                                         int displayNameCapacity)
{
    (void)language2;
    (void)language1;
    (void)major;
    (void)minor;
    (void)registrySubkeyPath;
    g_handle = handle;
    g_paused = 0;
    *context = NULL; /* any value: it comes back in every later call */
    CopyText(displayName, displayNameCapacity, L"Template Plug-in (C)");
    return 0; /* 0: loaded */
}

/* Activities come on several threads; ignore the ones you do not know. The menu item switches the
 * state, and so do the plug-in messages "template:pause" and "template:resume"
 * (varnelctl plugin-comm template:pause 0). */
PLUGIN_EXPORT int VARNEL_CALL PluginActivity(VARNEL_ACTIVITY activity, int first, INT_PTR second, void* context)
{
    const wchar_t* message = (const wchar_t*)second; /* for activity 7: valid during this call only */
    (void)context;
    if (activity == VARNEL_ACTIVITY_MENU_COMMAND && first == ITEM_PAUSE) ShowPaused(!g_paused);
    if (activity == VARNEL_ACTIVITY_PLUGIN_COMM && message != NULL) {
        if (wcscmp(message, L"template:pause") == 0) ShowPaused(1);
        if (wcscmp(message, L"template:resume") == 0) ShowPaused(0);
    }
    return 0;
}

/* The last call: stop what runs, free what is held; the library is freed right after. Calls to the
 * tray are refused from here on, and the tray removes the menu item by itself. */
PLUGIN_EXPORT void VARNEL_CALL PluginCleanup(void* context)
{
    (void)context;
    if (g_window != NULL) DestroyWindow(g_window);
    g_window = NULL;
    g_handle = NULL;
}

/* ---- optional entry points: a main window and menu items come together ---- */

PLUGIN_EXPORT HWND VARNEL_CALL PluginCreateMainWindow(void* context)
{
    (void)context;
    g_window = CreateWindowExW(0, L"STATIC", L"Template Plug-in (C)", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    return g_window; /* NULL would refuse the load (error 427) */
}

PLUGIN_EXPORT int VARNEL_CALL PluginCreateMenus(void* context)
{
    (void)context;
    VarnelAddMenuItem(g_handle, L"Pause the template", ITEM_PAUSE, VARNEL_MENU_CATEGORY_A);
    return 0;
}
