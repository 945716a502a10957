/* The plain functions a plug-in calls to drive the tray, exported by VarnelInterfaceLib.dll under
 * their undecorated names with the VARNEL_CALL (__cdecl) convention. Usable from C (C89 on) and C++,
 * 32- and 64-bit. Every function that acts for a plug-in takes the handle the plug-in received in
 * PluginGetVersionInfo and PluginInit; it may be called from any thread of the plug-in.
 * A text the library only reads is const; VarnelSetState's text is not: a text of 260 characters
 * or more is cut in the caller's buffer. */
#ifndef VARNEL_PLUGIN_API_H
#define VARNEL_PLUGIN_API_H

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

/* Kind of an advisory message: its colours and whether it may close by itself. */
typedef enum ADVISORY_MSG_TYPE {
    ADVISORY_MSG_INFO = 0,
    ADVISORY_MSG_WARNING = 1,
    ADVISORY_MSG_ERROR = 2
} ADVISORY_MSG_TYPE;

/* Button set of an advisory message. The clicked button comes back as PluginActivity activity 5. */
typedef enum ADVISORY_MSG_BUTTONS {
    ADVISORY_MSG_BUTTONS_OK = 0,
    ADVISORY_MSG_BUTTONS_OK_CANCEL = 1,
    ADVISORY_MSG_BUTTONS_YES_NO = 2,
    ADVISORY_MSG_BUTTONS_ABORT_RETRY_IGNORE = 3
} ADVISORY_MSG_BUTTONS;

/* Whether a progress dialog offers Cancel (and calls the cancel callback). */
typedef enum PROGRESS_BAR_DLG_TYPE {
    PROGRESS_BAR_DLG_NO_CANCEL = 0,
    PROGRESS_BAR_DLG_CANCEL = 1
} PROGRESS_BAR_DLG_TYPE;

#ifdef __cplusplus
class CProgressDlg;
#define VARNEL_EXPORT extern "C" VARNEL_API
#else
typedef struct CProgressDlg CProgressDlg;
#define VARNEL_EXPORT VARNEL_API
#endif

/* ---- menu items: a plug-in names its items with identifiers of its own ----
 * In the tray menu an item's command is 32 bits wide (the handle plus the item identifier); the
 * host routes a pick from TrackPopupMenu(TPM_RETURNCMD) back to the plug-in as an activity. */
VARNEL_EXPORT bool VARNEL_CALL VarnelAddMenuItem(void* handle, const wchar_t* caption, int itemId,
                                                 VARNEL_MENU_CATEGORY category);
VARNEL_EXPORT bool VARNEL_CALL VarnelRemoveMenuItem(void* handle, UINT itemId);
VARNEL_EXPORT bool VARNEL_CALL VarnelSetMenuString(void* handle, UINT itemId, const wchar_t* caption);
/* 1 when the caption was copied into buffer (length in characters), else 0. */
VARNEL_EXPORT int VARNEL_CALL VarnelGetMenuString(void* handle, UINT itemId, wchar_t* buffer, int length);
VARNEL_EXPORT bool VARNEL_CALL VarnelGetMenuItemState(void* handle, UINT itemId, bool* checkMark, bool* enabled);
/* flags: MF_CHECKED / MF_UNCHECKED; MF_BYPOSITION is ignored. */
VARNEL_EXPORT bool VARNEL_CALL VarnelCheckMenuItem(void* handle, UINT itemId, UINT flags);
/* flags: MF_ENABLED / MF_GRAYED / MF_DISABLED; MF_BYPOSITION is ignored. */
VARNEL_EXPORT bool VARNEL_CALL VarnelEnableMenuItem(void* handle, UINT itemId, UINT flags);
VARNEL_EXPORT bool VARNEL_CALL VarnelDoesMenuItemExist(void* handle, UINT itemId);
VARNEL_EXPORT bool VARNEL_CALL VarnelSetMenuItemID(HMENU menu, int position, int newId);

/* ---- state, messages and progress ---- */
VARNEL_EXPORT void VARNEL_CALL VarnelSetState(void* handle, VARNEL_PLUGIN_STATE state, wchar_t* text);
/* Shows an advisory message on a thread of its own; the answer arrives as activity 5 with the
 * clicked button and cookie. extra is not used. */
VARNEL_EXPORT bool VARNEL_CALL VarnelDisplayAdvisoryMsg(void* handle, const wchar_t* extra, HWND parent,
                                                        const wchar_t* title, const wchar_t* text,
                                                        ADVISORY_MSG_TYPE type,
                                                        ADVISORY_MSG_BUTTONS buttons, bool autoClose, void* cookie,
                                                        bool settingsFlag);
/* A progress dialog over the tray's main window; the result is the dialog's handle for the two
 * calls below, null when it could not be made. */
VARNEL_EXPORT CProgressDlg* VARNEL_CALL VarnelCreateProgressDlg(void* handle, HWND parent, const wchar_t* title,
                                                                PROGRESS_BAR_DLG_TYPE type,
                                                                void(VARNEL_CALL* cancel)(void*), void* cookie,
                                                                int autoCloseMs);
VARNEL_EXPORT bool VARNEL_CALL VarnelSetProgress(CProgressDlg* dialog, const wchar_t* status, const wchar_t* detail,
                                                 int percent);
VARNEL_EXPORT bool VARNEL_CALL VarnelDestroyProgressDlg(CProgressDlg* dialog);

/* ---- other ---- */
/* Hands text and value to the plug-ins of every tray host on the machine. Always false. */
VARNEL_EXPORT bool VARNEL_CALL VarnelPluginCommunication(void* handle, const wchar_t* text, int value);
/* A program the tray starts when it unloads the plug-in (not when the tray exits). */
VARNEL_EXPORT bool VARNEL_CALL VarnelSetLegacyTrayEXE(void* handle, const wchar_t* program,
                                                      const wchar_t* arguments, bool show);
/* Reports an error (the tray's error loggers receive it); returns code. */
VARNEL_EXPORT int VARNEL_CALL VarnelOutputError(int code, const wchar_t* text);

#endif /* VARNEL_PLUGIN_API_H */
