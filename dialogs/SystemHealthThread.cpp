#include "SystemHealthThread.h"
#include "Lock.h"

#include "SystemHealth.h"
#include "DialogContext.h"
#include "ThreadManager.h"

#include <mutex>

CSystemHealthThread::CSystemHealthThread(std::shared_ptr<const dialogs::Context> context, void* plugin, HWND parent,
                                         const wchar_t* text)
    : CDialogThread(std::move(context))
{
    m_kind = THREAD_SYSTEMHEALTH;
    m_closingNoticeString = 562;
    m_closeCommand = IDCANCEL;
    if (Context().manager->IsOpenOrStarting(THREAD_SYSTEMHEALTH)) return;
    if (!::IsWindow(parent)) return;
    if (!Init(plugin, nullptr, parent, nullptr, text)) return;
    StartThread();
}

CSystemHealthThread::~CSystemHealthThread() = default;

void CSystemHealthThread::Run()
{
    if (m_parent != nullptr && m_text != nullptr) {
        auto health = std::make_unique<CSystemHealth>(Context(), m_parent, m_text.get());
        const HWND window = health->GetHwnd();
        {
            std::lock_guard<zerova::Mutex> guard(m_objectLock);
            m_health = std::move(health);
            SetDialogObject(m_health.get());
        }
        m_dialogWindow = window;
        WaitForDialogToClose();
    }
    DeleteDialog();
    FinishRun();
}

void CSystemHealthThread::SetText(wchar_t* text)
{
    if (text == nullptr) return;
    m_text.reset(text);
}

void CSystemHealthThread::DeleteDialog()
{
    std::lock_guard<zerova::Mutex> guard(m_objectLock);
    m_dialogObject = nullptr;
    m_health.reset();
}
