// The thread of an advisory message: it shows the message and hands the answer to the plug-in.
#pragma once

#include "DialogThread.h"

#include <memory>

class CAdvisoryMsg;

class CAdvisoryMsgThread : public CDialogThread {
public:
    CAdvisoryMsgThread(std::shared_ptr<const dialogs::Context> context, void* plugin, HWND parent, const wchar_t* title,
                       const wchar_t* text, ADVISORY_MSG_TYPE type, ADVISORY_MSG_BUTTONS buttons, bool autoClose,
                       void* cookie, bool settingsFlag);
    ~CAdvisoryMsgThread() override;
    void Run() override;
    void DeleteDialog() override;

private:
    std::unique_ptr<CAdvisoryMsg> m_message;  // the dialog; m_dialogObject points at it while it stands
    ADVISORY_MSG_TYPE m_type;
    ADVISORY_MSG_BUTTONS m_buttons;
    bool m_autoClose;
    void* m_cookie;
    bool m_settingsFlag;
};
