// The GUI folder look-up of the private interface: where the tray's and the plug-ins' images and INI
// files lie, in the tray resources the module filled.
#include "VarnelPrivateInterface.h"

#include "TrayResources.h"

#include "IniFile.h"
#include "SafeString.h"

#include <memory>

namespace {
const int kIniLineCapacity = 128;

bool HasNoRoom(const wchar_t* buffer, int length) { return buffer == nullptr || length < 1; }
}  // namespace

wchar_t* CVarnelPrivateInterface::LookUpGUIRootFolder(wchar_t* buffer, int length)
{
    return m_tray.GuiRootFolder(buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetGUISubfolder(wchar_t* buffer, int length)
{
    return m_tray.GetGuiSubfolder(buffer, length);
}

wchar_t* CVarnelPrivateInterface::LookUpImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    if (HasNoRoom(buffer, length)) {
        m_support.errors->Error(548);
        return nullptr;
    }
    return m_tray.ImagesFolder(subfolder, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetPluginImageFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    if (HasNoRoom(buffer, length)) {
        m_support.errors->Error(547);
        return nullptr;
    }
    return m_tray.ImagesFolder(subfolder, buffer, length);
}

wchar_t* CVarnelPrivateInterface::LookUpImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer,
                                                      int length)
{
    if (zerova::IsEmpty(file) || HasNoRoom(buffer, length)) {
        m_support.errors->Error(547);
        return nullptr;
    }
    return m_tray.ImageFilename(subfolder, file, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetINIFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer,
                                                 int length)
{
    return m_tray.IniFilename(subfolder, file, buffer, length);
}

CIniFile* CVarnelPrivateInterface::GetINIFile(const wchar_t* subfolder, const wchar_t* file)
{
    if (zerova::IsEmpty(file)) {
        m_support.errors->Error(546);
        return nullptr;
    }
    wchar_t path[MAX_PATH] = L"";
    GetINIFilename(subfolder, file, path, MAX_PATH);
    // The caller owns and deletes it, as the interface says.
    return std::make_unique<CIniFile>(path, kIniLineCapacity).release();
}
