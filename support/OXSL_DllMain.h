// The support library's module object: application folder, plug-in trust test, modeless dialogs.
#pragma once
#include "SupportAPI.h"

class CHeldLibraryFiles;

class ZEROVA_SUPPORT_API COXSL_DllMain {
public:
    static COXSL_DllMain* Instance();

    // Folder of the host executable, or the folder named by the string value "ApplicationFolder"
    // under HKEY_LOCAL_MACHINE "SOFTWARE\Zerova\Varnel" when that is set. No trailing separator.
    wchar_t* GetApplicationFolder(wchar_t* buffer, int length);

    // May this library file be loaded? reasonA: the path is not an absolute local path of an
    // existing regular ".dll" file that can be opened for reading. reasonB: the machine requires
    // signed plug-ins ("RequireSignedPlugins") and the file's signature is not accepted, or a
    // library that loading it would take from its folder is not accepted (see held below).
    bool IsTrustedDLL(const wchar_t* path, bool& reasonA, bool& reasonB);
    // The same test, which leaves in held what it checked: the file (always), and under the
    // signing policy the folders above it and the libraries its load takes from its folder, held
    // so that the load that follows gets those very bytes. Nothing is held when it answers false.
    bool IsTrustedDLL(const wchar_t* path, bool& reasonA, bool& reasonB, CHeldLibraryFiles& held);

    // Modeless dialogs whose messages the host's pump passes through IsDialogMessageW.
    void AddDlgToDlgList(HWND dialog);
    void RemoveFromDlgList(HWND dialog);
    // True when msg belonged to one of the listed dialogs and was handled by it.
    bool PreTranslateDialogMessage(MSG* msg);

    HINSTANCE GetModuleInstance();

private:
    COXSL_DllMain() = default;
};
