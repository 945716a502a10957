#include "ProgressDlgThread.h"
#include "Lock.h"

#include "ProgressDlg.h"
#include "DialogContext.h"
#include "SafeString.h"

#include <mutex>

CProgressDlgThread::CProgressDlgThread(std::shared_ptr<const dialogs::Context> context, void* plugin, HWND parent,
                                       const wchar_t* title, PROGRESS_BAR_DLG_TYPE type, void (*cancel)(void*),
                                       void* cookie, int autoCloseMs)
    : CDialogThread(std::move(context)), m_type(PROGRESS_BAR_DLG_CANCEL), m_cancel(nullptr), m_cookie(nullptr),
      m_dialog()
{
    m_kind = THREAD_PROGRESSDLG;
    m_closingNoticeString = 564;
    m_closeCommand = IDCANCEL;
    m_notifiesLastThread = false;
    if (!::IsWindow(parent) || zerova::IsEmpty(title)) return;
    if (!Init(plugin, nullptr, parent, title, nullptr)) return;
    m_type = type;
    m_cancel = cancel;
    m_cookie = cookie;
    m_dialog = std::make_unique<CProgressDlg>(Context(), m_parent, m_title, m_type, m_cancel, m_cookie, autoCloseMs);
    SetDialogObject(m_dialog.get());
    m_dialogWindow = m_dialog->GetHwnd();
    StartThread();
}

CProgressDlgThread::~CProgressDlgThread() = default;

void CProgressDlgThread::Run()
{
    WaitForDialogToClose();
    DeleteDialog();
    FinishRun();
}

void CProgressDlgThread::DeleteDialog()
{
    std::lock_guard<zerova::Mutex> guard(m_objectLock);
    m_dialogObject = nullptr;
    m_dialog.reset();
}
