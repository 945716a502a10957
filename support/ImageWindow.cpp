#include "ImageWindow.h"
#include "Lock.h"

#include "Handles.h"

#include "Dpi.h"
#include "GdiPlusSession.h"
#include "PaintedControl.h"
#include "SafeString.h"

#include <memory>
#include <mutex>
#include <vector>

namespace {
Gdiplus::StringAlignment Alignment(int value)
{
    return value == 1 ? Gdiplus::StringAlignmentCenter : value == 2 ? Gdiplus::StringAlignmentFar
                                                                     : Gdiplus::StringAlignmentNear;
}

// The font at the block's size, or smaller until the text fits its rectangle (down to half the
// size): a long title in a wide font would otherwise wrap and lose its first line above the box.
std::unique_ptr<Gdiplus::Font> FittingFont(Gdiplus::Graphics& graphics, const wchar_t* text, const wchar_t* face,
                                           float size, int style, const Gdiplus::RectF& box,
                                           const Gdiplus::StringFormat& format)
{
    std::unique_ptr<Gdiplus::Font> font(zerova::CreateTextFont(face, size, style));
    const Gdiplus::RectF unbounded(0, 0, box.Width, 10000);
    for (float points = size - 1; font && points >= size / 2; points -= 1) {
        Gdiplus::RectF needed;
        if (graphics.MeasureString(text, -1, font.get(), unbounded, &format, &needed) != Gdiplus::Ok ||
            needed.Height <= box.Height)
            break;
        std::unique_ptr<Gdiplus::Font> smaller(zerova::CreateTextFont(face, points, style));
        if (!smaller) break;
        font = std::move(smaller);
    }
    return font;
}
// The picture over the whole area: scaled to the area's height with its proportions kept and
// centred, the rest of the width filled with its outer columns drawn wide, so that a logo in the
// picture is never distorted however wide the area grows.
void DrawSpread(Gdiplus::Graphics& graphics, Gdiplus::Bitmap& bitmap, const RECT& area)
{
    const int areaWidth = static_cast<int>(area.right - area.left);
    const int areaHeight = static_cast<int>(area.bottom - area.top);
    const int imageWidth = static_cast<int>(bitmap.GetWidth());
    const int imageHeight = static_cast<int>(bitmap.GetHeight());
    if (areaWidth <= 0 || areaHeight <= 0 || imageWidth <= 0 || imageHeight <= 0) return;
    // Edge pixels are repeated, not faded into nothing, where the picture is scaled: no seams.
    Gdiplus::ImageAttributes edges;
    edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    auto draw = [&](int left, int width, int sourceLeft, int sourceWidth) {
        graphics.DrawImage(&bitmap, Gdiplus::Rect(left, static_cast<int>(area.top), width, areaHeight), sourceLeft, 0,
                           sourceWidth, imageHeight, Gdiplus::UnitPixel, &edges);
    };
    const int middleWidth = ::MulDiv(imageWidth, areaHeight, imageHeight);
    if (middleWidth >= areaWidth) {
        draw(static_cast<int>(area.left), areaWidth, 0, imageWidth);
        return;
    }
    const int middleLeft = static_cast<int>(area.left) + (areaWidth - middleWidth) / 2;
    const int middleRight = middleLeft + middleWidth;
    // The sides reach one unit under the middle: where a scaled edge covers part of a pixel, the
    // same colour lies beneath it.
    draw(static_cast<int>(area.left), middleLeft - static_cast<int>(area.left) + 1, 0, 1);
    draw(middleRight - 1, static_cast<int>(area.right) - middleRight + 1, imageWidth - 1, 1);
    draw(middleLeft, middleWidth, 0, imageWidth);
}
}  // namespace

// ---------------------------------------------------------------- image block

CImageBlock::CImageBlock(const wchar_t* path, const RECT* rect, int stretchMode, int)
    : m_path(), m_rect(rect != nullptr ? *rect : RECT{}), m_hasRect(rect != nullptr), m_stretchMode(stretchMode),
      m_bitmap(nullptr)
{
    SetImage(path);
}

CImageBlock::~CImageBlock() { delete static_cast<Gdiplus::Bitmap*>(m_bitmap); }

bool CImageBlock::SetImage(const wchar_t* path)
{
    zerova::CopyString(m_path, MAX_PATH, path);
    delete static_cast<Gdiplus::Bitmap*>(m_bitmap);
    m_bitmap = zerova::LoadImageFile(m_path);  // null for a missing file
    return m_bitmap != nullptr;
}

bool CImageBlock::GetImageSize(int& width, int& height) const
{
    auto* bitmap = static_cast<Gdiplus::Bitmap*>(m_bitmap);
    width = bitmap != nullptr ? static_cast<int>(bitmap->GetWidth()) : 0;
    height = bitmap != nullptr ? static_cast<int>(bitmap->GetHeight()) : 0;
    return bitmap != nullptr;
}

