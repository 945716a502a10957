#include "AdvisoryMsg.h"
#include "DialogContext.h"
#include "TrayResources.h"

#include "SafeString.h"

namespace {
const int kSettingsUnreadable = 549;
const int kCentredOnTheWorkArea = 1;

struct KindKeys {
    const wchar_t* background;
    const wchar_t* titleColor;
    const wchar_t* paragraphColor;
    bool autoCloseAllowed;
    int icon;
};

// Every kind other than information and warning is an error.
KindKeys KeysOf(ADVISORY_MSG_TYPE type)
{
    switch (type) {
    case ADVISORY_MSG_INFO:
        return {L"info_background", L"info_title_color", L"info_paragraph_color", true, 0};
    case ADVISORY_MSG_WARNING:
        return {L"warning_background", L"warning_title_color", L"warning_paragraph_color", false, 1};
    default:
        return {L"error_background", L"error_title_color", L"error_paragraph_color", false, 2};
    }
}

// Every set other than these three is the single OK button.
const wchar_t* ButtonsSectionOf(ADVISORY_MSG_BUTTONS buttons)
{
    switch (buttons) {
    case ADVISORY_MSG_BUTTONS_OK_CANCEL:
        return L"OK_Cancel_dlg";
    case ADVISORY_MSG_BUTTONS_YES_NO:
        return L"Yes_No_dlg";
    case ADVISORY_MSG_BUTTONS_ABORT_RETRY_IGNORE:
        return L"Abort_Retry_Ignore_dlg";
    default:
        return L"OK_dlg";
    }
}
}  // namespace

CAdvisoryMsg::CAdvisoryMsg(const dialogs::Context& context) : m_context(context) {}
CAdvisoryMsg::~CAdvisoryMsg() = default;

void CAdvisoryMsg::Load(const wchar_t* subfolder, HWND, const wchar_t* title, const wchar_t* text,
                        ADVISORY_MSG_TYPE type, ADVISORY_MSG_BUTTONS buttons, bool autoClose, HWND* window,
                        bool settingsFlag)
{
    if (zerova::IsEmpty(title) || zerova::IsEmpty(text)) {
        m_context.support.errors->Error(kSettingsUnreadable);
        return;
    }
    wchar_t images[MAX_PATH] = L"";
    wchar_t ini[MAX_PATH] = L"";
    m_context.tray->ImagesFolder(subfolder, images, MAX_PATH);
    m_context.tray->IniFilename(subfolder, L"advisory_dlg.ini", ini, MAX_PATH);
    const KindKeys keys = KeysOf(type);
    const bool autokill = autoClose && keys.autoCloseAllowed;
    if (!ReadSettings(images, ini, L"General", ButtonsSectionOf(buttons), keys.background, L"title_rect",
                      L"caption_rect", L"paragraph_rect", L"font", L"titlePointSize", L"paragraphPointSize",
                      L"Button", L"NumButtons", keys.titleColor, keys.paragraphColor, L"icon_rect", settingsFlag)) {
        m_context.support.errors->Error(kSettingsUnreadable);
        return;
    }
    SetAutokill(autokill);
    SetIconKind(keys.icon);
    SetWindowPointer(window);
    DoDialog(nullptr, title, text, kCentredOnTheWorkArea, 0);
}
