#include "DialogCommon.h"
#include "DialogContext.h"
#include "TrayResources.h"
#include "VarnelPluginContract.h"

#include "DlgSize.h"
#include "Dpi.h"
#include "FileIO.h"
#include "ImageWindow.h"
#include "ListControl.h"
#include "Win32.h"

#include <commctrl.h>

namespace dialogs {

void ReportCannotBuild(const Context& context)
{
    wchar_t text[MAX_PATH];
    context.support.Text(528, text, MAX_PATH);
    context.support.errors->Error(0, text);
}

void SetTrayIcons(const Context& context, HWND window)
{
    wchar_t name[MAX_PATH];
    if (HICON big = context.tray->TrayIcon(VARNEL_PLUGIN_STATE_OK, name, MAX_PATH, 32, 32))
        ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    if (HICON small = context.tray->TrayIcon(VARNEL_PLUGIN_STATE_OK, name, MAX_PATH, 16, 16))
        ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

void InitListControls()
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&controls);
}

RECT ChildRect(HWND dialog, int id)
{
    RECT rect{};
    ::GetWindowRect(::GetDlgItem(dialog, id), &rect);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void PlaceBelow(HWND dialog, int above, int below, int gap)
{
    const RECT upper = ChildRect(dialog, above);
    const RECT lower = ChildRect(dialog, below);
    const int top = upper.bottom + zerova::ScaleToDpi(gap, zerova::WindowDpi(dialog));
    ::SetWindowPos(::GetDlgItem(dialog, below), nullptr, lower.left, top, lower.right - lower.left,
                   lower.bottom > top ? lower.bottom - top : 0, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool ImagePath(const Context& context, const wchar_t* name, wchar_t* path)
{
    context.tray->ImageFilename(nullptr, name, path, MAX_PATH);
    if (CFileIO::FileExists(path)) return true;
    path[0] = L'\0';
    return false;
}

void AttachDialog(const Context& context, HWND window)
{
    context.support.library->AddDlgToDlgList(window);
    SetTrayIcons(context, window);
}

CImageBlock* AddFittedImage(HWND dialog, int controlId, CImageWindow* window, const wchar_t* path, int value)
{
    auto* block = new CImageBlock(path, nullptr, 2, value);
    window->AddImageBlock(block);
    int width = 0, height = 0;
    block->GetImageSize(width, height);
    const RECT control = ChildRect(dialog, controlId);
    ::SetWindowPos(::GetDlgItem(dialog, controlId), nullptr, 0, 0, control.right - control.left,
                   zerova::ScaleToDpi(height, zerova::WindowDpi(dialog)), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return block;
}

void MeasureRow(HWND dialog, LPARAM measureItem, int height)
{
    auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(measureItem);
    measure->itemWidth = kRowWidth;
    measure->itemHeight = static_cast<UINT>(zerova::ScaleToDpi(height, zerova::WindowDpi(dialog)));
}

INT_PTR MeasureRows(HWND dialog, UINT message, LPARAM lParam, int height)
{
    if (message != WM_MEASUREITEM) return FALSE;
    MeasureRow(dialog, lParam, height);
    return TRUE;
}

void CopyAllLines(HWND window, CListControl* list)
{
    if (list == nullptr) return;
    wchar_t* all = list->GetAllLinesOfText();
    CWin32::CopyToClipboard(window, all);
    CListControl::FreeText(all);
}

void CloseListDialog(const Context& context, HWND window, CDlgSize* size, CListControl* list)
{
    if (size != nullptr) size->SaveSize();
    if (list != nullptr) list->SaveColumnWidths();
    context.support.library->RemoveFromDlgList(window);
    ::DestroyWindow(window);
}

bool HandleListDialogMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, CListControl* list,
                             INT_PTR* result)
{
    switch (message) {
    case WM_CLOSE:
        ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        *result = TRUE;
        return true;
    case WM_DRAWITEM:
        if (list != nullptr) list->OnDrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
        *result = FALSE;
        return true;
    case WM_NOTIFY:
        if (list != nullptr) list->OnNotify(window, wParam, lParam);
        *result = TRUE;
        return true;
    case WM_CTLCOLORSTATIC:
        *result = reinterpret_cast<INT_PTR>(::GetStockObject(WHITE_BRUSH));
        return true;
    default:
        return false;
    }
}

}  // namespace dialogs
