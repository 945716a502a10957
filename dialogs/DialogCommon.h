// What the tray's list dialogs share: the error of a dialog that cannot be built, the window
// icons, layout helpers and the common controls they need.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace dialogs {

struct Context;

// Reports string 528 as an error: the dialog could not be built.
void ReportCannotBuild(const Context& context);
// The big and small window icons of the tray's normal state, where found.
void SetTrayIcons(const Context& context, HWND window);
// The list views of the dialogs.
void InitListControls();
// A child's rectangle in its dialog's client coordinates.
RECT ChildRect(HWND dialog, int id);
// Moves child `below` so that its top is `gap` pixels (96 DPI) under child `above`, keeping its
// left, right and bottom edges.
void PlaceBelow(HWND dialog, int above, int below, int gap);
// The full path of an image of the GUI folders when the file exists; empty otherwise.
bool ImagePath(const Context& context, const wchar_t* name, wchar_t* path);
const int kRowWidth = 10000;

}  // namespace dialogs

class CListControl;
class CDlgSize;
class CImageBlock;
class CImageWindow;

namespace dialogs {

// At WM_INITDIALOG: the window goes into the modeless dialog list and the tray's icons onto it.
void AttachDialog(const Context& context, HWND window);
// Shows the image in the control as its background and gives the control the image's height at
// the dialog's DPI; the block belongs to the image window.
CImageBlock* AddFittedImage(HWND dialog, int controlId, CImageWindow* window, const wchar_t* path, int value);
// Every row of a list measures kRowWidth by height (96 DPI) at the dialog's DPI.
void MeasureRow(HWND dialog, LPARAM measureItem, int height);
// A dialog procedure's answer for owner-drawn rows of that height: TRUE for WM_MEASUREITEM, which
// it measures, FALSE for any other message.
INT_PTR MeasureRows(HWND dialog, UINT message, LPARAM lParam, int height);
// What the list dialogs answer alike: the close box as Cancel, the list's owner-drawn rows and
// notifications, white static controls. True when the message was one of these; *result is the
// dialog procedure's answer.
bool HandleListDialogMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, CListControl* list,
                             INT_PTR* result);
// Every line of the list on the clipboard as one text.
void CopyAllLines(HWND window, CListControl* list);
// Saves the size and column widths and closes a modeless list dialog.
void CloseListDialog(const Context& context, HWND window, CDlgSize* size, CListControl* list);

}  // namespace dialogs
