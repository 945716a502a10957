/* The smallest plug-in the tray loads: the four required entry points and nothing else, so that
 * the benchmarks measure the tray's work and not the plug-in's. */
#include "VarnelPluginContract.h"

#define PLUGIN_EXPORT __declspec(dllexport)

static int g_context;

PLUGIN_EXPORT int VARNEL_CALL PluginGetVersionInfo(void* handle, int* major, int* minor)
{
    (void)handle;
    *major = 2;
    *minor = 2;
    return 0;
}

PLUGIN_EXPORT int VARNEL_CALL PluginInit(void* handle, WORD language2, WORD language1, int* major, int* minor,
                                         void** context, wchar_t* registrySubkeyPath, wchar_t* displayName,
                                         int displayNameCapacity)
{
    (void)handle, (void)language2, (void)language1, (void)major, (void)minor, (void)registrySubkeyPath;
    (void)displayName, (void)displayNameCapacity;
    *context = &g_context;
    return 0;
}

PLUGIN_EXPORT int VARNEL_CALL PluginActivity(VARNEL_ACTIVITY activity, int first, INT_PTR second, void* context)
{
    (void)activity, (void)first, (void)second, (void)context;
    return 0;
}

PLUGIN_EXPORT void VARNEL_CALL PluginCleanup(void* context) { (void)context; }
