// Steering tray hosts from outside: find the running one, ask it to load or unload plug-ins, or
// start the tray host executable to load or unload all tray hosts.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include "SupportServices.h"

class VARNEL_API CVarnelUtils {
public:
    // The module's tray process control (the module root's accessor, for callers outside the library).
    static CVarnelUtils* Instance();
    // Built by the module root.
    explicit CVarnelUtils(const zerova::SupportServices& support);
    ~CVarnelUtils();
    CVarnelUtils(const CVarnelUtils&) = delete;
    CVarnelUtils& operator=(const CVarnelUtils&) = delete;

    // The running tray host's notify-icon window goes to window (0 when none runs).
    bool IsVarnelRunning(HWND& window);
    // One copy-data message to the running tray host; true when it accepted the request.
    bool VarnelIPC(unsigned int reason, const wchar_t* string);
    bool LoadPlugins();
    bool LoadPlugin(const wchar_t* path);
    bool UnloadPlugin(const wchar_t* path);
    // The application folder + "Varnel.exe".
    wchar_t* GetVarnelFilename(wchar_t* buffer, int length);
    // Starts the tray host executable with the command line; path: its folder or the executable.
    bool VarnelProxyIPC(const wchar_t* commandLine, const wchar_t* path);
    bool LoadAllVarnels(const wchar_t* path);
    bool UnloadAllVarnels(const wchar_t* path);
    // The calling thread takes on the identity of its own process.
    bool ImpersonateLoggedOnUser();

private:
    // The first notify-icon window of a tray host process, starting with the one already found.
    HWND FirstTrayHostNotifyWindow(HWND found);

    const zerova::SupportServices m_support;
};
