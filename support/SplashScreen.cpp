#include "SplashScreen.h"

#include "Handles.h"

#include "Dpi.h"
#include "GdiPlusSession.h"
#include "ImageWindow.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace {
const wchar_t kClassName[] = L"ZerovaSplashScreen";
const UINT_PTR kEndTimer = 1;
}  // namespace

CSplashScreen::CSplashScreen(const wchar_t* imagePath, HWND* window, CStringBlock** blocks, int blockCount,
                             bool stayUntilClosed)
    : m_image(nullptr), m_windowField(window), m_blocks(blocks), m_blockCount(blocks != nullptr ? blockCount : 0),
      m_shown(false)
{
    if (!zerova::EnsureGdiPlus()) return;
    auto* image = zerova::LoadImageFile(imagePath);
    if (image == nullptr) return;
    m_image = image;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    if (!::GetClassInfoExW(::GetModuleHandleW(nullptr), kClassName, &windowClass)) {
        windowClass.lpfnWndProc = &CSplashScreen::WindowProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        ::RegisterClassExW(&windowClass);
    }
    HWND splash = nullptr;
    {
        const zerova::PerMonitorDpiScope perMonitor;
        splash = ::CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kClassName, L"", WS_POPUP, 0, 0,
                                   static_cast<int>(image->GetWidth()), static_cast<int>(image->GetHeight()), nullptr,
                                   nullptr, ::GetModuleHandleW(nullptr), this);
    }
    if (splash == nullptr) return;
    // Published once the window is whole: whoever finds it may size, show or close it at once.
    if (m_windowField != nullptr) *m_windowField = splash;
    PlaceAtDpi(splash, zerova::WindowDpi(splash));
    m_shown = true;
    ::ShowWindow(splash, SW_SHOWNOACTIVATE);
    if (!stayUntilClosed) ::SetTimer(splash, kEndTimer, DisplayMilliseconds, nullptr);
    MSG message;
    while (::IsWindow(splash) && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

CSplashScreen::~CSplashScreen()
{
    delete static_cast<Gdiplus::Bitmap*>(m_image);
    for (int i = 0; i < m_blockCount; ++i) delete m_blocks[i];
}

void CSplashScreen::PlaceAtDpi(HWND splash, UINT dpi) const
{
    auto* image = static_cast<Gdiplus::Bitmap*>(m_image);
    const int width = zerova::ScaleToDpi(static_cast<int>(image->GetWidth()), dpi);
    const int height = zerova::ScaleToDpi(static_cast<int>(image->GetHeight()), dpi);
    RECT area{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    ::SetWindowPos(splash, nullptr, area.left + ((area.right - area.left) - width) / 2,
                   area.top + ((area.bottom - area.top) - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void CSplashScreen::Paint(HWND splash) const
{
    const zerova::PaintSession painting(splash);
    if (m_image == nullptr) return;
    Gdiplus::Graphics graphics(painting.Get());
    zerova::ScaleForDpi(graphics, zerova::WindowDpi(splash));
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
    auto* image = static_cast<Gdiplus::Bitmap*>(m_image);
    graphics.DrawImage(image, 0, 0, static_cast<int>(image->GetWidth()), static_cast<int>(image->GetHeight()));
    for (int i = 0; i < m_blockCount; ++i)
        if (m_blocks[i] != nullptr) m_blocks[i]->Draw(&graphics);
}

LRESULT CALLBACK CSplashScreen::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* creator = static_cast<CSplashScreen*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creator));
    }
    auto* self = reinterpret_cast<CSplashScreen*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_PAINT:
        if (self != nullptr) self->Paint(window);
        else ::ValidateRect(window, nullptr);
        return 0;
    case WM_DPICHANGED:
        if (self != nullptr) self->PlaceAtDpi(window, HIWORD(wParam));
        ::InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_TIMER:
        if (wParam == kEndTimer) ::DestroyWindow(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == CloseCommand) ::DestroyWindow(window);
        return 0;
    case WM_LBUTTONUP:
        ::DestroyWindow(window);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}
