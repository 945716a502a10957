#include "ProgressDlg.h"

#include "AlphaChannelDialog.h"
#include "ButtonWindow.h"
#include "DialogCommon.h"
#include "DialogContext.h"
#include "Dpi.h"
#include "DlgPos.h"
#include "GdiPlusSession.h"
#include "Handles.h"
#include "RegistryEx.h"
#include "SafeString.h"
#include "Win32.h"

#include <commctrl.h>

namespace {
const wchar_t kClassProperty[] = L"ProgressDialogClassPtr";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Zerova\\Varnel\\ProgressDialog";
const wchar_t kDetailsValue[] = L"ProgressDlg_details";
const UINT kTemplate = 701;
const int kStatusControl = 1002;
const int kDetailsButton = 1004;
const int kDetailsList = 1005;
const int kProgressBar = 1009;
const UINT kStatusFormatString = 60;
const UINT kCloseString = 330;
const UINT kBadArgumentsString = 566;
const int kListHeight = 128;
const int kUnfoldedExtra = 136;
const int kListGap = 8;
const int kFoldedSet = 0;
const int kOpenSet = 1;

}  // namespace

CProgressDlg::CProgressDlg(const dialogs::Context& context, HWND parent, const wchar_t* title,
                           PROGRESS_BAR_DLG_TYPE type, void (*cancel)(void*), void* cookie, int autoCloseMs)
    : m_context(context), m_cancel(nullptr), m_cookie(nullptr), m_window(nullptr), m_percent(0),
      m_type(PROGRESS_BAR_DLG_CANCEL),
      m_foldedWidth(0), m_foldedHeight(0), m_widestDetail(0), m_timer(0), m_autoCloseMs(0)
{
    if (!::IsWindow(parent) || zerova::IsEmpty(title) ||
        (type != PROGRESS_BAR_DLG_NO_CANCEL && type != PROGRESS_BAR_DLG_CANCEL)) {
        wchar_t text[MAX_PATH];
        m_context.support.Text(kBadArgumentsString, text, MAX_PATH);
        m_context.support.errors->Error(0, text);
        return;
    }
    m_type = type;
    m_cancel = cancel;
    m_cookie = cookie;
    m_autoCloseMs = autoCloseMs;

    zerova::EnsureGdiPlus();
    m_format = std::make_unique<Gdiplus::StringFormat>(0, 0);
    m_format->SetFormatFlags(0x1004);
    m_format->SetLineAlignment(Gdiplus::StringAlignmentCenter);
    m_format->SetAlignment(Gdiplus::StringAlignmentNear);

    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);
    {
        const zerova::PerMonitorDpiScope perMonitor;
        CreateModeless(m_context.support.texts->GethInstance(), kTemplate, parent);
    }
    if (m_window == nullptr) return;
    ::SetWindowTextW(m_window, title);

    m_detailsButton = std::make_unique<CButtonWindow>(::GetDlgItem(m_window, kDetailsButton), kDetailsButton);
    wchar_t normal[MAX_PATH], pressed[MAX_PATH];
    dialogs::ImagePath(m_context, L"details_open_normal.png", normal);
    dialogs::ImagePath(m_context, L"details_open_pressed.png", pressed);
    m_detailsButton->AddImageSet(normal, pressed);
    dialogs::ImagePath(m_context, L"details_close_normal.png", normal);
    dialogs::ImagePath(m_context, L"details_close_pressed.png", pressed);
    m_detailsButton->AddImageSet(normal, pressed);

    bool detailsOpen = false;
    CRegistryEx::Get(HKEY_CURRENT_USER, kSettingsKey, kDetailsValue, detailsOpen, false);
    m_detailsButton->SelectImageSet(detailsOpen ? kFoldedSet : kOpenSet);
    ToggleDetails();

    m_position = std::make_unique<CDlgPos>();
    m_position->Load(m_window, kSettingsKey, true);
    ::ShowWindow(m_window, SW_SHOW);
    CWin32::EmptyMessages(m_window, 10);
}

