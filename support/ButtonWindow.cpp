#include "ButtonWindow.h"

#include "Handles.h"

#include "GdiPlusSession.h"
#include "PaintedControl.h"

#include <memory>
#include <vector>

struct CButtonWindow::Sets {
    struct Set {
        std::unique_ptr<Gdiplus::Bitmap> normal;
        std::unique_ptr<Gdiplus::Bitmap> pressed;
    };
    std::vector<Set> sets;
};

CButtonWindow::CButtonWindow(HWND control, int id)
    : m_control(control), m_id(id), m_selected(-1), m_sets(new Sets()),
      m_painting(new CPaintedControl(control, &CButtonWindow::PaintOwner, this))
{
}

CButtonWindow::~CButtonWindow()
{
    delete m_painting;
    delete m_sets;
}

int CButtonWindow::AddImageSet(const wchar_t* normalImage, const wchar_t* pressedImage)
{
    if (!zerova::EnsureGdiPlus()) return -1;
    Sets::Set set;
    set.normal.reset(zerova::LoadImageFile(normalImage));
    set.pressed.reset(zerova::LoadImageFile(pressedImage));
    if (!set.normal || !set.pressed) return -1;
    m_sets->sets.push_back(std::move(set));
    return static_cast<int>(m_sets->sets.size()) - 1;
}

bool CButtonWindow::SelectImageSet(int index)
{
    if (index < 0 || index >= GetImageSetCount()) return false;
    m_selected = index;
    if (::IsWindow(m_control)) ::InvalidateRect(m_control, nullptr, TRUE);
    return true;
}

int CButtonWindow::GetImageSetCount() const { return static_cast<int>(m_sets->sets.size()); }

void CButtonWindow::PaintOwner(void* self) { static_cast<CButtonWindow*>(self)->Paint(); }

void CButtonWindow::Paint()
{
    const zerova::PaintSession painting(m_control);
    HDC dc = painting.Get();
    RECT client{};
    ::GetClientRect(m_control, &client);
    ::FillRect(dc, &client, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
    if (m_selected >= 0 && m_selected < GetImageSetCount()) {
        const bool pressed = (::SendMessageW(m_control, BM_GETSTATE, 0, 0) & BST_PUSHED) != 0;
        const Sets::Set& set = m_sets->sets[static_cast<size_t>(m_selected)];
        Gdiplus::Graphics graphics(dc);
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        graphics.DrawImage(pressed ? set.pressed.get() : set.normal.get(), 0, 0, client.right, client.bottom);
    }
    const bool keyboardCues = (::SendMessageW(m_control, WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS) == 0;
    if (::GetFocus() == m_control && keyboardCues) {
        // Text colour and background decide the dotted line's colours.
        ::SetTextColor(dc, RGB(0, 0, 0));
        ::SetBkColor(dc, RGB(255, 255, 255));
        ::DrawFocusRect(dc, &client);
    }
}
