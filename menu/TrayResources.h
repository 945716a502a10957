// What the tray's menus and dialogs draw with: the GUI folders (the application folder + "\Varnel",
// its "Images" folder and the skin subfolder that "gui_redirect.ini" names), the tray menu the
// module loaded, and the icons and images of each state. The module fills it when it loads its
// resources; the menu model, the dialogs and the exported interface read it.
#pragma once

#include <windows.h>

namespace tray {

// The skin subfolder ("Zerova" by default); empty until the module has read "gui_redirect.ini".
void SetGuiSubfolder(const wchar_t* subfolder);
wchar_t* GetGuiSubfolder(wchar_t* buffer, int length);

// The tray menu template the module loaded (null when none); its first list is the tray's pop-up.
void SetTrayMenu(HMENU menu);
HMENU TrayPopup();

// The application folder + "\Varnel".
wchar_t* GuiRootFolder(wchar_t* buffer, int length);
// The root's "Images" folder + the subfolder (the skin subfolder when subfolder is empty).
wchar_t* ImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length);
// A full path as it stands, else the file in the subfolder's images, else in the "Images" folder.
wchar_t* ImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length);
wchar_t* IniFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length);

// The tray icon of a state (1 warning, 2 error, anything else normal) at a size, and the image
// file that shows it; the menu icon (16 by 16) and its image file.
HICON TrayIcon(int state, wchar_t* imageName, int length, int width, int height);
HICON MenuIcon(int state, wchar_t* imageName, int length);

}  // namespace tray
