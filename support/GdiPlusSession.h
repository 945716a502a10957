// GDI+ for the support library: started once, on first use, never from DllMain.
#pragma once

#include "SupportAPI.h"

#include <objidl.h>

// GDI+ needs min and max, which NOMINMAX takes away.
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

namespace zerova {

// True when GDI+ runs in this process. The session lasts until the process ends: shutting GDI+
// down while the library is being unloaded is not allowed.
ZEROVA_SUPPORT_API bool EnsureGdiPlus();

// The image file decoded into a GDI+ bitmap; null when it does not load. The caller deletes it.
ZEROVA_SUPPORT_API Gdiplus::Bitmap* LoadImageFile(const wchar_t* path);

// The image file drawn into a 32-bit bitmap of the given size (premultiplied alpha, transparent
// background); null when the file does not load.
ZEROVA_SUPPORT_API HBITMAP LoadImageBitmap(const wchar_t* path, int width, int height);

// A font of that face, size in points of a 96-DPI layout and style (Gdiplus::FontStyle), measured
// in pixels, so that the scale a graphics object is given for its window's DPI (ScaleForDpi)
// scales the text with the rest of the layout. Where GDI+ knows no such family (or none at all,
// as on systems without TrueType fonts) it is made from the GDI font of that face. The caller
// deletes it.
ZEROVA_SUPPORT_API Gdiplus::Font* CreateTextFont(const wchar_t* face, float points, int style);

// Draws a 96-DPI layout on graphics at that DPI: world coordinates stay those of the layout.
ZEROVA_SUPPORT_API void ScaleForDpi(Gdiplus::Graphics& graphics, UINT dpi);

// The icon drawn into a 32-bit bitmap of the given size; null on failure.
ZEROVA_SUPPORT_API HBITMAP IconToBitmap(HICON icon, int width, int height);

}  // namespace zerova
