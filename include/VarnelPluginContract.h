/*
 * The plug-in contract: what a plug-in DLL exports and the types it shares with the tray.
 * Usable from C (C89 on) and C++, for 32-bit and 64-bit builds; it includes <windows.h>.
 *
 * Calling convention: every entry point and every callback is VARNEL_CALL, which is __cdecl.
 * (On x64 there is one convention; on x86 __cdecl keeps the export names undecorated.)
 * Export the entry points with their plain names, for example:
 *
 *     extern "C" __declspec(dllexport) int VARNEL_CALL PluginInit(...);
 *
 * Threads: the tray calls PluginGetVersionInfo, PluginInit, PluginSuiteRegister,
 * PluginCreateMainWindow, PluginCreateMenus and PluginCleanup on its user-interface thread; every
 * other entry point may also be called on dialog threads or on whatever thread reported an error,
 * so they must accept calls from several threads.
 */
#ifndef VARNEL_PLUGIN_CONTRACT_H
#define VARNEL_PLUGIN_CONTRACT_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

/* bool: C++'s own; C99's from <stdbool.h>; in C89 one byte (unsigned char), the size and passing of
 * bool in C++ and C99 on both architectures, so every signature below means the same in all three. */
#ifndef __cplusplus
#if defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L
#include <stdbool.h>
#elif !defined(bool)
typedef unsigned char bool;
#define true 1
#define false 0
#endif
#endif

#define VARNEL_CALL __cdecl

/* The tray host itself, when it asks for menu work or dialogs on its own behalf. */
#define VARNEL_MAIN_APP_HANDLE ((void*)(UINT_PTR)0xDEADDEADu)

/* Interface versions the tray accepts: 2.1 and 2.2. */
#define VARNEL_INTERFACE_MAJOR 2
#define VARNEL_INTERFACE_MINOR 2

typedef enum VARNEL_PLUGIN_STATE {
    VARNEL_PLUGIN_STATE_OK = 0,
    VARNEL_PLUGIN_STATE_WARNING = 1,
    VARNEL_PLUGIN_STATE_ERROR = 2
} VARNEL_PLUGIN_STATE;

/* First argument of PluginActivity. The tray host may send values of its own as well. */
typedef enum VARNEL_ACTIVITY {
    VARNEL_ACTIVITY_UNLOADING = 2,       /* 0, 0: all plug-ins are about to be unloaded */
    VARNEL_ACTIVITY_DIALOG_CLOSING = 4,  /* 0, 0: a dialog the plug-in opened is being closed */
    VARNEL_ACTIVITY_ADVISORY_RESULT = 5, /* clicked button id, cookie of the message */
    VARNEL_ACTIVITY_PLUGIN_COMM = 7,     /* caller's number, caller's text (const wchar_t*) */
    VARNEL_ACTIVITY_EXIT = 8,            /* 0, 0: the tray host is exiting */
    VARNEL_ACTIVITY_MENU_COMMAND = 100   /* item identifier, 0: the user picked one of the plug-in's menu
                                            items (sent by the tray host on its user-interface thread) */
} VARNEL_ACTIVITY;

/* The tray menu's category flyouts. */
typedef enum VARNEL_MENU_CATEGORY {
    VARNEL_MENU_CATEGORY_A = 0,
    VARNEL_MENU_CATEGORY_B = 1,
    VARNEL_MENU_CATEGORY_C = 2
} VARNEL_MENU_CATEGORY;

/* Capability bits kept per plug-in. */
#define PLUGIN_FLAG_CREATED 0x001
#define PLUGIN_FLAG_ERROR 0x002
#define PLUGIN_FLAG_LOADED 0x004
#define PLUGIN_FLAG_MAIN_WINDOW 0x008
#define PLUGIN_FLAG_ABOUT_BOX 0x010
#define PLUGIN_FLAG_ERROR_LOGGER 0x020
#define PLUGIN_FLAG_UPDATER 0x040
#define PLUGIN_FLAG_HEALTH 0x080
#define PLUGIN_FLAG_ORVIK_ICON_STATUS 0x100
#define PLUGIN_FLAG_SUITE 0x200
#define PLUGIN_FLAG_CAN_UNLOAD 0x400

