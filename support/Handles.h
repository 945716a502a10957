// Owning wrappers for Win32 handles (header only, used inside the libraries).
#pragma once
#include "SupportAPI.h"
#include <utility>

namespace zerova {

template <typename T, typename Traits>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T value) : m_value(value) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_value(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    T Get() const { return m_value; }
    T* Put()
    {
        Reset();
        return &m_value;
    }
    bool Valid() const { return Traits::IsValid(m_value); }
    explicit operator bool() const { return Valid(); }
    T Release()
    {
        T value = m_value;
        m_value = Traits::Invalid();
        return value;
    }
    void Reset(T value = Traits::Invalid())
    {
        if (Traits::IsValid(m_value)) Traits::Close(m_value);
        m_value = value;
    }

private:
    T m_value = Traits::Invalid();
};

struct KernelHandleTraits {  // events, threads, processes, tokens: null means none
    static HANDLE Invalid() { return nullptr; }
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE means none
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static bool IsValid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
struct LibraryTraits {
    static HMODULE Invalid() { return nullptr; }
    static bool IsValid(HMODULE h) { return h != nullptr; }
    static void Close(HMODULE h) { FreeLibrary(h); }
};
struct MenuTraits {
    static HMENU Invalid() { return nullptr; }
    static bool IsValid(HMENU h) { return h != nullptr; }
    static void Close(HMENU h) { DestroyMenu(h); }
};
struct GdiObjectTraits {
    static HGDIOBJ Invalid() { return nullptr; }
    static bool IsValid(HGDIOBJ h) { return h != nullptr; }
    static void Close(HGDIOBJ h) { DeleteObject(h); }
};
struct DeviceContextTraits {  // CreateCompatibleDC
    static HDC Invalid() { return nullptr; }
    static bool IsValid(HDC h) { return h != nullptr; }
    static void Close(HDC h) { DeleteDC(h); }
};
struct IconTraits {  // LoadImage(IMAGE_ICON) without LR_SHARED, CreateIconIndirect
    static HICON Invalid() { return nullptr; }
    static bool IsValid(HICON h) { return h != nullptr; }
    static void Close(HICON h) { DestroyIcon(h); }
};
struct WindowStationTraits {  // OpenWindowStationW
    static HWINSTA Invalid() { return nullptr; }
    static bool IsValid(HWINSTA h) { return h != nullptr; }
    static void Close(HWINSTA h) { CloseWindowStation(h); }
};
struct DesktopTraits {  // OpenDesktopW
    static HDESK Invalid() { return nullptr; }
    static bool IsValid(HDESK h) { return h != nullptr; }
    static void Close(HDESK h) { CloseDesktop(h); }
};
struct BitmapTraits {
    static HBITMAP Invalid() { return nullptr; }
    static bool IsValid(HBITMAP h) { return h != nullptr; }
    static void Close(HBITMAP h) { DeleteObject(h); }
};
struct FindTraits {  // FindFirstFileW
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(HANDLE h) { FindClose(h); }
};
struct HeapBlockTraits {
    static void* Invalid() { return nullptr; }
    static bool IsValid(void* p) { return p != nullptr; }
    static void Close(void* p) { HeapFree(GetProcessHeap(), 0, p); }
};

using UniqueKernelHandle = UniqueHandle<HANDLE, KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<HANDLE, FileHandleTraits>;
using UniqueRegKey = UniqueHandle<HKEY, RegKeyTraits>;
using UniqueLibrary = UniqueHandle<HMODULE, LibraryTraits>;
using UniqueMenu = UniqueHandle<HMENU, MenuTraits>;
using UniqueGdiObject = UniqueHandle<HGDIOBJ, GdiObjectTraits>;
using UniqueFind = UniqueHandle<HANDLE, FindTraits>;
using UniqueHeapBlock = UniqueHandle<void*, HeapBlockTraits>;
using UniqueDeviceContext = UniqueHandle<HDC, DeviceContextTraits>;
using UniqueIcon = UniqueHandle<HICON, IconTraits>;
using UniqueBitmap = UniqueHandle<HBITMAP, BitmapTraits>;
using UniqueWindowStation = UniqueHandle<HWINSTA, WindowStationTraits>;
using UniqueDesktop = UniqueHandle<HDESK, DesktopTraits>;

// A window's device context from GetDC, given back when the scope ends.
class WindowDeviceContext {
public:
    explicit WindowDeviceContext(HWND window) : m_window(window), m_dc(GetDC(window)) {}
    ~WindowDeviceContext()
    {
        if (m_dc != nullptr) ReleaseDC(m_window, m_dc);
    }
    WindowDeviceContext(const WindowDeviceContext&) = delete;
    WindowDeviceContext& operator=(const WindowDeviceContext&) = delete;
    HDC Get() const { return m_dc; }

private:
    HWND m_window;
    HDC m_dc;
};

// BeginPaint and EndPaint of one WM_PAINT; declared before anything that draws on its context.
class PaintSession {
public:
    explicit PaintSession(HWND window) : m_window(window), m_paint(), m_dc(BeginPaint(window, &m_paint)) {}
    ~PaintSession() { EndPaint(m_window, &m_paint); }
    PaintSession(const PaintSession&) = delete;
    PaintSession& operator=(const PaintSession&) = delete;
    HDC Get() const { return m_dc; }

private:
    HWND m_window;
    PAINTSTRUCT m_paint;
    HDC m_dc;
};

// An object selected into a device context; the previous one is selected back when the scope
// ends, so nothing owned stays selected when it is deleted.
class ScopedSelection {
public:
    ScopedSelection(HDC dc, HGDIOBJ object)
        : m_dc(dc), m_previous(dc != nullptr && object != nullptr ? SelectObject(dc, object) : nullptr)
    {
    }
    ~ScopedSelection()
    {
        if (m_previous != nullptr && m_previous != HGDI_ERROR) SelectObject(m_dc, m_previous);
    }
    ScopedSelection(const ScopedSelection&) = delete;
    ScopedSelection& operator=(const ScopedSelection&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

}  // namespace zerova
