// An advisory message: a window laid out from "advisory_dlg.ini" with a title, a paragraph and the
// buttons of its set; the clicked button is the answer.
#pragma once

#include "AlphaChannelDialog.h"
#include "VarnelAPI.h"
#include "VarnelPluginAPI.h"

namespace dialogs {
struct Context;
}

class VARNEL_API CAdvisoryMsg : public CAlphaChannelDialog {
public:
    CAdvisoryMsg();
    // A message over the dialogs' context, which outlives it.
    explicit CAdvisoryMsg(const dialogs::Context& context);
    ~CAdvisoryMsg() override;

    // Reads the settings of the kind and button set and shows the message; returns when it was
    // answered or could not be shown (error 549). parent is not used. window receives the
    // message's window handle as soon as it is made.
    void Load(const wchar_t* subfolder, HWND parent, const wchar_t* title, const wchar_t* text, ADVISORY_MSG_TYPE type,
              ADVISORY_MSG_BUTTONS buttons, bool autoClose, HWND* window, bool settingsFlag);

private:
    const dialogs::Context& m_context;
};
