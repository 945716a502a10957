// GDI+ for the support library: started once, on first use, never from DllMain.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
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
bool EnsureGdiPlus();

// The image file drawn into a 32-bit bitmap of the given size (premultiplied alpha, transparent
// background); null when the file does not load.
HBITMAP LoadImageBitmap(const wchar_t* path, int width, int height);

// The icon drawn into a 32-bit bitmap of the given size; null on failure.
HBITMAP IconToBitmap(HICON icon, int width, int height);

}  // namespace zerova
