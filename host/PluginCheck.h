// Varnel.exe --check-plugin PATH: a dry run of one plug-in's load and unload in a host process of
// its own. The process is a tray host in all but its reach: its window has a class of its own (no
// request, walk or second host finds it), its tray icon is hidden, and it sees a registry of its
// own in which the plug-in list holds the checked library alone (the machine's Zerova settings are
// copied into it), so no other plug-in loads and no running tray host sees the entry. Under the
// signing policy the library's signature is tested first, against the machine's own registry.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "Handles.h"

#include <string>
#include <vector>

class CLoadTrace;
class CPlugin;

class CPluginCheck {
public:
    CPluginCheck(HINSTANCE instance, std::wstring logFile);
    ~CPluginCheck();
    CPluginCheck(const CPluginCheck&) = delete;
    CPluginCheck& operator=(const CPluginCheck&) = delete;

    // Loads and unloads the library; says what happened, one line at a time, on the standard output,
    // and ends with "result: ...". The process exit code: 0 loads and unloads cleanly, 6 refused or
    // not unloaded cleanly, 7 the check could not be made.
    int Run(const std::wstring& path);

    static const wchar_t WindowClass[];

private:
    // The registry entry the check uses: the one registered with this library, else one named after
    // the file.
    void ChooseEntry(const std::wstring& path);
    // The signing policy's test, against the machine's registry; false (the refusal said) when the
    // loader would refuse the library before loading it.
    bool PassesTrustTest(const std::wstring& path);
    bool MakePrivateRegistry(const std::wstring& path);
    void DropPrivateRegistry();
    bool MakeHostWindows();
    // After a refused load: what the loader's error does not say (the Windows error of the library's
    // load, the interface version the plug-in reported).
    void ExplainRefusal(const std::wstring& path, const CLoadTrace& trace);
    void DescribeLoadedPlugin(void* handle, CPlugin* plugin);
    std::wstring MenuItemsOf(void* handle);
    // Unloads as the tray does when it ends; true when the library was cleaned up and freed.
    bool UnloadAll(const std::wstring& path, const CLoadTrace& trace);
    void Say(const std::wstring& line);
    int Result(int code, const std::wstring& line);

    HINSTANCE m_instance;
    std::wstring m_logFile;
    std::wstring m_subkey;       // the registry entry's name
    std::wstring m_name;         // its "Name"
    bool m_registered = false;   // the machine's plug-in list holds the library
    bool m_doNotLoad = false;    // ... with the "DoNotLoadMe" flag set
    std::wstring m_privateKey;   // below HKEY_CURRENT_USER
    zerova::UniqueRegKey m_privateRoot;
    bool m_overridden = false;
    HWND m_window = nullptr;
    struct HostObjects;
    HostObjects* m_host = nullptr;
};
