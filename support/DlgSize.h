// Lets a dialog be resized: its controls move or grow with the window as a table says, and the
// window's size is remembered under a key of HKEY_LOCAL_MACHINE.
#pragma once
#include "SupportAPI.h"

#include "Handles.h"

#include <memory>

class ZEROVA_SUPPORT_API CDlgSize {
public:
#pragma pack(push, 1)
    struct RESIZE_DATA {
        int controlId;  // -1 ends the table
        BYTE moveRight;
        BYTE moveDown;
        BYTE widen;
        BYTE heighten;
        int reserved[5];
    };
#pragma pack(pop)

    CDlgSize();
    ~CDlgSize();
    CDlgSize(const CDlgSize&) = delete;
    CDlgSize& operator=(const CDlgSize&) = delete;

    // Takes the window and its table (copied), restores the remembered size and follows resizing.
    bool Load(HWND window, const RESIZE_DATA* table, const wchar_t* key);
    bool SaveSize();
    // The colour the dialog's background and static controls are painted with.
    void SetBrushColor(COLORREF color);
    HBRUSH GetBrush() const { return static_cast<HBRUSH>(m_brush.Get()); }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Arrange();

    struct Controls;
    std::unique_ptr<Controls> m_controls;
    HWND m_window;
    WNDPROC m_previousProc;
    SIZE m_initialClient;
    wchar_t m_key[MAX_PATH];
    zerova::UniqueGdiObject m_brush;
};
