#include "SplashScreen.h"

#include "Handles.h"

#include "GdiPlusSession.h"
#include "ImageWindow.h"

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
    RECT area{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    const int width = static_cast<int>(image->GetWidth());
    const int height = static_cast<int>(image->GetHeight());
    HWND splash = ::CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kClassName, L"", WS_POPUP,
                                    area.left + ((area.right - area.left) - width) / 2,
                                    area.top + ((area.bottom - area.top) - height) / 2, width, height, nullptr,
                                    nullptr, ::GetModuleHandleW(nullptr), this);
    if (splash == nullptr) return;
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

LRESULT CALLBACK CSplashScreen::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* creator = static_cast<CSplashScreen*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creator));
        // Published at once, so that a second request finds this splash as soon as it exists.
        if (creator != nullptr && creator->m_windowField != nullptr) *creator->m_windowField = window;
    }
    auto* self = reinterpret_cast<CSplashScreen*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_PAINT: {
        const zerova::PaintSession painting(window);
        HDC dc = painting.Get();
        if (self != nullptr && self->m_image != nullptr) {
            Gdiplus::Graphics graphics(dc);
            auto* image = static_cast<Gdiplus::Bitmap*>(self->m_image);
            graphics.DrawImage(image, 0, 0, static_cast<int>(image->GetWidth()), static_cast<int>(image->GetHeight()));
            for (int i = 0; i < self->m_blockCount; ++i)
                if (self->m_blocks[i] != nullptr) self->m_blocks[i]->Draw(&graphics);
        }
        return 0;
    }
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
