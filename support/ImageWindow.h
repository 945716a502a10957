// A static control painted with GDI+ from blocks: images (the first one is the background) and
// strings, each in a rectangle of the control.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CImageBlock {
public:
    // rect null: the block fills the control. stretchMode 2: stretched to the control's width,
    // 0: drawn at its own size within the rectangle. value: its order among the blocks (unused).
    CImageBlock(const wchar_t* path, const RECT* rect, int stretchMode, int value);
    ~CImageBlock();
    CImageBlock(const CImageBlock&) = delete;
    CImageBlock& operator=(const CImageBlock&) = delete;

    bool SetImage(const wchar_t* path);
    const wchar_t* GetImage() const { return m_path; }
    bool GetImageSize(int& width, int& height) const;
    void Draw(void* graphics, const RECT& client) const;

private:
    wchar_t m_path[MAX_PATH];
    RECT m_rect;
    bool m_hasRect;
    int m_stretchMode;
    void* m_bitmap;
};

class ZEROVA_SUPPORT_API CStringBlock {
public:
    // alignment and lineAlignment: 0 near, 1 centre, 2 far; style: 0 regular, 1 bold.
    CStringBlock(const wchar_t* text, const RECT& rect, DWORD argb, const wchar_t* font, float points, int alignment,
                 int lineAlignment, int style);
    ~CStringBlock();
    CStringBlock(const CStringBlock&) = delete;
    CStringBlock& operator=(const CStringBlock&) = delete;

    void SetText(const wchar_t* text);
    const wchar_t* GetText() const { return m_text; }
    void Draw(void* graphics) const;

private:
    wchar_t m_text[MAX_PATH];
    RECT m_rect;
    DWORD m_argb;
    wchar_t m_font[64];
    float m_points;
    int m_alignment;
    int m_lineAlignment;
    int m_style;
};

class ZEROVA_SUPPORT_API CImageWindow {
public:
    explicit CImageWindow(HWND control);
    // Deletes the blocks it was given and gives the control back its own painting.
    ~CImageWindow();
    CImageWindow(const CImageWindow&) = delete;
    CImageWindow& operator=(const CImageWindow&) = delete;

    void AddImageBlock(CImageBlock* block);
    void AddStringBlock(CStringBlock* block);
    int GetImageBlockCount() const;
    int GetStringBlockCount() const;
    // The size of the first image block's picture.
    bool GetBackgroundImageDimensions(int& width, int& height) const;
    void Invalidate();
    HWND GetHwnd() const { return m_control; }

private:
    static void PaintOwner(void* self);
    void Paint();

    struct Blocks;
    Blocks* m_blocks;
    HWND m_control;
    class CPaintedControl* m_painting;
};
