#include "Dpi.h"

#include "Handles.h"

namespace zerova {

namespace {
// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2.
const HANDLE kPerMonitorAwareV2 = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4));

typedef UINT(WINAPI* GetDpiForWindowFunction)(HWND);
typedef HANDLE(WINAPI* SetThreadDpiAwarenessContextFunction)(HANDLE);

template <typename Function>
Function User32Function(const char* name)
{
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    return user32 != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(user32, name)))
                             : nullptr;
}

GetDpiForWindowFunction GetDpiForWindowEntry()
{
    static const auto entry = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    return entry;
}

SetThreadDpiAwarenessContextFunction SetThreadDpiAwarenessContextEntry()
{
    static const auto entry = User32Function<SetThreadDpiAwarenessContextFunction>("SetThreadDpiAwarenessContext");
    return entry;
}
}  // namespace

UINT WindowDpi(HWND window)
{
    if (window != nullptr && ::IsWindow(window)) {
        if (GetDpiForWindowFunction entry = GetDpiForWindowEntry()) {
            const UINT dpi = entry(window);
            if (dpi > 0) return dpi;
        }
    }
    const WindowDeviceContext screen(nullptr);
    const int dpi = screen.Get() != nullptr ? ::GetDeviceCaps(screen.Get(), LOGPIXELSY) : 0;
    return dpi > 0 ? static_cast<UINT>(dpi) : kDefaultDpi;
}

PerMonitorDpiScope::PerMonitorDpiScope() : m_previous(nullptr)
{
    if (SetThreadDpiAwarenessContextFunction entry = SetThreadDpiAwarenessContextEntry())
        m_previous = entry(kPerMonitorAwareV2);
}

PerMonitorDpiScope::~PerMonitorDpiScope()
{
    if (m_previous == nullptr) return;
    if (SetThreadDpiAwarenessContextFunction entry = SetThreadDpiAwarenessContextEntry()) entry(m_previous);
}

}  // namespace zerova