CProgressDlg::~CProgressDlg()
{
    if (m_timer != 0 && ::IsWindow(m_window)) ::KillTimer(m_window, m_timer);
    Detach(m_window, this);
    // In this order, not the reverse of the declarations.
    m_font.reset();
    m_format.reset();
    m_position.reset();
    m_detailsButton.reset();
}

bool CProgressDlg::AreDetailsOpen() const
{
    return m_detailsButton != nullptr && m_detailsButton->GetSelectedImageSet() == kOpenSet;
}

void CProgressDlg::SetUp(HWND window)
{
    m_window = window;
    dialogs::SetTrayIcons(m_context, window);
    if (m_type == PROGRESS_BAR_DLG_NO_CANCEL) ::ShowWindow(::GetDlgItem(window, IDCANCEL), SW_HIDE);
    ::SendDlgItemMessageW(window, kProgressBar, PBM_SETRANGE32, 0, 100);

    HWND list = ::GetDlgItem(window, kDetailsList);
    const RECT button = dialogs::ChildRect(window, kDetailsButton);
    const RECT listRect = dialogs::ChildRect(window, kDetailsList);
    ::ShowWindow(list, SW_HIDE);
    ::SetWindowPos(list, nullptr, button.left, button.bottom + zerova::ScaleToDpi(kListGap, zerova::WindowDpi(window)),
                   listRect.right - listRect.left, 0,
                   SWP_NOZORDER | SWP_NOACTIVATE);

    const zerova::WindowDeviceContext dc(list);
    HFONT listFont = reinterpret_cast<HFONT>(::SendMessageW(list, WM_GETFONT, 0, 0));
    if (listFont != nullptr) {
        LOGFONTW logical{};
        ::GetObjectW(listFont, sizeof(logical), &logical);
        m_font = std::make_unique<Gdiplus::Font>(dc.Get(), &logical);
    } else {
        m_font = std::make_unique<Gdiplus::Font>(dc.Get());
    }

    CWin32::CenterDialog(window);
    RECT bounds{};
    ::GetWindowRect(window, &bounds);
    m_foldedWidth = bounds.right - bounds.left;
    m_foldedHeight = bounds.bottom - bounds.top;
}

void CProgressDlg::ToggleDetails()
{
    if (m_detailsButton == nullptr || !::IsWindow(m_window)) return;
    HWND list = ::GetDlgItem(m_window, kDetailsList);
    const UINT keep = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
    if (m_detailsButton->GetSelectedImageSet() != kOpenSet) {
        const RECT listRect = dialogs::ChildRect(m_window, kDetailsList);
        const UINT dpi = zerova::WindowDpi(m_window);
        ::SetWindowPos(list, nullptr, 0, 0, listRect.right - listRect.left, zerova::ScaleToDpi(kListHeight, dpi), keep);
        ::SetWindowPos(m_window, nullptr, 0, 0, m_foldedWidth, m_foldedHeight + zerova::ScaleToDpi(kUnfoldedExtra, dpi),
                       keep);
        ::ShowWindow(list, SW_SHOW);
        m_detailsButton->SelectImageSet(kOpenSet);
    } else {
        ::SetWindowPos(m_window, nullptr, 0, 0, m_foldedWidth, m_foldedHeight, keep);
        ::ShowWindow(list, SW_HIDE);
        m_detailsButton->SelectImageSet(kFoldedSet);
    }
}

void CProgressDlg::SaveSettings()
{
    CRegistryEx::Set(HKEY_CURRENT_USER, kSettingsKey, kDetailsValue, AreDetailsOpen() ? 1u : 0u);
    if (m_position != nullptr) m_position->SavePosition();
}

