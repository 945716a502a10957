// The dialog thread manager: every dialog of the tray runs on a thread it owns.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginAPI.h"

class VARNEL_API CThreadManager {
public:
    static CThreadManager* Instance();
    ~CThreadManager();
    CThreadManager(const CThreadManager&) = delete;
    CThreadManager& operator=(const CThreadManager&) = delete;

    bool CreateAdvisoryMsgThread(void* plugin, const wchar_t* extra, HWND parent, const wchar_t* title,
                                 const wchar_t* text, ADVISORY_MSG_TYPE type, ADVISORY_MSG_BUTTONS buttons,
                                 bool autoClose, void* cookie, bool settingsFlag);
    CProgressDlg* CreateProgressDlgThread(void* plugin, HWND parent, const wchar_t* title, PROGRESS_BAR_DLG_TYPE type,
                                          void (*cancel)(void*), void* cookie, int autoCloseMs);
    // The thread whose dialog object is dialog, or null.
    void* FindExistingDialog(void* dialog);
    bool DestroyProgressDlg(CProgressDlg* dialog);
    void TerminateOpenDialogs(void* plugin);
    bool ActiveThreads();

private:
    CThreadManager() = default;
};
