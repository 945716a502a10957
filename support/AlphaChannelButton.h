// The buttons of an alpha-channel window: their identifiers, labels and places, and the one the
// user chose.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CAlphaChannelButton {
public:
    struct BUTTON_DEF {
        int id;
        wchar_t label[64];
        RECT rect;
    };

    CAlphaChannelButton();
    virtual ~CAlphaChannelButton();
    CAlphaChannelButton(const CAlphaChannelButton&) = delete;
    CAlphaChannelButton& operator=(const CAlphaChannelButton&) = delete;

    // The identifier of the button that closed the window; 0 when none did (closed by a command,
    // by the auto-close timer, or never shown).
    int GetClickedButtonID() const;
    int GetButtonCount() const;
    const BUTTON_DEF* GetButton(int index) const;

protected:
    void AddButton(const BUTTON_DEF& button);
    void ClearButtons();
    void SetClickedButtonID(int id);

private:
    struct Buttons;
    Buttons* m_buttons;
    volatile LONG m_clicked;
};
