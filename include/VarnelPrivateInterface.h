// The tray's private interface: the plug-in record type and the members the tray host and the
// exported plug-in functions share.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

class CIniFile;

class VARNEL_API CVarnelPrivateInterface {
public:
    typedef VARNEL_PLUGIN_DATA PLUGIN_DATA;

    static CVarnelPrivateInterface* Instance();
    ~CVarnelPrivateInterface();

    int GetLastError();

    // ---- GUI folders: the GUI root is the application folder + "\Varnel"; a null or empty
    // subfolder means the module's GUI subfolder.
    static wchar_t* GetGUIRootFolder(wchar_t* buffer, int length);
    wchar_t* GetGUISubfolder(wchar_t* buffer, int length);
    static wchar_t* GetImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length);
    wchar_t* GetPluginImageFolder(const wchar_t* subfolder, wchar_t* buffer, int length);
    static wchar_t* GetImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length);
    wchar_t* GetINIFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length);
    // A new INI file object the caller deletes.
    CIniFile* GetINIFile(const wchar_t* subfolder, const wchar_t* file);

private:
    CVarnelPrivateInterface() = default;
    static wchar_t* ResolveGUISubfolder(const wchar_t* subfolder, wchar_t* buffer, int length);
    static wchar_t* BuildImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length);
};
