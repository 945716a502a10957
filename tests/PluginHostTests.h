// Shared set-up of the plug-in host tests: a clean plug-in list in the registry, fixture plug-in
// DLLs, their configuration and the log of the calls they received.
#pragma once

#include "TestEnvironment.h"

#include "MenuXP.h"
#include "OXIL_dllmain.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "StationDesktopUtils.h"
#include "Tray.h"
#include "VarnelMenuUtils.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace hosttest {

// The library's settings (under HKEY_LOCAL_MACHINE) and its plug-in list.
const wchar_t kSettingsKey[] = L"SOFTWARE\\Zerova\\Varnel";
const wchar_t kPluginsKey[] = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
const wchar_t kFixturesKey[] = L"SOFTWARE\\Zerova\\VarnelTests\\Fixtures";

// A tray host's main window with its menu object and tray, handed to the menu model and named the
// main application window, as a host sets them up; all of it goes when the object goes.
struct TestTrayHost {
    TestTrayHost(const wchar_t* className, WNDPROC procedure)
    {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = className;
        RegisterClassExW(&windowClass);
        window = CreateWindowExW(0, className, L"host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        menu = std::make_unique<CMenuXP>();
        tray = std::make_unique<CTray>(window, 1, WM_APP, nullptr, L"title");
        CVarnelMenuUtils::Instance()->SetHandles(window, menu.get(), tray.get());
        CStationDesktopUtils::Instance()->SetMainAppHwnd(window, L"title");
    }
    ~TestTrayHost()
    {
        tray.reset();
        menu.reset();
        DestroyWindow(window);
    }
    TestTrayHost(const TestTrayHost&) = delete;
    TestTrayHost& operator=(const TestTrayHost&) = delete;

    HWND window = nullptr;
    std::unique_ptr<CMenuXP> menu;
    std::unique_ptr<CTray> tray;
};

struct Call {
    std::string file;
    std::string name;
    std::vector<std::string> args;
};

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    CPluginInterface* Registry() { return CPluginInterface::Instance(); }

    // The built fixture DLL, or a copy of it under another file name (in the test's temp folder).
    std::wstring Fixture(const std::wstring& target) const;
    std::wstring CopyFixture(const std::wstring& target, const std::wstring& fileName,
                             const std::wstring& subfolder = L"");

    // A plug-in list entry; the subkey name doubles as the registry "Name" unless one is given.
    void Register(const std::wstring& subkey, const std::wstring& path, const std::wstring& name = L"");
    void Unregister(const std::wstring& subkey);
    void Configure(const std::wstring& dllFileName, const std::wstring& value, DWORD data);
    void Configure(const std::wstring& dllFileName, const std::wstring& value, const std::wstring& data);

    std::vector<Call> Calls() const;
    std::vector<Call> CallsOf(const std::string& file) const;
    std::vector<std::string> CallNamesOf(const std::string& file) const;

    static CPlugin* PluginOf(void* handle) { return static_cast<CPlugin*>(static_cast<VARNEL_PLUGIN_DATA*>(handle)->plugin); }
    static std::string Hex(const void* pointer);
    // The language module's string with the arguments formatted in.
    static std::wstring Message(UINT id, const wchar_t* a = L"", const wchar_t* b = L"", const wchar_t* c = L"");
    static std::wstring RecordErrorTrace(int code, const std::wstring& message);

    std::unique_ptr<testenv::RegistryKeyGuard> m_pluginsKey;
    std::unique_ptr<testenv::RegistryKeyGuard> m_fixturesKey;
    std::unique_ptr<testenv::TempFolder> m_temp;
    std::wstring m_callLog;
};

}  // namespace hosttest
