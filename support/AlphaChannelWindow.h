// A borderless popup that fades in, shows child buttons and ends when one is clicked, when it
// receives WM_COMMAND 200, or when its auto-close time has passed.
#pragma once
#include "AlphaChannelButton.h"

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
    // Where the window's handle is written as soon as the window is made.
    void SetWindowPointer(HWND* location) { m_windowPointer = location; }

protected:
    // Makes the window (child buttons from the button list) and shows it fading in.
    bool CreateAlphaWindow(HWND owner, const RECT& bounds, bool topmost, const wchar_t* title);
    // Runs this thread's messages until the window is gone.
    void RunUntilClosed();
    void CloseWithAnswer(int buttonId);
    void SetAutokillSeconds(int seconds) { m_autokillSeconds = seconds; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_window;
    HWND* m_windowPointer;
    bool m_autokill;
    int m_autokillSeconds;
    int m_alpha;
    volatile LONG m_initCompleted;
};
