// A control drawn wholly by its owner: the owner's paint function draws it and its background is
// never erased. The control gets its own procedure back when this goes. Used inside the support
// library only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

class CPaintedControl {
public:
    typedef void (*PaintFunction)(void* owner);

    // Nothing is taken over when control is not a window.
    CPaintedControl(HWND control, PaintFunction paint, void* owner);
    ~CPaintedControl();
    CPaintedControl(const CPaintedControl&) = delete;
    CPaintedControl& operator=(const CPaintedControl&) = delete;

private:
    static LRESULT CALLBACK ControlProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_control;
    PaintFunction m_paint;
    void* m_owner;
    WNDPROC m_previousProc;
};
