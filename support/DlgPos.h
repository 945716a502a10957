// Remembers where the user left a window, under a registry key of the current user.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CDlgPos {
public:
    CDlgPos();
    ~CDlgPos();
    CDlgPos(const CDlgPos&) = delete;
    CDlgPos& operator=(const CDlgPos&) = delete;

    // Takes window and key; with restore, moves the window to the remembered position when one
    // is stored and still lies on a screen. True when it was moved there.
    bool Load(HWND window, const wchar_t* key, bool restore);
    // Stores the window's current position ("Left", "Top") under the key.
    bool SavePosition();

private:
    HWND m_window;
    wchar_t m_key[MAX_PATH];
};
