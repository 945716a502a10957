// The thread of a progress dialog: the dialog is built on the caller's thread; this thread only
// waits for its window to go and then deletes it.
#pragma once

#include "DialogThread.h"

#include <memory>

class CProgressDlg;

class CProgressDlgThread : public CDialogThread {
public:
    CProgressDlgThread(std::shared_ptr<const dialogs::Context> context, void* plugin, HWND parent, const wchar_t* title,
                       PROGRESS_BAR_DLG_TYPE type, void (*cancel)(void*), void* cookie, int autoCloseMs);
    ~CProgressDlgThread() override;
    void Run() override;
    void DeleteDialog() override;
    CProgressDlg* GetProgressDlg() const { return m_dialog.get(); }

private:
    PROGRESS_BAR_DLG_TYPE m_type;
    void (*m_cancel)(void*);
    void* m_cookie;
    std::unique_ptr<CProgressDlg> m_dialog;
};
