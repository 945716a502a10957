// A borderless popup that fades in, shows child buttons and ends when one is clicked, when it
// receives WM_COMMAND 200, or when its auto-close time has passed. Its layout is given for 96 DPI
// and scaled to the DPI of its screen. A window that waits for an answer comes up active, with
// the keyboard on its first button: Tab and the arrow keys move between the buttons, Enter
// chooses the focused one, Escape the Cancel button (the only button where there is one alone).
#pragma once
#include "AlphaChannelButton.h"
#include "Handles.h"

class ZEROVA_SUPPORT_API CAlphaChannelWindow : public CAlphaChannelButton {
public:
    // The command that closes the window without an answer.
    static const int CloseCommand = 200;

    CAlphaChannelWindow();
    ~CAlphaChannelWindow() override;

    virtual void Paint(HDC dc, int x, int y, int width, int height);
    virtual void AutoScroll();
    virtual void BeforeFadeIn();
    virtual void AfterFadeOut();

    // With autokill the window closes by itself after its auto-close time.
    void SetAutokill(bool autokill);
    bool GetAutokill() const { return m_autokill; }
    // True once the window has finished coming up.
    bool InitCompleted() const;
    HWND GetHwnd() const { return m_window; }
    // The DPI the window is drawn for.
    UINT GetDpi() const;
    // Where the window's handle is written as soon as the window is made.
    void SetWindowPointer(HWND* location) { m_windowPointer = location; }

protected:
    // Makes the window (child buttons from the button list, written in buttonFont) and shows it
    // fading in. bounds and the buttons' places are for 96 DPI; position 1 centres the window on
    // the work area, any other value puts it at the work area's bottom right corner.
    bool CreateAlphaWindow(HWND owner, const RECT& bounds, int position, bool topmost, const wchar_t* title,
                           const wchar_t* buttonFont, int buttonPoints);
    // Runs this thread's messages until the window is gone.
    void RunUntilClosed();
    void CloseWithAnswer(int buttonId);
    void SetAutokillSeconds(int seconds) { m_autokillSeconds = seconds; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void PlaceAtDpi(UINT dpi);
    void CreateButtons(UINT dpi, const wchar_t* face, int points);
    // Enter and Escape: true when the key was taken.
    bool AnswerKey(const MSG& message);
    int EscapeAnswer() const;

    HWND m_window;
    HWND* m_windowPointer;
    bool m_autokill;
    int m_autokillSeconds;
    int m_alpha;
    volatile LONG m_initCompleted;
    RECT m_layoutBounds;  // at 96 DPI
    int m_position;
    zerova::UniqueGdiObject m_buttonFont;
};
