#include "AdvisoryMsgThread.h"
#include "Lock.h"

#include "AdvisoryMsg.h"
#include "DialogContext.h"
#include "PluginInterface.h"
#include "SafeString.h"

#include <mutex>

CAdvisoryMsgThread::CAdvisoryMsgThread(std::shared_ptr<const dialogs::Context> context, void* plugin, HWND parent,
                                       const wchar_t* title, const wchar_t* text, ADVISORY_MSG_TYPE type,
                                       ADVISORY_MSG_BUTTONS buttons, bool autoClose, void* cookie, bool settingsFlag)
    : CDialogThread(std::move(context)), m_type(ADVISORY_MSG_ERROR), m_buttons(ADVISORY_MSG_BUTTONS_OK),
      m_autoClose(false), m_cookie(nullptr),
      m_settingsFlag(false)
{
    m_kind = THREAD_ADVISORYMSG;
    m_closingNoticeString = 563;
    m_closeCommand = CAlphaChannelWindow::CloseCommand;
    if (!::IsWindow(parent) || zerova::IsEmpty(title) || zerova::IsEmpty(text)) return;
    if (!Init(plugin, nullptr, parent, title, text)) return;
    m_type = type;
    m_buttons = buttons;
    m_autoClose = autoClose;
    m_cookie = cookie;
    m_settingsFlag = settingsFlag;
    StartThread();
}

CAdvisoryMsgThread::~CAdvisoryMsgThread() = default;

void CAdvisoryMsgThread::Run()
{
    int clicked = 0;
    if (m_parent != nullptr && m_title != nullptr && m_text != nullptr) {
        auto owned = std::make_unique<CAdvisoryMsg>(Context());
        CAdvisoryMsg* message = owned.get();
        {
            std::lock_guard<zerova::Mutex> guard(m_objectLock);
            m_message = std::move(owned);
            SetDialogObject(static_cast<CAlphaChannelWindow*>(message));
        }
        message->Load(m_subfolder, m_parent, m_title, m_text.get(), m_type, m_buttons, m_autoClose, &m_dialogWindow,
                      m_settingsFlag);
        clicked = message->GetClickedButtonID();
    }
    Context().registry->NotifyAdvisoryResult(m_pluginHandle, clicked, reinterpret_cast<INT_PTR>(m_cookie));
    WaitForDialogToClose();
    DeleteDialog();
    FinishRun();
}

void CAdvisoryMsgThread::DeleteDialog()
{
    std::lock_guard<zerova::Mutex> guard(m_objectLock);
    m_dialogObject = nullptr;
    m_message.reset();
}
