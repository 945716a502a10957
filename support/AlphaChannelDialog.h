// A message window laid out from an INI file: background image, title, paragraph and buttons.
//
// The settings (section and key names are given by the caller):
//   general section: the window rectangle (caption_rect), the title, paragraph and icon rectangles
//     ("left,top,right,bottom" in pixels), the font face, the title and paragraph point sizes, the
//     background image of the message kind (a file in the image folder), the title and paragraph
//     colours of the kind ("r,g,b"), and "autokill_seconds" (default 10)
//   buttons section: the number of buttons and, for n = 1 to that number, <button key><n> =
//     "identifier,label,left,top,right,bottom"
#pragma once
#include "AlphaChannelWindow.h"
#include "GdiPlusSession.h"

class ZEROVA_SUPPORT_API CAlphaChannelDialog : public CAlphaChannelWindow {
public:
    CAlphaChannelDialog();
    ~CAlphaChannelDialog() override;

    // Reads the layout; false when the file, the window rectangle or a valid button is missing.
    // settingsFlag: the window stays on top of other windows.
    bool ReadSettings(const wchar_t* imageFolder, const wchar_t* iniPath, const wchar_t* generalSection,
                      const wchar_t* buttonsSection, const wchar_t* backgroundKey, const wchar_t* titleRectKey,
                      const wchar_t* captionRectKey, const wchar_t* paragraphRectKey, const wchar_t* fontKey,
                      const wchar_t* titlePointSizeKey, const wchar_t* paragraphPointSizeKey,
                      const wchar_t* buttonKey, const wchar_t* numButtonsKey, const wchar_t* titleColorKey,
                      const wchar_t* paragraphColorKey, const wchar_t* iconRectKey, bool settingsFlag);
    // Shows the window and returns when it has closed; the result is the clicked button's
    // identifier (0 when none). position 1: centred on the work area; otherwise at the bottom
    // right of the work area. scrollMethod is not used. The layout's rectangles and point sizes
    // are for 96 DPI; the window is drawn at the DPI of its screen.
    int DoDialog(HWND owner, const wchar_t* title, const wchar_t* text, int position, int scrollMethod);

    // The size text takes in font with format (within layout's width when one is given).
    static bool ComputeTextMetrics(const wchar_t* text, Gdiplus::Graphics* graphics, Gdiplus::Font* font,
                                   Gdiplus::StringFormat* format, int& width, int& height, const RECT* layout);

    // The kind of message whose icon is drawn in the icon rectangle: 0 information, 1 warning,
    // 2 error; any other value draws none (the default).
    void SetIconKind(int kind);
    int GetIconKind() const { return m_iconKind; }

    void Paint(HDC dc, int x, int y, int width, int height) override;

    // What the settings gave, for whoever shows or checks the message.
    const wchar_t* GetBackgroundImage() const { return m_background; }
    const wchar_t* GetButtonsSection() const { return m_buttonsSection; }
    COLORREF GetTitleColor() const { return m_titleColor; }
    COLORREF GetParagraphColor() const { return m_paragraphColor; }
    bool IsTopmost() const { return m_topmost; }

private:
    RECT TextRect(const RECT& text) const;
    void DrawTexts(Gdiplus::Graphics& graphics) const;
    void DrawKindIcon(HDC dc, UINT dpi) const;

    wchar_t m_background[MAX_PATH];
    wchar_t m_buttonsSection[64];
    wchar_t m_fontFace[64];
    wchar_t m_title[MAX_PATH];
    wchar_t* m_text;
    RECT m_bounds;
    RECT m_titleRect;
    RECT m_paragraphRect;
    RECT m_iconRect;
    int m_titlePoints;
    int m_paragraphPoints;
    COLORREF m_titleColor;
    COLORREF m_paragraphColor;
    bool m_topmost;
    int m_iconKind;
};
