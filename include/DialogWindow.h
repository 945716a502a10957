// The dialog-procedure thunk every tray dialog shares. The object travels as the creation
// parameter, is kept in the dialog's own named window property from WM_INITDIALOG on, and every
// later message reaches the object; the property goes with the window.
//
// A dialog class derives as `class CMyDialog : public CDialogWindow<CMyDialog>`, makes the base
// a friend and provides:
//   static const wchar_t* ClassProperty();             the window property holding the object
//   INT_PTR OnInitDialog(HWND window);                 WM_INITDIALOG, the property is set
//   INT_PTR OnMessage(HWND, UINT, WPARAM, LPARAM);     every later message while the property is set
// and, where the dialog answers messages that come before WM_INITDIALOG (owner-drawn rows are
// measured then), hides OnEarlyMessage with its own.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

template <class Derived>
class CDialogWindow {
protected:
    CDialogWindow() = default;
    ~CDialogWindow() = default;
    CDialogWindow(const CDialogWindow&) = delete;
    CDialogWindow& operator=(const CDialogWindow&) = delete;

    // Builds the modeless dialog on the calling thread; the window, or null.
    HWND CreateModeless(HINSTANCE module, UINT templateId, HWND parent)
    {
        return ::CreateDialogParamW(module, MAKEINTRESOURCEW(templateId), parent, &CDialogWindow::DialogProc,
                                    reinterpret_cast<LPARAM>(static_cast<Derived*>(this)));
    }

    // Runs the dialog modally on the calling thread and returns its end code.
    INT_PTR RunModal(HINSTANCE module, UINT templateId, HWND parent)
    {
        return ::DialogBoxParamW(module, MAKEINTRESOURCEW(templateId), parent, &CDialogWindow::DialogProc,
                                 reinterpret_cast<LPARAM>(static_cast<Derived*>(this)));
    }

    // Takes the object off a window that outlives it; later messages get their default handling.
    static void Detach(HWND window, const Derived* object)
    {
        if (::IsWindow(window) && ::GetPropW(window, Derived::ClassProperty()) == object)
            ::RemovePropW(window, Derived::ClassProperty());
    }

    // Messages before the object is attached: left to the dialog manager.
    static INT_PTR OnEarlyMessage(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

    // A result for messages whose answer goes in DWLP_MSGRESULT, not the procedure's return.
    static INT_PTR Answer(HWND window, LRESULT result)
    {
        ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_INITDIALOG) {
            auto* created = reinterpret_cast<Derived*>(lParam);
            ::SetPropW(window, Derived::ClassProperty(), reinterpret_cast<HANDLE>(created));
            return created->OnInitDialog(window);
        }
        auto* self = static_cast<Derived*>(::GetPropW(window, Derived::ClassProperty()));
        if (self == nullptr) return Derived::OnEarlyMessage(window, message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            ::RemovePropW(window, Derived::ClassProperty());
            return FALSE;
        }
        return self->OnMessage(window, message, wParam, lParam);
    }
};
