// TemplatePlugin.cpp: a plug-in of the Varnel tray in C++ (C++17).
//
// It exports the four entry points every plug-in needs and the two that give it a menu item, keeps a
// state (running or paused), switches it from its menu item or a plug-in message, and gives back what
// it holds when the tray unloads it. Rename it, keep the shape. PLUGIN-GUIDE.md in the SDK folder says what each entry
// point may do, on which thread, and what the tray refuses.
//
// No C++ exception may leave an entry point (the tray cannot catch one from a MinGW plug-in), so the
// entry points are noexcept and the code below throws nothing. A plug-in that the tray loads and
// unloads many times keeps iostreams, thrown exceptions and thread_local out of its code: with the
// static C++ run-time each costs the process a thread-local storage slot per load.
#include "VarnelPluginAPI.h"

#include <atomic>
#include <cwchar>
#include <memory>
#include <type_traits>

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {

// The plug-in's own identifier for its one menu item (use 1 to 65535).
constexpr UINT kItemPause = 1;
constexpr wchar_t kDisplayName[] = L"Template Plug-in (C++)";

struct WindowCloser {
    void operator()(HWND window) const noexcept { DestroyWindow(window); }
};
using Window = std::unique_ptr<std::remove_pointer_t<HWND>, WindowCloser>;

// What the plug-in holds while it is loaded: set up in PluginInit, given back in PluginCleanup.
struct Plugin {
    void* handle = nullptr;  // the tray's handle for this plug-in: the first argument of every call
    Window window;           // the main window the tray asks for; it stays hidden
    std::atomic<bool> paused{false};

    // The state the tray shows for this plug-in, and the check mark of its menu item.
    void ShowPaused(bool on) noexcept
    {
        paused = on;
        // VarnelSetState takes a buffer it may change (a text of 260 characters or more is cut in it).
        wchar_t text[64];
        std::wcsncpy(text, on ? L"The template is paused" : L"The template is running", 63);
        text[63] = L'\0';
        VarnelSetState(handle, on ? VARNEL_PLUGIN_STATE_WARNING : VARNEL_PLUGIN_STATE_OK, text);
        VarnelCheckMenuItem(handle, kItemPause, on ? MF_CHECKED : MF_UNCHECKED);
    }
};

Plugin g_plugin;

Plugin* FromContext(void* context) noexcept { return static_cast<Plugin*>(context); }

}  // namespace

// ---- required entry points

PLUGIN_EXPORT int VARNEL_CALL PluginGetVersionInfo(void* handle, int* major, int* minor) noexcept
{
    (void)handle;  // the same handle comes again in PluginInit
    *major = VARNEL_INTERFACE_MAJOR;
    *minor = VARNEL_INTERFACE_MINOR;
    return 0;
}

// The plug-in is not loaded yet: no state or menu calls here (the tray refuses them with 530).
PLUGIN_EXPORT int VARNEL_CALL PluginInit(void* handle, WORD /*language2*/, WORD /*language1*/, int* /*major*/,
                                         int* /*minor*/, void** context, wchar_t* /*registrySubkeyPath*/,
                                         wchar_t* displayName, int displayNameCapacity) noexcept
{
    g_plugin.handle = handle;
    g_plugin.paused = false;
    *context = &g_plugin;  // any value: it comes back in every later call
    std::wcsncpy(displayName, kDisplayName, static_cast<size_t>(displayNameCapacity) - 1);
    displayName[displayNameCapacity - 1] = L'\0';
    return 0;  // 0: loaded
}

// Activities come on several threads; ignore the ones you do not know. The menu item switches the
// state, and so do the plug-in messages "template:pause" and "template:resume"
// (varnelctl plugin-comm template:pause 0).
PLUGIN_EXPORT int VARNEL_CALL PluginActivity(VARNEL_ACTIVITY activity, int first, INT_PTR second,
                                             void* context) noexcept
{
    Plugin* plugin = FromContext(context);
    if (plugin == nullptr) return 0;
    if (activity == VARNEL_ACTIVITY_MENU_COMMAND && first == static_cast<int>(kItemPause))
        plugin->ShowPaused(!plugin->paused);
    if (activity == VARNEL_ACTIVITY_PLUGIN_COMM && second != 0) {
        const wchar_t* message = reinterpret_cast<const wchar_t*>(second);  // valid during this call only
        if (std::wcscmp(message, L"template:pause") == 0) plugin->ShowPaused(true);
        if (std::wcscmp(message, L"template:resume") == 0) plugin->ShowPaused(false);
    }
    return 0;
}

// The last call: stop what runs, free what is held; the library is freed right after. Calls to the
// tray are refused from here on, and the tray removes the menu item by itself. The context is null
// when PluginInit never ran.
PLUGIN_EXPORT void VARNEL_CALL PluginCleanup(void* /*context*/) noexcept
{
    g_plugin.window.reset();
    g_plugin.handle = nullptr;
}

// ---- optional entry points: a main window and menu items come together

PLUGIN_EXPORT HWND VARNEL_CALL PluginCreateMainWindow(void* context) noexcept
{
    Plugin* plugin = FromContext(context);
    if (plugin == nullptr) return nullptr;
    plugin->window.reset(
        CreateWindowExW(0, L"STATIC", kDisplayName, WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
    return plugin->window.get();  // nullptr would refuse the load (error 427)
}

PLUGIN_EXPORT int VARNEL_CALL PluginCreateMenus(void* context) noexcept
{
    Plugin* plugin = FromContext(context);
    if (plugin != nullptr) VarnelAddMenuItem(plugin->handle, L"Pause the template", kItemPause, VARNEL_MENU_CATEGORY_A);
    return 0;
}
