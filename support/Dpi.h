// The DPI the tray's own windows are drawn for. Layouts are written for 96 DPI and scaled to the
// DPI of the window they appear in; the functions that tell it are looked up at run time, so the
// libraries still load where the system lacks them.
#pragma once
#include "SupportAPI.h"

namespace zerova {

const UINT kDefaultDpi = 96;

// The DPI of the window (GetDpiForWindow where the system has it, else the screen's logical
// pixels per inch); kDefaultDpi when neither is known.
ZEROVA_SUPPORT_API UINT WindowDpi(HWND window);

// A length of a 96-DPI layout at that DPI.
inline int ScaleToDpi(int value, UINT dpi) { return ::MulDiv(value, static_cast<int>(dpi), static_cast<int>(kDefaultDpi)); }
inline RECT ScaleToDpi(const RECT& rect, UINT dpi)
{
    return RECT{ScaleToDpi(rect.left, dpi), ScaleToDpi(rect.top, dpi), ScaleToDpi(rect.right, dpi),
                ScaleToDpi(rect.bottom, dpi)};
}

// While it stands, the windows the calling thread creates are per-monitor DPI aware (version 2):
// the system neither stretches them nor lies to them about sizes, and they are told when their
// DPI changes. The thread's earlier awareness comes back when it goes. Nothing happens where the
// system has no per-thread awareness.
class ZEROVA_SUPPORT_API PerMonitorDpiScope {
public:
    PerMonitorDpiScope();
    ~PerMonitorDpiScope();
    PerMonitorDpiScope(const PerMonitorDpiScope&) = delete;
    PerMonitorDpiScope& operator=(const PerMonitorDpiScope&) = delete;

private:
    HANDLE m_previous;
};

}  // namespace zerova
