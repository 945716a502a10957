// The tray's private interface: the plug-in record type, the members behind the plain exported
// functions, the copy-data message protocol, the GUI folder look-up and the splash screen.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginAPI.h"
#include "VarnelPluginContract.h"

#include "SupportServices.h"

#include <cstddef>

class CIniFile;
class CPluginInterface;
class CStationDesktopUtils;
class CThreadManager;
class CVarnelMenuUtils;
namespace menu {
class TrayResources;
}

class VARNEL_API CVarnelPrivateInterface {
public:
    typedef VARNEL_PLUGIN_DATA PLUGIN_DATA;

    // What a copy-data message asks of the receiving tray host.
    enum IPC_REASON : unsigned int {
        IPC_LOAD = 1,
        IPC_UNLOAD = 2,
        IPC_SHOW = 3,
        IPC_HIDE = 4,
        IPC_LOAD_PLUGIN = 5,
        IPC_UNLOAD_PLUGIN = 6,
        IPC_VERIFY_PLUGIN = 7,
        IPC_PLUGIN_COMM = 8,
        IPC_LOAD_ALL = 9,
        IPC_AGENT_REGKEY_CHANGE = 10
    };

    // The payload of every copy-data message: 2056 bytes on both architectures.
    static const int IPC_STRING_UNITS = 1024;
#pragma pack(push, 1)
    struct IPC_DATA {
        unsigned int reason;
        wchar_t stringValue[IPC_STRING_UNITS];  // terminated; zero after the terminator
        int intValue;                           // -1 when the sender has none
    };
#pragma pack(pop)

    // The module's private interface (the module root's accessor, for callers outside the library
    // and the plain exports).
    static CVarnelPrivateInterface* Instance();
    // Built by the module root over the parts behind the exports.
    CVarnelPrivateInterface(const zerova::SupportServices& support, menu::TrayResources& tray,
                            CPluginInterface& registry, CVarnelMenuUtils& menu, CThreadManager& dialogs,
                            CStationDesktopUtils& walker);
    ~CVarnelPrivateInterface();
    CVarnelPrivateInterface(const CVarnelPrivateInterface&) = delete;
    CVarnelPrivateInterface& operator=(const CVarnelPrivateInterface&) = delete;

    int GetLastError();

    // ---- behind the plain exports (entry and exit traced where the export's name is given)
    bool RemoveMenuItem(void* handle, UINT itemId);
    bool SetMenuString(void* handle, UINT itemId, const wchar_t* caption);
    int GetMenuStringW(void* handle, UINT itemId, wchar_t* buffer, int length);
    bool GetMenuItemState(void* handle, UINT itemId, bool& checkMark, bool& enabled);
    bool CheckMenuItem(void* handle, UINT itemId, UINT flags);
    bool EnableMenuItem(void* handle, UINT itemId, UINT flags);
    bool SetMenuItemImage(void* handle, UINT itemId, HICON icon);
    bool SetMenuItemImage(void* handle, UINT itemId, const wchar_t* image);
    void ModifyTrayTitle(const wchar_t* title);
    void ModifyTrayIcon(HICON icon);
    void SetState(void* handle, VARNEL_PLUGIN_STATE state, wchar_t* text);
    bool DisplayAdvisoryMsg(void* handle, const wchar_t* extra, HWND parent, const wchar_t* title,
                            const wchar_t* text, ADVISORY_MSG_TYPE type, ADVISORY_MSG_BUTTONS buttons,
                            bool autoClose, void* cookie, bool settingsFlag);
    CProgressDlg* CreateProgressDlg(void* handle, HWND parent, const wchar_t* title, PROGRESS_BAR_DLG_TYPE type,
                                    void (*cancel)(void*), void* cookie, int autoCloseMs);
    bool SetProgress(CProgressDlg* dialog, const wchar_t* status, const wchar_t* detail, int percent);
    bool DestroyProgressDlg(CProgressDlg* dialog);

    // ---- the splash screen at the host's start, when the registry and the GUI folder ask for it
    void SplashScreen();

    // ---- the copy-data protocol: true when the target replied 1
    static bool CopyDataIPC(HWND target, HWND sender, unsigned int reason, const wchar_t* string, int value);
    // The name of a reason as the trace shows it; "Unknown" outside 1 to 10.
    static const wchar_t* ReasonName(unsigned int reason);

    // ---- GUI folders: the GUI root is the application folder + "\Varnel"; a null or empty
    // subfolder means the module's GUI subfolder. The statics are the module's (the module root
    // defines them); the members look up in this object's tray resources.
    static wchar_t* GetGUIRootFolder(wchar_t* buffer, int length);
    wchar_t* GetGUISubfolder(wchar_t* buffer, int length);
    static wchar_t* GetImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length);
    wchar_t* GetPluginImageFolder(const wchar_t* subfolder, wchar_t* buffer, int length);
    static wchar_t* GetImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length);
    wchar_t* GetINIFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length);
    // A new INI file object the caller deletes.
    CIniFile* GetINIFile(const wchar_t* subfolder, const wchar_t* file);

    // What the statics do, on this object's tray resources.
    wchar_t* LookUpGUIRootFolder(wchar_t* buffer, int length);
    wchar_t* LookUpImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length);
    wchar_t* LookUpImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer, int length);

    // ---- behind the plain exports that go to one part
    bool AddMenuItem(void* handle, const wchar_t* caption, int itemId, VARNEL_MENU_CATEGORY category);
    bool DoesMenuItemExist(void* handle, UINT itemId);
    bool PluginCommunication(void* handle, const wchar_t* text, int value);
    bool SetLegacyTrayEXE(void* handle, const wchar_t* program, const wchar_t* arguments, bool show);
    int OutputError(int code, const wchar_t* text);
    // A plug-in that reported interface version 2.1 does not know the settings flag.
    bool SettingsFlagFor(void* handle, bool settingsFlag);

private:
    const zerova::SupportServices m_support;
    menu::TrayResources& m_tray;
    CPluginInterface& m_registry;
    CVarnelMenuUtils& m_menu;
    CThreadManager& m_dialogs;
    CStationDesktopUtils& m_walker;
};

static_assert(sizeof(CVarnelPrivateInterface::IPC_DATA) == 2056, "the copy-data record is 2056 bytes");
static_assert(offsetof(CVarnelPrivateInterface::IPC_DATA, reason) == 0, "reason at offset 0");
static_assert(offsetof(CVarnelPrivateInterface::IPC_DATA, stringValue) == 4, "string at offset 4");
static_assert(offsetof(CVarnelPrivateInterface::IPC_DATA, intValue) == 2052, "integer at offset 2052");
static_assert(sizeof(wchar_t) == 2, "strings are UTF-16 code units");
