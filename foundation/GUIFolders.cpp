// The GUI folder look-up: where the tray's and the plug-ins' images and INI files lie.
#include "VarnelPrivateInterface.h"

#include "ErrorMsg.h"
#include "FileIO.h"
#include "IniFile.h"
#include "OXIL_dllmain.h"
#include "OXSL_DllMain.h"
#include "SafeString.h"

namespace {
const int kIniLineCapacity = 128;

bool IsBadBuffer(const wchar_t* buffer, int length) { return buffer == nullptr || length < 1; }
}  // namespace

wchar_t* CVarnelPrivateInterface::GetGUIRootFolder(wchar_t* buffer, int length)
{
    if (IsBadBuffer(buffer, length)) return nullptr;
    wchar_t application[MAX_PATH] = L"";
    COXSL_DllMain::Instance()->GetApplicationFolder(application, MAX_PATH);
    CFileIO::CombinePath(application, L"\\Varnel", buffer, length);
    return buffer;
}

wchar_t* CVarnelPrivateInterface::GetGUISubfolder(wchar_t* buffer, int length)
{
    return COXIL_DllMain::Instance()->GetGUISubfolder(buffer, length);
}

wchar_t* CVarnelPrivateInterface::ResolveGUISubfolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    if (IsBadBuffer(buffer, length)) return nullptr;
    buffer[0] = L'\0';
    if (!zerova::IsEmpty(subfolder)) return zerova::CopyString(buffer, length, subfolder);
    return COXIL_DllMain::Instance()->GetGUISubfolder(buffer, length);
}

wchar_t* CVarnelPrivateInterface::BuildImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    wchar_t resolved[MAX_PATH];
    ResolveGUISubfolder(subfolder, resolved, MAX_PATH);
    wchar_t root[MAX_PATH] = L"";
    wchar_t images[MAX_PATH] = L"";
    GetGUIRootFolder(root, MAX_PATH);
    CFileIO::CombinePath(root, L"Images", images, MAX_PATH);
    CFileIO::CombinePath(images, resolved, buffer, length);
    return buffer;
}

wchar_t* CVarnelPrivateInterface::GetImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    if (IsBadBuffer(buffer, length)) {
        CErrorMsg::Instance()->Error(548);
        return nullptr;
    }
    return BuildImagesFolder(subfolder, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetPluginImageFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    if (IsBadBuffer(buffer, length)) {
        CErrorMsg::Instance()->Error(547);
        return nullptr;
    }
    return BuildImagesFolder(subfolder, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer,
                                                   int length)
{
    if (zerova::IsEmpty(file) || IsBadBuffer(buffer, length)) {
        CErrorMsg::Instance()->Error(547);
        return nullptr;
    }
    if (CFileIO::FileExists(file)) return zerova::CopyString(buffer, length, file);
    wchar_t folder[MAX_PATH] = L"";
    BuildImagesFolder(subfolder, folder, MAX_PATH);
    CFileIO::CombinePath(folder, file, buffer, length);
    if (CFileIO::FileExists(buffer)) return buffer;
    BuildImagesFolder(L"Images", folder, MAX_PATH);
    CFileIO::CombinePath(folder, file, buffer, length);
    return buffer;
}

wchar_t* CVarnelPrivateInterface::GetINIFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer,
                                                 int length)
{
    if (zerova::IsEmpty(file) || IsBadBuffer(buffer, length)) return nullptr;
    wchar_t folder[MAX_PATH] = L"";
    BuildImagesFolder(subfolder, folder, MAX_PATH);
    CFileIO::CombinePath(folder, file, buffer, length);
    return buffer;
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
