// Lets a dialog be resized: its controls move or grow with the window as a table says, the window
// never becomes smaller than it was built, and its size is remembered under a key of
// HKEY_LOCAL_MACHINE (of HKEY_CURRENT_USER where the machine's cannot be written), for 96 DPI.
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
    // The smallest size the window may be given, at its DPI.
    SIZE LeastSize() const;
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
    SIZE m_leastSize;  // at 96 DPI
    wchar_t m_key[MAX_PATH];
    zerova::UniqueGdiObject m_brush;
};
