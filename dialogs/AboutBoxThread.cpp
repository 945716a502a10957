#include "AboutBoxThread.h"
#include "Lock.h"

#include "AboutBox.h"
#include "DialogContext.h"
#include "SafeString.h"
#include "ThreadManager.h"

#include <mutex>

CAboutBoxThread::CAboutBoxThread(std::shared_ptr<const dialogs::Context> context, void* plugin, HWND parent,
                                 const wchar_t* text)
    : CDialogThread(std::move(context))
{
    m_kind = THREAD_ABOUTBOX;
    m_closingNoticeString = 561;
    m_closeCommand = IDCANCEL;
    if (Context().manager->IsOpenOrStarting(THREAD_ABOUTBOX)) return;
    if (!::IsWindow(parent) || zerova::IsEmpty(text)) return;
    if (!Init(plugin, nullptr, parent, nullptr, text)) return;
    StartThread();
}

CAboutBoxThread::~CAboutBoxThread() = default;

void CAboutBoxThread::Run()
{
    if (m_parent != nullptr && m_text != nullptr) {
        auto box = std::make_unique<CAboutBox>(Context(), m_parent, m_text.get());
        const HWND window = box->GetHwnd();
        {
            std::lock_guard<zerova::Mutex> guard(m_objectLock);
            m_box = std::move(box);
            SetDialogObject(m_box.get());
        }
        m_dialogWindow = window;
        WaitForDialogToClose();
    }
    DeleteDialog();
    FinishRun();
}

void CAboutBoxThread::DeleteDialog()
{
    std::lock_guard<zerova::Mutex> guard(m_objectLock);
    m_dialogObject = nullptr;
    m_box.reset();
}
