// A splash window: an image with text blocks drawn over it, shown on the calling thread until it
// ends by itself (after three seconds) or receives WM_COMMAND 200. The picture and the blocks are
// laid out for 96 DPI and drawn scaled to the DPI of the screen the splash stands on.
#pragma once
#include "SupportAPI.h"

class CStringBlock;

class ZEROVA_SUPPORT_API CSplashScreen {
public:
    static const int CloseCommand = 200;
    static const UINT DisplayMilliseconds = 3000;

    // Shows the splash and returns when it has ended; the window's handle goes to *window while
    // it stands. The splash takes the blocks and deletes them. stayUntilClosed: no time limit.
    CSplashScreen(const wchar_t* imagePath, HWND* window, CStringBlock** blocks, int blockCount, bool stayUntilClosed);
    ~CSplashScreen();
    CSplashScreen(const CSplashScreen&) = delete;
    CSplashScreen& operator=(const CSplashScreen&) = delete;

    bool WasShown() const { return m_shown; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // The picture's size at that DPI, centred on the work area.
    void PlaceAtDpi(HWND splash, UINT dpi) const;
    void Paint(HWND splash) const;
    void* m_image;
    HWND* m_windowField;
    CStringBlock** m_blocks;
    int m_blockCount;
    bool m_shown;
};
