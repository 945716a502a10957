#include "PaintedControl.h"

namespace {
const wchar_t kObjectProperty[] = L"ZerovaPaintedControl";

bool ChangesTheLook(UINT message)
{
    switch (message) {
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_ENABLE:
    case WM_SETTEXT:
    case WM_UPDATEUISTATE:
    case BM_SETSTATE:
    case BM_SETSTYLE:
        return true;
    default:
        return false;
    }
}
}  // namespace

CPaintedControl::CPaintedControl(HWND control, PaintFunction paint, void* owner)
    : m_control(control), m_paint(paint), m_owner(owner), m_previousProc(nullptr)
{
    if (!::IsWindow(m_control) || m_paint == nullptr) return;
    ::SetPropW(m_control, kObjectProperty, this);
    m_previousProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(m_control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CPaintedControl::ControlProc)));
}

CPaintedControl::~CPaintedControl()
{
    if (!::IsWindow(m_control) || m_previousProc == nullptr) return;
    ::SetWindowLongPtrW(m_control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_previousProc));
    ::RemovePropW(m_control, kObjectProperty);
}

LRESULT CALLBACK CPaintedControl::ControlProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = static_cast<CPaintedControl*>(::GetPropW(window, kObjectProperty));
    if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_PAINT) {
        self->m_paint(self->m_owner);
        return 0;
    }
    if (message == WM_ERASEBKGND) return 1;
    const LRESULT result = ::CallWindowProcW(self->m_previousProc, window, message, wParam, lParam);
    // A button draws its new focus, press or enabled state at once, in its own look: the owner's
    // drawing takes over again.
    if (ChangesTheLook(message)) ::InvalidateRect(window, nullptr, FALSE);
    return result;
}
