#include "AboutBoxThread.h"

#include "AboutBox.h"
#include "SafeString.h"
#include "ThreadManager.h"

CAboutBoxThread::CAboutBoxThread(void* plugin, HWND parent, const wchar_t* text)
{
    m_kind = THREAD_ABOUTBOX;
    m_closingNoticeString = 561;
    m_closeCommand = IDCANCEL;
    if (CThreadManager::Instance()->BringExistingDialogToFront(THREAD_ABOUTBOX) != nullptr) return;
    if (!::IsWindow(parent) || zerova::IsEmpty(text)) return;
    if (!Init(plugin, nullptr, parent, nullptr, text)) return;
    StartThread();
}

void CAboutBoxThread::Run()
{
    if (m_parent != nullptr && m_text != nullptr) {
        auto* box = new CAboutBox(m_parent, m_text);
        {
            std::lock_guard<std::mutex> guard(m_objectLock);
            SetDialogObject(box);
        }
        m_dialogWindow = box->GetHwnd();
        WaitForDialogToClose();
    }
    DeleteDialog();
    FinishRun();
}

void CAboutBoxThread::DeleteDialog()
{
    std::lock_guard<std::mutex> guard(m_objectLock);
    delete static_cast<CAboutBox*>(m_dialogObject);
    m_dialogObject = nullptr;
}
