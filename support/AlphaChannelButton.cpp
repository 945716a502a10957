#include "AlphaChannelButton.h"

#include <vector>

struct CAlphaChannelButton::Buttons {
    std::vector<BUTTON_DEF> list;
};

CAlphaChannelButton::CAlphaChannelButton() : m_buttons(new Buttons()), m_clicked(0) {}
CAlphaChannelButton::~CAlphaChannelButton() { delete m_buttons; }

int CAlphaChannelButton::GetClickedButtonID() const { return static_cast<int>(m_clicked); }
int CAlphaChannelButton::GetButtonCount() const { return static_cast<int>(m_buttons->list.size()); }

const CAlphaChannelButton::BUTTON_DEF* CAlphaChannelButton::GetButton(int index) const
{
    return index >= 0 && index < GetButtonCount() ? &m_buttons->list[static_cast<size_t>(index)] : nullptr;
}

void CAlphaChannelButton::AddButton(const BUTTON_DEF& button) { m_buttons->list.push_back(button); }
void CAlphaChannelButton::ClearButtons() { m_buttons->list.clear(); }
void CAlphaChannelButton::SetClickedButtonID(int id) { ::InterlockedExchange(&m_clicked, id); }