void CProgressDlg::OnCommand(WPARAM wParam)
{
    const int control = LOWORD(wParam);
    if (control == IDOK || control == IDCANCEL) {
        SaveSettings();
        if (wParam == IDCANCEL && m_cancel != nullptr) m_cancel(m_cookie);
        m_context.support.library->RemoveFromDlgList(m_window);
        ::DestroyWindow(m_window);
    } else if (control == kDetailsButton) {
        ToggleDetails();
        SaveSettings();
    }
}

const wchar_t* CProgressDlg::ClassProperty() { return kClassProperty; }

INT_PTR CProgressDlg::OnInitDialog(HWND window)
{
    m_context.support.library->AddDlgToDlgList(window);
    SetUp(window);
    return TRUE;
}

bool CProgressDlg::OnTimer(UINT_PTR timer)
{
    if (timer != m_timer || m_timer == 0) return false;
    ::KillTimer(m_window, m_timer);
    m_timer = 0;
    ::PostMessageW(m_window, WM_COMMAND, IDCANCEL, 0);
    return true;
}

bool CProgressDlg::IsKeyWithoutCancel(WPARAM wParam, LPARAM lParam) const
{
    // The dialog manager turns Escape and Enter into the hidden Cancel button's command, which a
    // dialog that cannot be cancelled ignores; the plug-in's close and the timer send it without one.
    return m_type == PROGRESS_BAR_DLG_NO_CANCEL && LOWORD(wParam) == IDCANCEL && lParam != 0 &&
           reinterpret_cast<HWND>(lParam) == ::GetDlgItem(m_window, IDCANCEL);
}

INT_PTR CProgressDlg::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        const zerova::PaintSession painting(window);
        return TRUE;
    }
    case WM_CLOSE:
        if (m_type == PROGRESS_BAR_DLG_CANCEL) ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        return TRUE;
    case WM_COMMAND:
        if (!IsKeyWithoutCancel(wParam, lParam)) OnCommand(wParam);
        return TRUE;
    case WM_TIMER:
        return OnTimer(wParam) ? TRUE : FALSE;
    case WM_DESTROY:
        Detach(window, this);
        return FALSE;
    default:
        return FALSE;
    }
}

bool CProgressDlg::SetProgress(const wchar_t* status, const wchar_t* detail, int percent)
{
    if (!::IsWindow(m_window)) return false;
    if (!zerova::IsEmpty(status)) {
        wchar_t format[MAX_PATH] = L"";
        wchar_t line[1024];
        m_context.support.Text(kStatusFormatString, format, MAX_PATH);
        zerova::FormatString(line, 1024, format, status);
        ::SetDlgItemTextW(m_window, kStatusControl, line);
    }
    if (!zerova::IsEmpty(detail)) {
        HWND list = ::GetDlgItem(m_window, kDetailsList);
        int width = 0;
        int height = 0;
        {
            Gdiplus::Graphics graphics(list);
            CAlphaChannelDialog::ComputeTextMetrics(detail, &graphics, m_font.get(), m_format.get(), width, height,
                                                    nullptr);
        }
        if (width > m_widestDetail) {
            m_widestDetail = width;
            ::SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(width), 0);
        }
        ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(detail));
        const LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
        ::SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(count - 1), 0);
    }
    const int clamped = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    bool taken = false;
    if (clamped >= m_percent) {
        m_percent = clamped;
        ::SendDlgItemMessageW(m_window, kProgressBar, PBM_SETPOS, static_cast<WPARAM>(clamped), 0);
        if (clamped == 100) {
            wchar_t close[MAX_PATH];
            m_context.support.Text(kCloseString, close, MAX_PATH);
            ::SetDlgItemTextW(m_window, IDCANCEL, close);
            if (m_autoCloseMs > 0 && m_timer == 0)
                m_timer = ::SetTimer(m_window, AutoCloseTimer, static_cast<UINT>(m_autoCloseMs), nullptr);
        }
        taken = true;
    }
    CWin32::EmptyMessages(m_window);
    return taken;
}
