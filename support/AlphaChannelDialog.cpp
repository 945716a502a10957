#include "AlphaChannelDialog.h"

#include "Dpi.h"
#include "FileIO.h"
#include "SafeString.h"

#include <algorithm>
#include <cwchar>
#include <memory>

namespace {
const int kMaxExtent = 4000;
const int kIconGap = 8;

bool ReadText(const wchar_t* ini, const wchar_t* section, const wchar_t* key, wchar_t* buffer, int length)
{
    buffer[0] = L'\0';
    if (zerova::IsEmpty(section) || zerova::IsEmpty(key)) return false;
    ::GetPrivateProfileStringW(section, key, L"", buffer, static_cast<DWORD>(length), ini);
    return buffer[0] != L'\0';
}

int ReadNumber(const wchar_t* ini, const wchar_t* section, const wchar_t* key, int fallback, int low, int high)
{
    wchar_t text[32];
    if (!ReadText(ini, section, key, text, 32)) return fallback;
    const int value = _wtoi(text);
    return value < low ? low : value > high ? high : value;
}

// "left,top,right,bottom" within a sane extent.
bool ParseRect(const wchar_t* text, RECT& rect)
{
    int left = 0, top = 0, right = 0, bottom = 0;
    if (swscanf(text, L"%d,%d,%d,%d", &left, &top, &right, &bottom) != 4) return false;
    if (left < 0 || top < 0 || right <= left || bottom <= top || right > kMaxExtent || bottom > kMaxExtent)
        return false;
    rect = RECT{left, top, right, bottom};
    return true;
}

bool ReadRect(const wchar_t* ini, const wchar_t* section, const wchar_t* key, RECT& rect)
{
    wchar_t text[64];
    return ReadText(ini, section, key, text, 64) && ParseRect(text, rect);
}

COLORREF ReadColor(const wchar_t* ini, const wchar_t* section, const wchar_t* key, COLORREF fallback)
{
    wchar_t text[64];
    int red = 0, green = 0, blue = 0;
    if (!ReadText(ini, section, key, text, 64) || swscanf(text, L"%d,%d,%d", &red, &green, &blue) != 3) return fallback;
    auto clamp = [](int v) { return static_cast<BYTE>(v < 0 ? 0 : v > 255 ? 255 : v); };
    return RGB(clamp(red), clamp(green), clamp(blue));
}

// "identifier,label,left,top,right,bottom"
bool ParseButton(const wchar_t* text, CAlphaChannelButton::BUTTON_DEF& button)
{
    const wchar_t* firstComma = wcschr(text, L',');
    if (firstComma == nullptr) return false;
    const wchar_t* secondComma = wcschr(firstComma + 1, L',');
    if (secondComma == nullptr) return false;
    button.id = _wtoi(text);
    const size_t labelLength = static_cast<size_t>(secondComma - firstComma - 1);
    if (button.id <= 0 || button.id > 0xFFFF || labelLength == 0 || labelLength >= 64) return false;
    wmemcpy(button.label, firstComma + 1, labelLength);
    button.label[labelLength] = L'\0';
    return ParseRect(secondComma + 1, button.rect);
}

Gdiplus::Color ToColor(COLORREF color)
{
    return Gdiplus::Color(255, GetRValue(color), GetGValue(color), GetBValue(color));
}

Gdiplus::RectF ToRectF(const RECT& rect)
{
    return Gdiplus::RectF(static_cast<Gdiplus::REAL>(rect.left), static_cast<Gdiplus::REAL>(rect.top),
                          static_cast<Gdiplus::REAL>(rect.right - rect.left),
                          static_cast<Gdiplus::REAL>(rect.bottom - rect.top));
}
}  // namespace

CAlphaChannelDialog::CAlphaChannelDialog()
    : m_background(), m_buttonsSection(), m_fontFace(), m_title(), m_text(nullptr), m_bounds(), m_titleRect(),
      m_paragraphRect(), m_iconRect(), m_titlePoints(12), m_paragraphPoints(9), m_titleColor(RGB(0, 0, 0)),
      m_paragraphColor(RGB(0, 0, 0)), m_topmost(false), m_iconKind(-1)
{
}

CAlphaChannelDialog::~CAlphaChannelDialog() { delete[] m_text; }

