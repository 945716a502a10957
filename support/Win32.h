// Small window helpers: message pumping for waits, centring, the clipboard.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CWin32 {
public:
    // Dispatches every message waiting for this thread (dialog messages through the modeless
    // dialog list), then waits up to waitMs for the next one to arrive.
    static void EmptyMessages(HWND window, int waitMs = 0);
    // Centres window over its owner, or over the work area when it has none.
    static void CenterDialog(HWND window);
    // Puts text on the clipboard as Unicode text; true when it is there.
    static bool CopyToClipboard(HWND owner, const wchar_t* text);
};