void CImageBlock::Draw(void* graphics, const RECT& client) const
{
    auto* bitmap = static_cast<Gdiplus::Bitmap*>(m_bitmap);
    if (bitmap == nullptr) return;
    auto* g = static_cast<Gdiplus::Graphics*>(graphics);
    const RECT area = m_hasRect ? m_rect : client;
    if (m_stretchMode == 2 || !m_hasRect) {
        DrawSpread(*g, *bitmap, area);
    } else {
        // At its own size, centred in the rectangle.
        const int width = static_cast<int>(bitmap->GetWidth());
        const int height = static_cast<int>(bitmap->GetHeight());
        g->DrawImage(bitmap, static_cast<int>(area.left) + ((area.right - area.left) - width) / 2,
                     static_cast<int>(area.top) + ((area.bottom - area.top) - height) / 2, width, height);
    }
}

// ---------------------------------------------------------------- string block

CStringBlock::CStringBlock(const wchar_t* text, const RECT& rect, DWORD argb, const wchar_t* font, float points,
                           int alignment, int lineAlignment, int style)
    : m_text(), m_rect(rect), m_argb(argb), m_font(), m_points(points), m_alignment(alignment),
      m_lineAlignment(lineAlignment), m_style(style)
{
    zerova::CopyString(m_text, MAX_PATH, text);
    zerova::CopyString(m_font, 64, font);
}

CStringBlock::~CStringBlock() = default;

void CStringBlock::SetText(const wchar_t* text) { zerova::CopyString(m_text, MAX_PATH, text); }

void CStringBlock::Draw(void* graphics) const
{
    auto* g = static_cast<Gdiplus::Graphics*>(graphics);
    Gdiplus::StringFormat format;
    format.SetAlignment(Alignment(m_alignment));
    format.SetLineAlignment(Alignment(m_lineAlignment));
    const Gdiplus::RectF box(static_cast<Gdiplus::REAL>(m_rect.left), static_cast<Gdiplus::REAL>(m_rect.top),
                             static_cast<Gdiplus::REAL>(m_rect.right - m_rect.left),
                             static_cast<Gdiplus::REAL>(m_rect.bottom - m_rect.top));
    std::unique_ptr<Gdiplus::Font> font = FittingFont(
        *g, m_text, m_font, m_points, m_style == 1 ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular, box, format);
    if (!font) return;
    Gdiplus::SolidBrush brush{Gdiplus::Color(m_argb)};
    g->DrawString(m_text, -1, font.get(), box, &format, &brush);
}

// ---------------------------------------------------------------- image window

struct CImageWindow::Blocks {
    zerova::Mutex lock;
    std::vector<CImageBlock*> images;
    std::vector<CStringBlock*> strings;
};

CImageWindow::CImageWindow(HWND control)
    : m_blocks(new Blocks()), m_control(control),
      m_painting(new CPaintedControl(control, &CImageWindow::PaintOwner, this))
{
}

CImageWindow::~CImageWindow()
{
    delete m_painting;
    for (CImageBlock* block : m_blocks->images) delete block;
    for (CStringBlock* block : m_blocks->strings) delete block;
    delete m_blocks;
}

void CImageWindow::AddImageBlock(CImageBlock* block)
{
    if (block == nullptr) return;
    std::lock_guard<zerova::Mutex> guard(m_blocks->lock);
    m_blocks->images.push_back(block);
}

void CImageWindow::AddStringBlock(CStringBlock* block)
{
    if (block == nullptr) return;
    std::lock_guard<zerova::Mutex> guard(m_blocks->lock);
    m_blocks->strings.push_back(block);
}

int CImageWindow::GetImageBlockCount() const { return static_cast<int>(m_blocks->images.size()); }
int CImageWindow::GetStringBlockCount() const { return static_cast<int>(m_blocks->strings.size()); }

bool CImageWindow::GetBackgroundImageDimensions(int& width, int& height) const
{
    width = 0;
    height = 0;
    return !m_blocks->images.empty() && m_blocks->images.front()->GetImageSize(width, height);
}

void CImageWindow::Invalidate()
{
    if (::IsWindow(m_control)) ::InvalidateRect(m_control, nullptr, TRUE);
}

void CImageWindow::PaintOwner(void* self) { static_cast<CImageWindow*>(self)->Paint(); }

void CImageWindow::Paint()
{
    const zerova::PaintSession painting(m_control);
    HDC dc = painting.Get();
    RECT client{};
    ::GetClientRect(m_control, &client);
    if (zerova::EnsureGdiPlus()) {
        // The blocks are laid out for 96 DPI: drawn scaled to the control's DPI.
        const UINT dpi = zerova::WindowDpi(m_control);
        client.right = ::MulDiv(client.right, static_cast<int>(zerova::kDefaultDpi), static_cast<int>(dpi));
        client.bottom = ::MulDiv(client.bottom, static_cast<int>(zerova::kDefaultDpi), static_cast<int>(dpi));
        Gdiplus::Graphics graphics(dc);
        zerova::ScaleForDpi(graphics, dpi);
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
        std::lock_guard<zerova::Mutex> guard(m_blocks->lock);
        for (CImageBlock* block : m_blocks->images) block->Draw(&graphics, client);
        for (CStringBlock* block : m_blocks->strings) block->Draw(&graphics);
    }
}
