#include "PluginHostTests.h"

#include "Localize.h"
#include "SafeString.h"

#include <sstream>

namespace hosttest {

void PluginHostTest::SetUp()
{
    // A program that points the application folder elsewhere and stops early must not move this one.
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"ApplicationFolder");
    m_pluginsKey = std::make_unique<testenv::RegistryKeyGuard>(HKEY_LOCAL_MACHINE, kPluginsKey);
    m_fixturesKey = std::make_unique<testenv::RegistryKeyGuard>(HKEY_LOCAL_MACHINE, kFixturesKey);
    m_temp = std::make_unique<testenv::TempFolder>(L"host");
    m_callLog = m_temp->File(L"calls.log");
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kPluginsKey, L"", L""));
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kFixturesKey, L"CallLog", m_callLog));
}

void PluginHostTest::TearDown()
{
    CPluginInterface::Instance()->UnloadPlugins(false);
    delete COXIL_DllMain::Instance();  // takes the registry and the other singletons with it
    m_temp.reset();
    m_fixturesKey.reset();
    m_pluginsKey.reset();
}

std::wstring PluginHostTest::Fixture(const std::wstring& target) const
{
    return testenv::Join(testenv::ProgramFolder(), target + L".dll");
}

std::wstring PluginHostTest::CopyFixture(const std::wstring& target, const std::wstring& fileName,
                                         const std::wstring& subfolder)
{
    std::wstring folder = m_temp->Path();
    if (!subfolder.empty()) {
        folder = testenv::Join(folder, subfolder);
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    const std::wstring copy = testenv::Join(folder, fileName);
    EXPECT_TRUE(CopyFileW(Fixture(target).c_str(), copy.c_str(), FALSE)) << testenv::Narrow(copy);
    return copy;
}

void PluginHostTest::Register(const std::wstring& subkey, const std::wstring& path, const std::wstring& name)
{
    const std::wstring key = std::wstring(kPluginsKey) + L"\\" + subkey;
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Path", path));
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Name", name.empty() ? subkey : name));
}

void PluginHostTest::Unregister(const std::wstring& subkey)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kPluginsKey) + L"\\" + subkey).c_str());
}

void PluginHostTest::Configure(const std::wstring& dllFileName, const std::wstring& value, DWORD data)
{
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, std::wstring(kFixturesKey) + L"\\" + dllFileName, value, data));
}

void PluginHostTest::Configure(const std::wstring& dllFileName, const std::wstring& value, const std::wstring& data)
{
    ASSERT_TRUE(
        testenv::SetRegString(HKEY_LOCAL_MACHINE, std::wstring(kFixturesKey) + L"\\" + dllFileName, value, data));
}

std::vector<Call> PluginHostTest::Calls() const
{
    std::vector<Call> calls;
    const std::vector<BYTE> bytes = testenv::ReadBytes(m_callLog);
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1)
            fields.push_back(line.substr(start, bar - start));
        fields.push_back(line.substr(start));
        Call call;
        call.file = fields[0];
        call.name = fields.size() > 1 ? fields[1] : "";
        call.args.assign(fields.begin() + (fields.size() > 2 ? 2 : fields.size()), fields.end());
        calls.push_back(call);
    }
    return calls;
}

std::vector<Call> PluginHostTest::CallsOf(const std::string& file) const
{
    std::vector<Call> mine;
    for (const Call& call : Calls())
        if (_stricmp(call.file.c_str(), file.c_str()) == 0) mine.push_back(call);
    return mine;
}

std::vector<std::string> PluginHostTest::CallNamesOf(const std::string& file) const
{
    std::vector<std::string> names;
    for (const Call& call : CallsOf(file)) names.push_back(call.name);
    return names;
}

std::string PluginHostTest::Hex(const void* pointer)
{
    std::ostringstream out;
    out << std::hex << reinterpret_cast<UINT_PTR>(pointer);
    return out.str();
}

std::wstring PluginHostTest::Message(UINT id, const wchar_t* a, const wchar_t* b, const wchar_t* c)
{
    wchar_t format[4096] = L"";
    CLocalize::Instance()->GetString(id, format, 4096);
    wchar_t message[4096];
    zerova::FormatString(message, 4096, format, a, b, c);
    return message;
}

std::wstring PluginHostTest::RecordErrorTrace(int code, const std::wstring& message)
{
    return L"CPlugin::RecordError:\r\n    code=" + std::to_wstring(code) + L"\r\n    msg=\"" + message + L"\"";
}

}  // namespace hosttest
