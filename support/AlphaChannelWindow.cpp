#include "AlphaChannelWindow.h"

#include "Handles.h"

namespace {
const wchar_t kClassName[] = L"ZerovaAlphaChannelWindow";
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
      m_initCompleted(0)
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

bool CAlphaChannelWindow::CreateAlphaWindow(HWND owner, const RECT& bounds, bool topmost, const wchar_t* title)
{
    RegisterWindowClass(&CAlphaChannelWindow::WindowProc);
    const DWORD exStyle = WS_EX_LAYERED | WS_EX_TOOLWINDOW | (topmost ? WS_EX_TOPMOST : 0);
    m_window = ::CreateWindowExW(exStyle, kClassName, title, WS_POPUP, bounds.left, bounds.top,
                                 bounds.right - bounds.left, bounds.bottom - bounds.top, owner, nullptr,
                                 ::GetModuleHandleW(nullptr), this);
    if (m_window == nullptr) return false;
    for (int i = 0; i < GetButtonCount(); ++i) {
        const BUTTON_DEF* button = GetButton(i);
        ::CreateWindowExW(0, L"BUTTON", button->label, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                          button->rect.left, button->rect.top, button->rect.right - button->rect.left,
                          button->rect.bottom - button->rect.top, m_window,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(button->id)), ::GetModuleHandleW(nullptr),
                          nullptr);
    }
    BeforeFadeIn();
    ::SetLayeredWindowAttributes(m_window, 0, 0, LWA_ALPHA);
    ::ShowWindow(m_window, SW_SHOWNOACTIVATE);
    ::SetTimer(m_window, kFadeTimer, kFadeStepMs, nullptr);
    if (m_autokill) ::SetTimer(m_window, kAutokillTimer, static_cast<UINT>(m_autokillSeconds) * 1000u, nullptr);
    return true;
}

void CAlphaChannelWindow::RunUntilClosed()
{
    MSG message;
    while (::IsWindow(m_window) && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(m_window, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
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
    case WM_NCHITTEST: {
        // The whole window moves when dragged, except over its buttons.
        const LRESULT hit = ::DefWindowProcW(m_window, message, wParam, lParam);
        return hit == HTCLIENT ? HTCAPTION : hit;
    }
    default:
        return ::DefWindowProcW(m_window, message, wParam, lParam);
    }
}
