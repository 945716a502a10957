// The GUI folder look-up: where the tray's and the plug-ins' images and INI files lie.
#include "VarnelPrivateInterface.h"

#include "ErrorMsg.h"
#include "IniFile.h"
#include "TrayResources.h"
#include "SafeString.h"

namespace {
const int kIniLineCapacity = 128;

bool HasNoRoom(const wchar_t* buffer, int length) { return buffer == nullptr || length < 1; }
}  // namespace

wchar_t* CVarnelPrivateInterface::GetGUIRootFolder(wchar_t* buffer, int length)
{
    return tray::GuiRootFolder(buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetGUISubfolder(wchar_t* buffer, int length)
{
    return tray::GetGuiSubfolder(buffer, length);
}

wchar_t* CVarnelPrivateInterface::ResolveGUISubfolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    if (HasNoRoom(buffer, length)) return nullptr;
    buffer[0] = L'\0';
    if (!zerova::IsEmpty(subfolder)) return zerova::CopyString(buffer, length, subfolder);
    return tray::GetGuiSubfolder(buffer, length);
}

wchar_t* CVarnelPrivateInterface::BuildImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    return tray::ImagesFolder(subfolder, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    if (HasNoRoom(buffer, length)) {
        CErrorMsg::Instance()->Error(548);
        return nullptr;
    }
    return BuildImagesFolder(subfolder, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetPluginImageFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    if (HasNoRoom(buffer, length)) {
        CErrorMsg::Instance()->Error(547);
        return nullptr;
    }
    return BuildImagesFolder(subfolder, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer,
                                                   int length)
{
    if (zerova::IsEmpty(file) || HasNoRoom(buffer, length)) {
        CErrorMsg::Instance()->Error(547);
        return nullptr;
    }
    return tray::ImageFilename(subfolder, file, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetINIFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer,
                                                 int length)
{
    return tray::IniFilename(subfolder, file, buffer, length);
}

CIniFile* CVarnelPrivateInterface::GetINIFile(const wchar_t* subfolder, const wchar_t* file)
{
    if (zerova::IsEmpty(file)) {
        CErrorMsg::Instance()->Error(546);
        return nullptr;
    }
    wchar_t path[MAX_PATH] = L"";
    GetINIFilename(subfolder, file, path, MAX_PATH);
    return new CIniFile(path, kIniLineCapacity);
}