bool CAlphaChannelDialog::ReadSettings(const wchar_t* imageFolder, const wchar_t* iniPath, const wchar_t* general,
                                       const wchar_t* buttonsSection, const wchar_t* backgroundKey,
                                       const wchar_t* titleRectKey, const wchar_t* captionRectKey,
                                       const wchar_t* paragraphRectKey, const wchar_t* fontKey,
                                       const wchar_t* titlePointSizeKey, const wchar_t* paragraphPointSizeKey,
                                       const wchar_t* buttonKey, const wchar_t* numButtonsKey,
                                       const wchar_t* titleColorKey, const wchar_t* paragraphColorKey,
                                       const wchar_t* iconRectKey, bool settingsFlag)
{
    ClearButtons();
    if (!CFileIO::FileExists(iniPath)) return false;
    if (!ReadRect(iniPath, general, captionRectKey, m_bounds)) return false;
    if (!ReadRect(iniPath, general, titleRectKey, m_titleRect)) m_titleRect = RECT{12, 8, m_bounds.right - 12, 36};
    if (!ReadRect(iniPath, general, paragraphRectKey, m_paragraphRect))
        m_paragraphRect = RECT{12, 40, m_bounds.right - 12, m_bounds.bottom - 40};
    if (!ReadRect(iniPath, general, iconRectKey, m_iconRect)) m_iconRect = RECT{0, 0, 0, 0};
    if (!ReadText(iniPath, general, fontKey, m_fontFace, 64)) zerova::CopyString(m_fontFace, 64, L"Tahoma");
    m_titlePoints = ReadNumber(iniPath, general, titlePointSizeKey, 12, 4, 72);
    m_paragraphPoints = ReadNumber(iniPath, general, paragraphPointSizeKey, 9, 4, 72);
    m_titleColor = ReadColor(iniPath, general, titleColorKey, RGB(0, 0, 0));
    m_paragraphColor = ReadColor(iniPath, general, paragraphColorKey, RGB(0, 0, 0));
    SetAutokillSeconds(ReadNumber(iniPath, general, L"autokill_seconds", 10, 1, 3600));

    wchar_t backgroundName[MAX_PATH];
    m_background[0] = L'\0';
    if (ReadText(iniPath, general, backgroundKey, backgroundName, MAX_PATH))
        CFileIO::CombinePath(imageFolder, backgroundName, m_background, MAX_PATH);

    zerova::CopyString(m_buttonsSection, 64, buttonsSection);
    const int count = ReadNumber(iniPath, buttonsSection, numButtonsKey, 0, 0, 8);
    for (int n = 1; n <= count; ++n) {
        wchar_t key[64];
        wchar_t text[128];
        zerova::FormatString(key, 64, L"%s%d", buttonKey != nullptr ? buttonKey : L"", n);
        BUTTON_DEF button{};
        if (!ReadText(iniPath, buttonsSection, key, text, 128) || !ParseButton(text, button)) {
            ClearButtons();
            return false;
        }
        AddButton(button);
    }
    m_topmost = settingsFlag;
    return GetButtonCount() > 0;
}

int CAlphaChannelDialog::DoDialog(HWND owner, const wchar_t* title, const wchar_t* text, int position, int)
{
    zerova::CopyString(m_title, MAX_PATH, title);
    delete[] m_text;
    const size_t length = text != nullptr ? wcslen(text) : 0;
    m_text = new wchar_t[length + 1];
    zerova::CopyString(m_text, static_cast<int>(length + 1), text);

    SetClickedButtonID(0);
    if (!CreateAlphaWindow(owner, m_bounds, position, m_topmost, m_title, m_fontFace, m_paragraphPoints)) return 0;
    RunUntilClosed();
    return GetClickedButtonID();
}

bool CAlphaChannelDialog::ComputeTextMetrics(const wchar_t* text, Gdiplus::Graphics* graphics, Gdiplus::Font* font,
                                             Gdiplus::StringFormat* format, int& width, int& height,
                                             const RECT* layout)
{
    width = 0;
    height = 0;
    if (text == nullptr || graphics == nullptr || font == nullptr) return false;
    Gdiplus::RectF box;
    Gdiplus::Status status;
    if (layout != nullptr) {
        status = graphics->MeasureString(text, -1, font, ToRectF(*layout), format, &box);
    } else {
        status = graphics->MeasureString(text, -1, font, Gdiplus::PointF(0, 0), format, &box);
    }
    if (status != Gdiplus::Ok) return false;
    width = static_cast<int>(box.Width + 0.5f);
    height = static_cast<int>(box.Height + 0.5f);
    return true;
}

