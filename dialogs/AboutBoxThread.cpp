#include "AboutBoxThread.h"

#include "AboutBox.h"
#include "SafeString.h"
#include "ThreadManager.h"

CAboutBoxThread::CAboutBoxThread(void* plugin, HWND parent, const wchar_t* text)
{
    m_kind = THREAD_ABOUTBOX;
    m_closingNoticeString = 561;
    m_closeCommand = IDCANCEL;
    if (CThreadManager::Instance()->IsOpenOrStarting(THREAD_ABOUTBOX)) return;
    if (!::IsWindow(parent) || zerova::IsEmpty(text)) return;
    if (!Init(plugin, nullptr, parent, nullptr, text)) return;
    StartThread();
}

CAboutBoxThread::~CAboutBoxThread() = default;

void CAboutBoxThread::Run()
{
    if (m_parent != nullptr && m_text != nullptr) {
        auto box = std::make_unique<CAboutBox>(m_parent, m_text.get());
        const HWND window = box->GetHwnd();
        {
            std::lock_guard<std::mutex> guard(m_objectLock);
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
    std::lock_guard<std::mutex> guard(m_objectLock);
    m_dialogObject = nullptr;
    m_box.reset();
}
