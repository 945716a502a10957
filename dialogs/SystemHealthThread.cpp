#include "SystemHealthThread.h"

#include "SystemHealth.h"
#include "ThreadManager.h"

CSystemHealthThread::CSystemHealthThread(void* plugin, HWND parent, const wchar_t* text)
{
    m_kind = THREAD_SYSTEMHEALTH;
    m_closingNoticeString = 562;
    m_closeCommand = IDCANCEL;
    if (CThreadManager::Instance()->BringExistingDialogToFront(THREAD_SYSTEMHEALTH) != nullptr) return;
    if (!::IsWindow(parent)) return;
    if (!Init(plugin, nullptr, parent, nullptr, text)) return;
    StartThread();
}

void CSystemHealthThread::Run()
{
    if (m_parent != nullptr && m_text != nullptr) {
        auto* dialog = new CSystemHealth(m_parent, m_text);
        {
            std::lock_guard<std::mutex> guard(m_objectLock);
            SetDialogObject(dialog);
        }
        m_dialogWindow = dialog->GetHwnd();
        WaitForDialogToClose();
    }
    DeleteDialog();
    FinishRun();
}

void CSystemHealthThread::SetText(wchar_t* text)
{
    if (text == nullptr) return;
    delete[] m_text;
    m_text = text;
}

void CSystemHealthThread::DeleteDialog()
{
    std::lock_guard<std::mutex> guard(m_objectLock);
    delete static_cast<CSystemHealth*>(m_dialogObject);
    m_dialogObject = nullptr;
}
