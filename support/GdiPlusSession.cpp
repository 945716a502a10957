#include "GdiPlusSession.h"
#include "Lock.h"

#include "Handles.h"

#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zerova {

namespace {
std::once_flag g_startOnce;
bool g_started = false;

HBITMAP CreateTopDownDib(int width, int height, void** bits)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}
}  // namespace

bool EnsureGdiPlus()
{
    std::call_once(g_startOnce, [] {
        ULONG_PTR token = 0;
        Gdiplus::GdiplusStartupInput input;
        g_started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
    });
    return g_started;
}

Gdiplus::Bitmap* LoadImageFile(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0' || !EnsureGdiPlus()) return nullptr;
    std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromFile(path));
    if (!bitmap || bitmap->GetLastStatus() != Gdiplus::Ok || bitmap->GetWidth() == 0) return nullptr;
    return bitmap.release();
}

namespace {
// Decoded pixels of the image files drawn lately, so that a menu image set again and again is not
// decoded each time. An entry stands for one file as it was: its size and time are part of the key.
struct DrawnImage {
    std::wstring path;
    int width;
    int height;
    FILETIME written;
    ULONGLONG bytes;
    std::vector<BYTE> pixels;
};

class DrawnImageCache {
public:
    static constexpr size_t kMostEntries = 64;

    HBITMAP Find(const wchar_t* path, int width, int height, const WIN32_FILE_ATTRIBUTE_DATA& file)
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        for (const DrawnImage& image : m_images) {
            if (image.width != width || image.height != height || !Same(image, file) ||
                _wcsicmp(image.path.c_str(), path) != 0)
                continue;
            void* bits = nullptr;
            HBITMAP bitmap = CreateTopDownDib(width, height, &bits);
            if (bitmap != nullptr) memcpy(bits, image.pixels.data(), image.pixels.size());
            return bitmap;
        }
        return nullptr;
    }

    void Add(const wchar_t* path, int width, int height, const WIN32_FILE_ATTRIBUTE_DATA& file, const void* bits)
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        if (m_images.size() >= kMostEntries) m_images.clear();
        const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
        const BYTE* first = static_cast<const BYTE*>(bits);
        m_images.push_back(DrawnImage{path, width, height, file.ftLastWriteTime, Bytes(file),
                                      std::vector<BYTE>(first, first + bytes)});
    }

private:
    static ULONGLONG Bytes(const WIN32_FILE_ATTRIBUTE_DATA& file)
    {
        return (static_cast<ULONGLONG>(file.nFileSizeHigh) << 32) | file.nFileSizeLow;
    }
    static bool Same(const DrawnImage& image, const WIN32_FILE_ATTRIBUTE_DATA& file)
    {
        return CompareFileTime(&image.written, &file.ftLastWriteTime) == 0 && image.bytes == Bytes(file);
    }

    zerova::Mutex m_lock;
    std::vector<DrawnImage> m_images;
};

DrawnImageCache& DrawnImages()
{
    static DrawnImageCache cache;
    return cache;
}
}  // namespace

HBITMAP LoadImageBitmap(const wchar_t* path, int width, int height)
{
    if (width < 1 || height < 1 || path == nullptr) return nullptr;
    WIN32_FILE_ATTRIBUTE_DATA file{};
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &file)) return nullptr;
    if (HBITMAP drawn = DrawnImages().Find(path, width, height, file)) return drawn;
    std::unique_ptr<Gdiplus::Bitmap> source(LoadImageFile(path));
    if (!source) return nullptr;
    void* bits = nullptr;
    UniqueGdiObject bitmap(CreateTopDownDib(width, height, &bits));
    if (!bitmap) return nullptr;
    // A GDI+ bitmap over the DIB's own memory: drawing into it fills the DIB, premultiplied.
    Gdiplus::Bitmap target(width, height, width * 4, PixelFormat32bppPARGB, static_cast<BYTE*>(bits));
    Gdiplus::Graphics graphics(&target);
    graphics.Clear(Gdiplus::Color(0, 0, 0, 0));
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    const bool drawn = graphics.DrawImage(source.get(), 0, 0, width, height) == Gdiplus::Ok;
    graphics.Flush(Gdiplus::FlushIntentionSync);
    if (!drawn) return nullptr;
    DrawnImages().Add(path, width, height, file, bits);
    return static_cast<HBITMAP>(bitmap.Release());
}

Gdiplus::Font* CreateTextFont(const wchar_t* face, float points, int style)
{
    if (!EnsureGdiPlus()) return nullptr;
    const float pixels = points * 96.0f / 72.0f;
    Gdiplus::FontFamily requested(face != nullptr ? face : L"");
    const Gdiplus::FontFamily* family = requested.IsAvailable() ? &requested : Gdiplus::FontFamily::GenericSansSerif();
    if (family != nullptr && family->IsAvailable()) return new Gdiplus::Font(family, pixels, style, Gdiplus::UnitPixel);
    LOGFONTW logical{};
    const WindowDeviceContext screen(nullptr);
    logical.lfHeight = -static_cast<LONG>(pixels + 0.5f);
    logical.lfWeight = (style & Gdiplus::FontStyleBold) != 0 ? FW_BOLD : FW_NORMAL;
    logical.lfCharSet = DEFAULT_CHARSET;
    logical.lfQuality = ANTIALIASED_QUALITY;
    if (face != nullptr) wcsncpy(logical.lfFaceName, face, LF_FACESIZE - 1);
    return new Gdiplus::Font(screen.Get(), &logical);
}

void ScaleForDpi(Gdiplus::Graphics& graphics, UINT dpi)
{
    const Gdiplus::REAL scale = static_cast<Gdiplus::REAL>(dpi > 0 ? dpi : 96) / 96.0f;
    graphics.SetPageUnit(Gdiplus::UnitPixel);
    graphics.ResetTransform();
    graphics.ScaleTransform(scale, scale);
}

HBITMAP IconToBitmap(HICON icon, int width, int height)
{
    if (icon == nullptr || width < 1 || height < 1) return nullptr;
    void* bits = nullptr;
    UniqueGdiObject bitmap(CreateTopDownDib(width, height, &bits));
    if (!bitmap) return nullptr;
    const UniqueDeviceContext dc(::CreateCompatibleDC(nullptr));
    if (!dc) return nullptr;
    {
        const ScopedSelection selected(dc.Get(), bitmap.Get());
        if (!::DrawIconEx(dc.Get(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL)) return nullptr;
    }
    return static_cast<HBITMAP>(bitmap.Release());
}

}  // namespace zerova
