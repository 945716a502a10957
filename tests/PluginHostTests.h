// Shared set-up of the plug-in host tests: a clean plug-in list in the registry, fixture plug-in
// DLLs, their configuration and the log of the calls they received.
#pragma once

#include "TestEnvironment.h"

#include "OXIL_dllmain.h"
#include "Plugin.h"
#include "PluginInterface.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace hosttest {

const wchar_t kPluginsKey[] = L"SOFTWARE\\Zerova\\Varnel\\Plugins";
const wchar_t kFixturesKey[] = L"SOFTWARE\\Zerova\\VarnelTests\\Fixtures";

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
