#include "DlgSize.h"

#include "Dpi.h"
#include "RememberedValue.h"
#include "SafeString.h"

#include <algorithm>
#include <vector>

namespace {
const wchar_t kObjectProperty[] = L"ZerovaDlgSize";
}

struct CDlgSize::Controls {
    struct Entry {
        RESIZE_DATA data;
        RECT initial;  // in client coordinates at Load
    };
    std::vector<Entry> entries;
};

CDlgSize::CDlgSize()
    : m_controls(std::make_unique<Controls>()), m_window(nullptr), m_previousProc(nullptr), m_initialClient(), m_leastSize(), m_key()
{
}

CDlgSize::~CDlgSize()
{
    if (::IsWindow(m_window) && m_previousProc != nullptr) {
        ::SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_previousProc));
        ::RemovePropW(m_window, kObjectProperty);
    }
}

bool CDlgSize::Load(HWND window, const RESIZE_DATA* table, const wchar_t* key)
{
    if (!::IsWindow(window) || table == nullptr) return false;
    m_window = window;
    zerova::CopyString(m_key, MAX_PATH, key);
    RECT client{};
    ::GetClientRect(window, &client);
    m_initialClient = SIZE{client.right, client.bottom};
    for (const RESIZE_DATA* row = table; row->controlId != -1; ++row) {
        HWND control = ::GetDlgItem(window, row->controlId);
        if (control == nullptr) continue;
        Controls::Entry entry{*row, RECT{}};
        ::GetWindowRect(control, &entry.initial);
        ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&entry.initial), 2);
        m_controls->entries.push_back(entry);
    }
    // The layout as built is the smallest the window may become: nothing in it is cut there.
    RECT bounds{};
    ::GetWindowRect(window, &bounds);
    const UINT dpi = zerova::WindowDpi(window);
    m_leastSize = SIZE{::MulDiv(bounds.right - bounds.left, static_cast<int>(zerova::kDefaultDpi), static_cast<int>(dpi)),
                       ::MulDiv(bounds.bottom - bounds.top, static_cast<int>(zerova::kDefaultDpi), static_cast<int>(dpi))};
    ::SetPropW(window, kObjectProperty, this);
    m_previousProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CDlgSize::WindowProc)));

    DWORD width = 0;
    DWORD height = 0;
    if (m_key[0] != L'\0' && zerova::ReadRememberedValue(m_key, L"Width", width) &&
        zerova::ReadRememberedValue(m_key, L"Height", height) && width > 0 && width < 8000 && height > 0 &&
        height < 8000) {
        const SIZE least = LeastSize();
        const int shownWidth = std::max(zerova::ScaleToDpi(static_cast<int>(width), dpi), static_cast<int>(least.cx));
        const int shownHeight = std::max(zerova::ScaleToDpi(static_cast<int>(height), dpi), static_cast<int>(least.cy));
        ::SetWindowPos(window, nullptr, 0, 0, shownWidth, shownHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return true;
}

SIZE CDlgSize::LeastSize() const
{
    const UINT dpi = zerova::WindowDpi(m_window);
    return SIZE{zerova::ScaleToDpi(m_leastSize.cx, dpi), zerova::ScaleToDpi(m_leastSize.cy, dpi)};
}

bool CDlgSize::SaveSize()
{
    if (!::IsWindow(m_window) || m_key[0] == L'\0') return false;
    RECT bounds{};
    ::GetWindowRect(m_window, &bounds);
    // Kept for 96 DPI, so that the window has the same size to the eye on a screen of another DPI.
    const int dpi = static_cast<int>(zerova::WindowDpi(m_window));
    const int width = ::MulDiv(bounds.right - bounds.left, static_cast<int>(zerova::kDefaultDpi), dpi);
    const int height = ::MulDiv(bounds.bottom - bounds.top, static_cast<int>(zerova::kDefaultDpi), dpi);
    const bool widthKept = zerova::WriteRememberedValue(m_key, L"Width", static_cast<DWORD>(width));
    const bool heightKept = zerova::WriteRememberedValue(m_key, L"Height", static_cast<DWORD>(height));
    return widthKept && heightKept;
}

void CDlgSize::SetBrushColor(COLORREF color)
{
    m_brush.Reset(::CreateSolidBrush(color));
    if (::IsWindow(m_window)) ::InvalidateRect(m_window, nullptr, TRUE);
}

void CDlgSize::Arrange()
{
    RECT client{};
    ::GetClientRect(m_window, &client);
    const int dx = client.right - m_initialClient.cx;
    const int dy = client.bottom - m_initialClient.cy;
    for (const Controls::Entry& entry : m_controls->entries) {
        HWND control = ::GetDlgItem(m_window, entry.data.controlId);
        if (control == nullptr) continue;
        // The control's current place, from which only the resized parts change.
        RECT now{};
        ::GetWindowRect(control, &now);
        ::MapWindowPoints(nullptr, m_window, reinterpret_cast<POINT*>(&now), 2);
        const int width = entry.data.widen ? (entry.initial.right - entry.initial.left) + dx : now.right - now.left;
        const int height = entry.data.heighten ? (entry.initial.bottom - entry.initial.top) + dy : now.bottom - now.top;
        const int left = entry.data.moveRight ? entry.initial.left + dx : now.left;
        const int top = entry.data.moveDown ? entry.initial.top + dy : now.top;
        ::SetWindowPos(control, nullptr, left, top, width > 0 ? width : 0, height > 0 ? height : 0,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ::InvalidateRect(m_window, nullptr, TRUE);
}

LRESULT CALLBACK CDlgSize::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = static_cast<CDlgSize*>(::GetPropW(window, kObjectProperty));
    if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
    const WNDPROC previous = self->m_previousProc;
    if (message == WM_SIZE && wParam != SIZE_MINIMIZED) self->Arrange();
    if (message == WM_GETMINMAXINFO) {
        const LRESULT result = ::CallWindowProcW(previous, window, message, wParam, lParam);
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        const SIZE least = self->LeastSize();
        limits->ptMinTrackSize.x = std::max(limits->ptMinTrackSize.x, least.cx);
        limits->ptMinTrackSize.y = std::max(limits->ptMinTrackSize.y, least.cy);
        return result;
    }
    if (message == WM_ERASEBKGND && self->m_brush) {
        RECT client{};
        ::GetClientRect(window, &client);
        ::FillRect(reinterpret_cast<HDC>(wParam), &client, self->GetBrush());
        return 1;
    }
    return ::CallWindowProcW(previous, window, message, wParam, lParam);
}
