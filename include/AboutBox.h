// The about box: the tray's and every plug-in's information in a resizable list under the logo,
// with a button that copies every line.
#pragma once

#include "DialogWindow.h"
#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include <memory>

class CDlgSize;
class CListview;
class CImageWindow;
namespace dialogs {
struct Context;
}

class VARNEL_API CAboutBox : public CDialogWindow<CAboutBox> {
public:
    // Builds and shows the box on the calling thread; no parent window or no text: error 528.
    CAboutBox(HWND parent, const wchar_t* text);
    // The same box over the dialogs' context, which outlives it.
    CAboutBox(const dialogs::Context& context, HWND parent, const wchar_t* text);
    ~CAboutBox();
    CAboutBox(const CAboutBox&) = delete;
    CAboutBox& operator=(const CAboutBox&) = delete;

    HWND GetHwnd() const { return m_window; }
    CListview* GetListview() const { return m_list.get(); }

private:
    friend class CDialogWindow<CAboutBox>;
    static const wchar_t* ClassProperty();
    static INT_PTR OnEarlyMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnInitDialog(HWND window);
    INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    const dialogs::Context& m_context;
    HWND m_window;
    std::unique_ptr<CDlgSize> m_size;
    std::unique_ptr<CListview> m_list;
    std::unique_ptr<CImageWindow> m_image;
};