/* The record behind a plug-in handle: the handle is its address. */
typedef struct VARNEL_PLUGIN_DATA {
    void* reserved;
    void* plugin; /* the tray's plug-in object (CPlugin*) */
} VARNEL_PLUGIN_DATA;

/* ---- required entry points ---- */

/* Writes the interface version the plug-in was built for (both start as -1). Result ignored. */
typedef int(VARNEL_CALL* VARNEL_GET_VERSION_INFO_CALLBACK_PROC)(void* handle, int* major, int* minor);

/* 0: success; 1, 2, 3: known failures; anything else: failure. displayName arrives holding the
 * registry "Name"; the plug-in may overwrite it (at most displayNameCapacity characters) and must
 * not leave it empty. *context is handed back in every later call. */
typedef int(VARNEL_CALL* VARNEL_INIT_CALLBACK_PROC)(void* handle, WORD language2, WORD language1, int* major,
                                                     int* minor, void** context, wchar_t* registrySubkeyPath,
                                                     wchar_t* displayName, int displayNameCapacity);

/* second is a const wchar_t* for VARNEL_ACTIVITY_PLUGIN_COMM (passed as a pointer-sized integer). Result ignored. */
typedef int(VARNEL_CALL* VARNEL_ACTIVITY_CALLBACK_PROC)(VARNEL_ACTIVITY activity, int first, INT_PTR second,
                                                         void* context);

typedef void(VARNEL_CALL* VARNEL_CLEANUP_CALLBACK_PROC)(void* context);

/* ---- optional entry points ---- */

typedef HWND(VARNEL_CALL* VARNEL_CREATE_MAIN_WINDOW_CALLBACK_PROC)(void* context);
typedef int(VARNEL_CALL* VARNEL_CREATE_MENUS_CALLBACK_PROC)(void* context);

/* info: a zero-filled record of three 260-character texts: product name, version, further line.
 * firstText / secondText: set to texts of the plug-in's own (name|value| pairs, extra rows).
 * more: set true to be called again for a further entry, false to end. Result ignored. */
typedef struct VARNEL_ABOUT_INFO {
    wchar_t productName[260];
    wchar_t version[260];
    wchar_t furtherLine[260];
} VARNEL_ABOUT_INFO;
typedef int(VARNEL_CALL* VARNEL_GET_ABOUT_BOX_TEXT_CALLBACK_PROC)(void* info, wchar_t** firstText,
                                                                  wchar_t** secondText, void* context, bool* more);

/* Receives every error the tray reports. Result ignored. */
typedef int(VARNEL_CALL* VARNEL_LOG_ERROR_CALLBACK_PROC)(HWND window, const wchar_t* firstText,
                                                         const wchar_t* secondText, int number, void* context);

typedef void(VARNEL_CALL* VARNEL_UPDATE_CALLBACK_PROC)(void* context);

/* One health entry per call; more: set true to be called again, false to end. Result ignored. */
typedef int(VARNEL_CALL* VARNEL_GET_PLUGIN_HEALTH_CALLBACK_PROC)(VARNEL_PLUGIN_STATE* state, wchar_t* name,
                                                                 int nameCapacity, wchar_t* text, int textCapacity,
                                                                 void* context, bool* more);

/* Only its presence is recorded. */
typedef int(VARNEL_CALL* VARNEL_GET_ORVIK_ICON_STATUS_CALLBACK_PROC)(void* context);

/* Clear *canUnload to stay loaded when the tray unloads only what may be unloaded. */
typedef void(VARNEL_CALL* VARNEL_CAN_UNLOAD_CALLBACK_PROC)(bool* canUnload, void* context);

/* Called when the user picks the plug-in's suite menu entry. Result ignored. */
typedef int(VARNEL_CALL* VARNEL_SUITE_MENU_ACTION_CALLBACK)(void* handle, void* context, void* cookie);

/* Return true to claim a suite menu entry with commandId and the text written to menuText. */
typedef bool(VARNEL_CALL* VARNEL_SUITE_REGISTER_CALLBACK)(void* handle, UINT commandId, wchar_t* menuText,
                                                          int* menuTextCapacity,
                                                          VARNEL_SUITE_MENU_ACTION_CALLBACK* action, void** cookie);

#endif /* VARNEL_PLUGIN_CONTRACT_H */
