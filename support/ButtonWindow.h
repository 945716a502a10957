// A push button drawn from images: image sets of a normal and a pressed picture, one selected.
// The button keeps its window text, which is what assistive technology reads as its name, and
// shows a focus rectangle while it has the keyboard focus.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CButtonWindow {
public:
    // Takes over the drawing of the button control (its identifier is id).
    CButtonWindow(HWND control, int id);
    // Gives the control back its own drawing.
    ~CButtonWindow();
    CButtonWindow(const CButtonWindow&) = delete;
    CButtonWindow& operator=(const CButtonWindow&) = delete;

    // Adds a set from two image files; its index, or -1 when a file does not load.
    int AddImageSet(const wchar_t* normalImage, const wchar_t* pressedImage);
    bool SelectImageSet(int index);
    int GetSelectedImageSet() const { return m_selected; }
    int GetImageSetCount() const;
    HWND GetHwnd() const { return m_control; }
    int GetId() const { return m_id; }

private:
    static void PaintOwner(void* self);
    void Paint();

    struct Sets;
    HWND m_control;
    int m_id;
    int m_selected;
    Sets* m_sets;
    class CPaintedControl* m_painting;
};
