#include "AlphaChannelWindow.h"

#include "Handles.h"

#include "Dpi.h"

#include <cwchar>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace {
const wchar_t kClassName[] = L"ZerovaAlphaChannelWindow";
const int kCentredOnTheWorkArea = 1;
const int kCornerGap = 8;
const UINT_PTR kFadeTimer = 1;
const UINT_PTR kAutokillTimer = 2;
const int kFadeStepMs = 20;
const int kFadeStep = 64;

void RegisterWindowClass(WNDPROC procedure)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    if (::GetClassInfoExW(::GetModuleHandleW(nullptr), kClassName, &windowClass)) return;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.lpszClassName = kClassName;
    ::RegisterClassExW(&windowClass);
}
}  // namespace

CAlphaChannelWindow::CAlphaChannelWindow()
    : m_window(nullptr), m_windowPointer(nullptr), m_autokill(false), m_autokillSeconds(10), m_alpha(0),
      m_initCompleted(0), m_layoutBounds(), m_position(kCentredOnTheWorkArea)
{
}

CAlphaChannelWindow::~CAlphaChannelWindow()
{
    if (::IsWindow(m_window)) {
        ::SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        ::DestroyWindow(m_window);
    }
}

void CAlphaChannelWindow::Paint(HDC, int, int, int, int) {}
void CAlphaChannelWindow::AutoScroll() {}
void CAlphaChannelWindow::BeforeFadeIn() {}
void CAlphaChannelWindow::AfterFadeOut() {}

void CAlphaChannelWindow::SetAutokill(bool autokill) { m_autokill = autokill; }
bool CAlphaChannelWindow::InitCompleted() const { return m_initCompleted != 0; }

UINT CAlphaChannelWindow::GetDpi() const { return zerova::WindowDpi(m_window); }

bool CAlphaChannelWindow::CreateAlphaWindow(HWND owner, const RECT& bounds, int position, bool topmost,
                                            const wchar_t* title, const wchar_t* buttonFont, int buttonPoints)
{
    RegisterWindowClass(&CAlphaChannelWindow::WindowProc);
    m_layoutBounds = bounds;
    m_position = position;
    const DWORD exStyle = WS_EX_LAYERED | WS_EX_TOOLWINDOW | (topmost ? WS_EX_TOPMOST : 0);
    {
        const zerova::PerMonitorDpiScope perMonitor;
        m_window = ::CreateWindowExW(exStyle, kClassName, title, WS_POPUP, 0, 0, bounds.right - bounds.left,
                                     bounds.bottom - bounds.top, owner, nullptr, ::GetModuleHandleW(nullptr), this);
    }
    if (m_window == nullptr) return false;
    const UINT dpi = GetDpi();
    PlaceAtDpi(dpi);
    CreateButtons(dpi, buttonFont, buttonPoints);
    BeforeFadeIn();
    ::SetLayeredWindowAttributes(m_window, 0, 0, LWA_ALPHA);
    // A message that closes by itself does not take the keyboard from what the user is doing; one
    // that waits for an answer does, on its first button.
    ::ShowWindow(m_window, m_autokill ? SW_SHOWNOACTIVATE : SW_SHOW);
    if (!m_autokill) {
        ::SetForegroundWindow(m_window);
        if (HWND first = ::GetWindow(m_window, GW_CHILD)) ::SetFocus(first);
    }
    ::SetTimer(m_window, kFadeTimer, kFadeStepMs, nullptr);
    if (m_autokill) ::SetTimer(m_window, kAutokillTimer, static_cast<UINT>(m_autokillSeconds) * 1000u, nullptr);
    return true;
}

void CAlphaChannelWindow::PlaceAtDpi(UINT dpi)
{
    const int width = zerova::ScaleToDpi(m_layoutBounds.right - m_layoutBounds.left, dpi);
    const int height = zerova::ScaleToDpi(m_layoutBounds.bottom - m_layoutBounds.top, dpi);
    RECT area{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    int left = area.right - width - zerova::ScaleToDpi(kCornerGap, dpi);
    int top = area.bottom - height - zerova::ScaleToDpi(kCornerGap, dpi);
    if (m_position == kCentredOnTheWorkArea) {
        left = area.left + ((area.right - area.left) - width) / 2;
        top = area.top + ((area.bottom - area.top) - height) / 2;
    }
    ::SetWindowPos(m_window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void CAlphaChannelWindow::CreateButtons(UINT dpi, const wchar_t* face, int points)
{
    LOGFONTW logical{};
    logical.lfHeight = -::MulDiv(points, static_cast<int>(dpi), 72);
    logical.lfWeight = FW_NORMAL;
    logical.lfCharSet = DEFAULT_CHARSET;
    logical.lfQuality = CLEARTYPE_QUALITY;
    if (face != nullptr) wcsncpy(logical.lfFaceName, face, LF_FACESIZE - 1);
    m_buttonFont.Reset(::CreateFontIndirectW(&logical));
    for (int i = 0; i < GetButtonCount(); ++i) {
        const BUTTON_DEF* button = GetButton(i);
        const RECT place = zerova::ScaleToDpi(button->rect, dpi);
        // The first button is the default one, as in a message box.
        const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | (i == 0 ? BS_DEFPUSHBUTTON | WS_GROUP : BS_PUSHBUTTON);
        HWND control = ::CreateWindowExW(0, L"BUTTON", button->label, style, place.left, place.top,
                                         place.right - place.left, place.bottom - place.top, m_window,
                                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(button->id)),
                                         ::GetModuleHandleW(nullptr), nullptr);
        if (control != nullptr && m_buttonFont)
            ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_buttonFont.Get()), FALSE);
    }
}

