// A progress dialog: a status line, a bar from 0 to 100, detail lines that fold away, and for one
// kind a Cancel button reported through a callback. Its window belongs to the thread that built it.
#pragma once

#include "DialogWindow.h"
#include "VarnelAPI.h"
#include "VarnelPluginAPI.h"

#include <memory>

namespace Gdiplus {
class Font;
class StringFormat;
}  // namespace Gdiplus
class CDlgPos;
class CButtonWindow;
namespace dialogs {
struct Context;
}

class VARNEL_API CProgressDlg : public CDialogWindow<CProgressDlg> {
public:
    static const UINT_PTR AutoCloseTimer = 10000;

    // Builds and shows the dialog; with a parent that is no window, an empty title or an unknown
    // kind it reports error 566 and makes no window.
    CProgressDlg(HWND parent, const wchar_t* title, PROGRESS_BAR_DLG_TYPE type, void (*cancel)(void*), void* cookie,
                 int autoCloseMs);
    // The same dialog over the dialogs' context, which outlives it.
    CProgressDlg(const dialogs::Context& context, HWND parent, const wchar_t* title, PROGRESS_BAR_DLG_TYPE type,
                 void (*cancel)(void*), void* cookie, int autoCloseMs);
    // Stops the auto-close timer and frees what the dialog owns; the window is not destroyed.
    ~CProgressDlg();
    CProgressDlg(const CProgressDlg&) = delete;
    CProgressDlg& operator=(const CProgressDlg&) = delete;

    HWND GetHwnd() const { return m_window; }
    // True when the percentage was taken (it never goes back); the texts are applied either way.
    bool SetProgress(const wchar_t* status, const wchar_t* detail, int percent);
    int GetPercent() const { return m_percent; }
    bool AreDetailsOpen() const;

private:
    friend class CDialogWindow<CProgressDlg>;
    static const wchar_t* ClassProperty();
    INT_PTR OnInitDialog(HWND window);
    INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool OnTimer(UINT_PTR timer);
    void SetUp(HWND window);
    void ToggleDetails();
    void SaveSettings();
    void OnCommand(WPARAM wParam);
    bool IsKeyWithoutCancel(WPARAM wParam, LPARAM lParam) const;

    const dialogs::Context& m_context;
    void (*m_cancel)(void*);
    void* m_cookie;
    HWND m_window;
    int m_percent;
    PROGRESS_BAR_DLG_TYPE m_type;
    int m_foldedWidth;
    int m_foldedHeight;
    int m_widestDetail;
    std::unique_ptr<Gdiplus::Font> m_font;
    std::unique_ptr<Gdiplus::StringFormat> m_format;
    std::unique_ptr<CDlgPos> m_position;
    std::unique_ptr<CButtonWindow> m_detailsButton;
    UINT_PTR m_timer;
    int m_autoCloseMs;
};
