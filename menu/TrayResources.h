// What the tray's menus and dialogs draw with: the GUI folders (the application folder + "\Varnel",
// its "Images" folder and the skin subfolder that "gui_redirect.ini" names), the tray menu, and the
// icons and images of each state. The module owns one, fills it when it loads its resources and
// hands it to the menu model, the dialogs and the private interface.
#pragma once

#include "Handles.h"
#include "Lock.h"
#include "SupportServices.h"

namespace menu {

class TrayResources {
public:
    explicit TrayResources(const zerova::SupportServices& support);
    TrayResources(const TrayResources&) = delete;
    TrayResources& operator=(const TrayResources&) = delete;

    // The skin subfolder ("Zerova" by default); empty until the module has read "gui_redirect.ini".
    void SetGuiSubfolder(const wchar_t* subfolder);
    wchar_t* GetGuiSubfolder(wchar_t* buffer, int length) const;

    // The tray menu the module loaded (null when none), kept until another one replaces it or
    // this object goes; its first list is the tray's pop-up.
    void SetTrayMenu(zerova::UniqueMenu menu);
    HMENU TrayMenu() const;
    HMENU TrayPopup() const;

    // The application folder + "\Varnel".
    wchar_t* GuiRootFolder(wchar_t* buffer, int length) const;
    // The root's "Images" folder + the subfolder (the skin subfolder when subfolder is empty).
    wchar_t* ImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length) const;
    // A full path as it stands, else the file in the subfolder's images, else in the "Images" folder.
    wchar_t* ImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length) const;
    wchar_t* IniFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length) const;

    // The tray icon of a state (1 warning, 2 error, anything else normal) at a size, and the image
    // file that shows it; the menu icon (16 by 16) and its image file.
    HICON TrayIcon(int state, wchar_t* imageName, int length, int width, int height) const;
    HICON MenuIcon(int state, wchar_t* imageName, int length) const;

private:
    zerova::SupportServices m_support;
    mutable zerova::Mutex m_lock;  // the subfolder and the tray menu
    wchar_t m_subfolder[MAX_PATH];
    zerova::UniqueMenu m_trayMenu;
};

}  // namespace menu