void CAlphaChannelWindow::RunUntilClosed()
{
    MSG message;
    while (::IsWindow(m_window) && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (AnswerKey(message)) continue;
        if (::IsDialogMessageW(m_window, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

bool CAlphaChannelWindow::AnswerKey(const MSG& message)
{
    if (message.message != WM_KEYDOWN || (message.wParam != VK_RETURN && message.wParam != VK_ESCAPE)) return false;
    if (message.hwnd != m_window && !::IsChild(m_window, message.hwnd)) return false;
    if (message.wParam == VK_ESCAPE) {
        const int answer = EscapeAnswer();
        if (answer != 0) CloseWithAnswer(answer);
        return true;
    }
    HWND focused = ::GetFocus();
    HWND chosen = ::IsChild(m_window, focused) ? focused : ::GetWindow(m_window, GW_CHILD);
    if (chosen != nullptr) CloseWithAnswer(::GetDlgCtrlID(chosen));
    return true;
}

int CAlphaChannelWindow::EscapeAnswer() const
{
    if (GetButtonCount() == 1) return GetButton(0)->id;
    for (int i = 0; i < GetButtonCount(); ++i)
        if (GetButton(i)->id == IDCANCEL) return IDCANCEL;
    // Yes or No, Abort, Retry or Ignore: the user has to choose, as in a message box.
    return 0;
}

void CAlphaChannelWindow::CloseWithAnswer(int buttonId)
{
    if (!::IsWindow(m_window)) return;
    SetClickedButtonID(buttonId);
    AfterFadeOut();
    ::DestroyWindow(m_window);
}

LRESULT CALLBACK CAlphaChannelWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CAlphaChannelWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
    if (self->m_window == nullptr) {
        // Published at once, so that whoever waits for the window finds it as soon as it exists.
        self->m_window = window;
        if (self->m_windowPointer != nullptr) *self->m_windowPointer = window;
    }
    return self->OnMessage(message, wParam, lParam);
}

LRESULT CAlphaChannelWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        const zerova::PaintSession painting(m_window);
        HDC dc = painting.Get();
        RECT client{};
        ::GetClientRect(m_window, &client);
        Paint(dc, 0, 0, client.right, client.bottom);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_TIMER:
        if (wParam == kFadeTimer) {
            m_alpha = m_alpha + kFadeStep > 255 ? 255 : m_alpha + kFadeStep;
            ::SetLayeredWindowAttributes(m_window, 0, static_cast<BYTE>(m_alpha), LWA_ALPHA);
            if (m_alpha >= 255) {
                ::KillTimer(m_window, kFadeTimer);
                ::InterlockedExchange(&m_initCompleted, 1);
                AutoScroll();
            }
        } else if (wParam == kAutokillTimer) {
            ::KillTimer(m_window, kAutokillTimer);
            CloseWithAnswer(0);
        }
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == CloseCommand && lParam == 0) CloseWithAnswer(0);
        else if (lParam != 0 && HIWORD(wParam) == BN_CLICKED) CloseWithAnswer(LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        CloseWithAnswer(IDCANCEL);
        return 0;
    case WM_SETFOCUS:
        // The keyboard goes to the buttons, never to the window itself.
        if (HWND first = ::GetWindow(m_window, GW_CHILD)) ::SetFocus(first);
        return 0;
    case WM_DPICHANGED:
        PlaceAtDpi(HIWORD(wParam));
        ::InvalidateRect(m_window, nullptr, FALSE);
        return 0;
    case WM_NCHITTEST: {
        // The whole window moves when dragged, except over its buttons.
        const LRESULT hit = ::DefWindowProcW(m_window, message, wParam, lParam);
        return hit == HTCLIENT ? HTCAPTION : hit;
    }
    default:
        return ::DefWindowProcW(m_window, message, wParam, lParam);
    }
}
