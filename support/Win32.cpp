#include "Win32.h"

#include "OXSL_DllMain.h"

#include <cwchar>

void CWin32::EmptyMessages(HWND window, int waitMs)
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Leave the quit for the thread's own loop.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (COXSL_DllMain::Instance()->PreTranslateDialogMessage(&message)) continue;
        if (window != nullptr && ::IsWindow(window) && ::IsDialogMessageW(window, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (waitMs > 0) ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(waitMs), QS_ALLINPUT, 0);
}

void CWin32::CenterDialog(HWND window)
{
    if (!::IsWindow(window)) return;
    RECT own{};
    ::GetWindowRect(window, &own);
    RECT area{};
    HWND owner = ::GetWindow(window, GW_OWNER);
    if (owner != nullptr && ::IsWindowVisible(owner)) ::GetWindowRect(owner, &area);
    else ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    const int left = area.left + ((area.right - area.left) - width) / 2;
    const int top = area.top + ((area.bottom - area.top) - height) / 2;
    ::SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool CWin32::CopyToClipboard(HWND owner, const wchar_t* text)
{
    if (text == nullptr || !::OpenClipboard(owner)) return false;
    bool copied = false;
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory != nullptr) {
        if (void* target = ::GlobalLock(memory)) {
            memcpy(target, text, bytes);
            ::GlobalUnlock(memory);
            ::EmptyClipboard();
            copied = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        }
        if (!copied) ::GlobalFree(memory);
    }
    ::CloseClipboard();
    return copied;
}