void CAlphaChannelDialog::SetIconKind(int kind) { m_iconKind = kind >= 0 && kind <= 2 ? kind : -1; }

void CAlphaChannelDialog::Paint(HDC dc, int x, int y, int width, int height)
{
    if (!zerova::EnsureGdiPlus()) return;
    const UINT dpi = GetDpi();
    {
        Gdiplus::Graphics graphics(dc);
        zerova::ScaleForDpi(graphics, dpi);
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
        // The layout is for 96 DPI: so is the area it is drawn in.
        const int layoutWidth = ::MulDiv(width, static_cast<int>(zerova::kDefaultDpi), static_cast<int>(dpi));
        const int layoutHeight = ::MulDiv(height, static_cast<int>(zerova::kDefaultDpi), static_cast<int>(dpi));
        std::unique_ptr<Gdiplus::Bitmap> background(zerova::LoadImageFile(m_background));
        if (background) {
            graphics.DrawImage(background.get(), x, y, layoutWidth, layoutHeight);
        } else {
            Gdiplus::SolidBrush plain(Gdiplus::Color(255, 240, 244, 250));
            graphics.FillRectangle(&plain, x, y, layoutWidth, layoutHeight);
        }
        DrawTexts(graphics);
    }
    DrawKindIcon(dc, dpi);
}

RECT CAlphaChannelDialog::TextRect(const RECT& text) const
{
    // A text never runs under the icon: it ends where the icon begins, when they share a line.
    const bool besideIcon = m_iconKind >= 0 && m_iconRect.right > m_iconRect.left && m_iconRect.left > text.left &&
                            m_iconRect.left < text.right && m_iconRect.top < text.bottom && m_iconRect.bottom > text.top;
    RECT shown = text;
    if (besideIcon) shown.right = m_iconRect.left - kIconGap;
    return shown;
}

void CAlphaChannelDialog::DrawTexts(Gdiplus::Graphics& graphics) const
{
    std::unique_ptr<Gdiplus::Font> titleFont(
        zerova::CreateTextFont(m_fontFace, static_cast<float>(m_titlePoints), Gdiplus::FontStyleBold));
    std::unique_ptr<Gdiplus::Font> paragraphFont(
        zerova::CreateTextFont(m_fontFace, static_cast<float>(m_paragraphPoints), Gdiplus::FontStyleRegular));
    if (!titleFont || !paragraphFont) return;
    Gdiplus::SolidBrush titleBrush(ToColor(m_titleColor));
    Gdiplus::SolidBrush paragraphBrush(ToColor(m_paragraphColor));
    graphics.DrawString(m_title, -1, titleFont.get(), ToRectF(TextRect(m_titleRect)), nullptr, &titleBrush);
    if (m_text != nullptr)
        graphics.DrawString(m_text, -1, paragraphFont.get(), ToRectF(TextRect(m_paragraphRect)), nullptr,
                            &paragraphBrush);
}

void CAlphaChannelDialog::DrawKindIcon(HDC dc, UINT dpi) const
{
    if (m_iconKind < 0 || m_iconRect.right <= m_iconRect.left || m_iconRect.bottom <= m_iconRect.top) return;
    const RECT place = zerova::ScaleToDpi(m_iconRect, dpi);
    const int size = std::min(place.right - place.left, place.bottom - place.top);
    const LPCWSTR icons[] = {IDI_INFORMATION, IDI_WARNING, IDI_ERROR};
    const zerova::UniqueIcon icon(static_cast<HICON>(
        ::LoadImageW(nullptr, icons[m_iconKind], IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    if (!icon) return;
    ::DrawIconEx(dc, place.left + ((place.right - place.left) - size) / 2, place.top + ((place.bottom - place.top) - size) / 2,
                 icon.Get(), size, size, 0, nullptr, DI_NORMAL);
}
