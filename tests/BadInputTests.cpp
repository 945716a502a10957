// Hostile registry input: the values the library reads, of every wrong type and of lengths around
// the 260-character limit and far beyond it. Nothing may overflow, and a bad entry never keeps the
// good ones from loading.
#include "PluginHostTests.h"

#include "ErrorMsg.h"
#include "OXIL_dllmain.h"

#include <functional>

using hosttest::PluginHostTest;
using testenv::TraceCapture;

namespace {
// The agent's and the computer's values live in the shared framework key.
const wchar_t kFrameworkKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";
const wchar_t* const kAgentKey = kFrameworkKey;

// One way of spoiling a registry value.
struct BadValue {
    std::string label;
    DWORD type;
    std::vector<BYTE> data;
};

std::vector<BYTE> Bytes(const std::wstring& text, bool terminated = true)
{
    const size_t units = text.size() + (terminated ? 1 : 0);
    std::vector<BYTE> data(units * sizeof(wchar_t), 0);
    if (!text.empty()) memcpy(data.data(), text.c_str(), text.size() * sizeof(wchar_t));
    return data;
}

// Every type a string value should not have.
std::vector<BadValue> WrongTypes()
{
    const DWORD number = 1;
    const ULONGLONG wide = 1;
    std::vector<BadValue> values;
    values.push_back({"REG_DWORD", REG_DWORD, std::vector<BYTE>(reinterpret_cast<const BYTE*>(&number),
                                                                 reinterpret_cast<const BYTE*>(&number) + 4)});
    values.push_back({"REG_QWORD", REG_QWORD, std::vector<BYTE>(reinterpret_cast<const BYTE*>(&wide),
                                                                 reinterpret_cast<const BYTE*>(&wide) + 8)});
    values.push_back({"REG_BINARY", REG_BINARY, Bytes(L"C:\\x.dll")});
    values.push_back({"REG_MULTI_SZ", REG_MULTI_SZ, Bytes(std::wstring(L"C:\\x.dll") + L'\0')});
    values.push_back({"REG_NONE", REG_NONE, {}});
    values.push_back({"REG_DWORD of 3 bytes", REG_DWORD, {1, 0, 0}});
    return values;
}

bool Write(const std::wstring& key, const std::wstring& value, const BadValue& bad)
{
    return testenv::SetRegBinary(HKEY_LOCAL_MACHINE, key, value, bad.data.empty() ? nullptr : bad.data.data(),
                                 static_cast<DWORD>(bad.data.size()), bad.type);
}

// Removes one registry value now and again when it goes.
class ValueGuard {
public:
    ValueGuard(const wchar_t* key, const wchar_t* value) : m_key(key), m_value(value) { Remove(); }
    ~ValueGuard() { Remove(); }
    ValueGuard(const ValueGuard&) = delete;
    ValueGuard& operator=(const ValueGuard&) = delete;

private:
    void Remove() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, m_key, m_value); }
    const wchar_t* m_key;
    const wchar_t* m_value;
};

// A string of exactly length characters: digits for flags, a path-like text otherwise.
std::wstring OfLength(size_t length, wchar_t fill)
{
    return std::wstring(length, fill);
}

// Every value a 260-character text cannot take: the wrong types, an empty string, and strings of
// 260, 261 and 100000 characters with and without a terminator.
std::vector<BadValue> NoneThatFits(wchar_t fill)
{
    std::vector<BadValue> values = WrongTypes();
    values.push_back({"empty", REG_SZ, Bytes(L"")});
    for (size_t length : {260u, 261u, 100000u}) {
        values.push_back({std::to_string(length) + " characters", REG_SZ, Bytes(OfLength(length, fill))});
        values.push_back({std::to_string(length) + " characters, no terminator", REG_SZ,
                          Bytes(OfLength(length, fill), false)});
    }
    return values;
}
}  // namespace

class BadInput : public PluginHostTest {
protected:
    // Registers "A_bad" with one spoiled value beside "Z_good", loads everything, and hands the
    // outcome to check; everything is unloaded again afterwards.
    void LoadWithBadEntry(const std::wstring& value, const BadValue& bad,
                          const std::function<void(const TraceCapture&)>& check)
    {
        SCOPED_TRACE(testenv::Narrow(value) + " as " + bad.label);
        const std::wstring badKey = std::wstring(hosttest::kPluginsKey) + L"\\A_bad";
        Register(L"A_bad", m_badCopy, L"Bad entry");
        Register(L"Z_good", Fixture(L"FixtureBasic"), L"Good entry");
        ASSERT_TRUE(Write(badKey, value, bad));
        TraceCapture traces;
        Registry()->LoadPlugins();
        EXPECT_NE(nullptr, Registry()->FindPluginFilenameOnly(L"FixtureBasic.dll")) << "the good entry loads";
        check(traces);
        Registry()->UnloadPlugins(false);
        Unregister(L"A_bad");
        Unregister(L"Z_good");
    }

    bool BadOneLoaded()
    {
        CPluginInterface::PLUGIN_DATA* record = Registry()->FindPluginFilenameOnly(L"BadEntry.dll");
        return record != nullptr && Registry()->ValidatePlugin(record);
    }

    void SetUp() override
    {
        PluginHostTest::SetUp();
        m_badCopy = CopyFixture(L"FixtureBasic", L"BadEntry.dll");
    }

    std::wstring m_badCopy;
};

TEST_F(BadInput, PathOfAWrongTypeOrLengthIsRefusedWith1505Or1510)
{
    const std::wstring badKey = std::wstring(hosttest::kPluginsKey) + L"\\A_bad";
    for (const BadValue& bad : WrongTypes())
        LoadWithBadEntry(L"Path", bad, [&](const TraceCapture& traces) {
            EXPECT_FALSE(BadOneLoaded());
            EXPECT_TRUE(traces.Contains(Message(1505, badKey.c_str())));
        });
    // Empty: read, but names no file.
    LoadWithBadEntry(L"Path", {"empty", REG_SZ, Bytes(L"")}, [&](const TraceCapture&) { EXPECT_FALSE(BadOneLoaded()); });
    // 259 characters fit the path buffer: the file is looked for and is missing.
    const std::wstring fits = L"C:\\" + OfLength(252, L'p') + L".dll";
    ASSERT_EQ(259u, fits.size());
    LoadWithBadEntry(L"Path", {"259 characters", REG_SZ, Bytes(fits)}, [&](const TraceCapture& traces) {
        EXPECT_FALSE(BadOneLoaded());
        EXPECT_TRUE(traces.Contains(Message(1510, fits.c_str())));
    });
    for (size_t length : {260u, 261u, 100000u}) {
        const std::wstring tooLong = L"C:\\" + OfLength(length - 7, L'p') + L".dll";
        for (bool terminated : {true, false})
            LoadWithBadEntry(L"Path",
                             {std::to_string(length) + (terminated ? " characters" : " characters, no terminator"),
                              REG_SZ, Bytes(tooLong, terminated)},
                             [&](const TraceCapture& traces) {
                                 EXPECT_FALSE(BadOneLoaded());
                                 EXPECT_TRUE(traces.Contains(Message(1505, badKey.c_str())));
                             });
    }
}

TEST_F(BadInput, PathOf259CharactersToARealLibraryLoads)
{
    // Folders deep enough that the library's full path is exactly 259 characters long.
    std::wstring folder = m_temp->Path();
    const std::wstring fileName = L"Deep.dll";
    while (folder.size() + 1 + fileName.size() < 259) {
        const size_t room = 259 - (folder.size() + 1 + fileName.size());
        // Each folder level takes its name and one separator; leave at least one character per level.
        const size_t name = std::min<size_t>(200, room - 1);
        if (room < 2) break;
        folder += L"\\" + OfLength(name, L'd');
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << testenv::Narrow(folder);
    }
    const std::wstring path = folder + L"\\" + fileName;
    ASSERT_EQ(259u, path.size());
    ASSERT_TRUE(CopyFileW(Fixture(L"FixtureBasic").c_str(), path.c_str(), FALSE));
    Register(L"Deep", path, L"Deep entry");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Deep", &handle));
    wchar_t stored[MAX_PATH] = L"";
    EXPECT_EQ(path, PluginOf(handle)->GetPath(stored, MAX_PATH));
}

TEST_F(BadInput, NameOfAWrongTypeOrTooLongIsRefusedWith438AndOf259CharactersIsKept)
{
    const std::wstring badKey = std::wstring(hosttest::kPluginsKey) + L"\\A_bad";
    const std::vector<BadValue> values = NoneThatFits(L'n');
    for (const BadValue& bad : values)
        LoadWithBadEntry(L"Name", bad, [&](const TraceCapture& traces) {
            EXPECT_FALSE(BadOneLoaded());
            EXPECT_TRUE(traces.Contains(RecordErrorTrace(438, Message(438, badKey.c_str()))));
        });

    const std::wstring longest = OfLength(259, L'n');
    LoadWithBadEntry(L"Name", {"259 characters", REG_SZ, Bytes(longest)}, [&](const TraceCapture&) {
        ASSERT_TRUE(BadOneLoaded());
        wchar_t name[MAX_PATH] = L"";
        CPlugin* plugin = PluginOf(Registry()->FindPluginFilenameOnly(L"BadEntry.dll"));
        EXPECT_EQ(longest, plugin->GetName(name, MAX_PATH));
        wchar_t cut[10];
        EXPECT_EQ(longest.substr(0, 9), plugin->GetName(cut, 10)) << "a short buffer gets a cut, terminated name";
    });
}

TEST_F(BadInput, DoNotLoadMeThatIsNoNumberIsTakenAsAbsent)
{
    std::vector<BadValue> values = WrongTypes();
    values.erase(values.begin(), values.begin() + 2);  // a DWORD or QWORD of 1 is a real "do not load"
    values.push_back({"empty", REG_SZ, Bytes(L"")});
    values.push_back({"text", REG_SZ, Bytes(L"yes")});
    for (size_t length : {259u, 260u, 261u, 100000u}) {
        values.push_back({std::to_string(length) + " ones", REG_SZ, Bytes(OfLength(length, L'1'))});
        values.push_back({std::to_string(length) + " ones, no terminator", REG_SZ, Bytes(OfLength(length, L'1'), false)});
    }
    for (const BadValue& bad : values)
        LoadWithBadEntry(L"DoNotLoadMe", bad, [&](const TraceCapture&) { EXPECT_TRUE(BadOneLoaded()); });

    // The forms that do mean "do not load".
    const DWORD one = 1;
    const ULONGLONG wideOne = 1;
    const std::vector<BadValue> meant = {
        {"REG_DWORD 1", REG_DWORD, std::vector<BYTE>(reinterpret_cast<const BYTE*>(&one), reinterpret_cast<const BYTE*>(&one) + 4)},
        {"REG_QWORD 1", REG_QWORD, std::vector<BYTE>(reinterpret_cast<const BYTE*>(&wideOne), reinterpret_cast<const BYTE*>(&wideOne) + 8)},
        {"\"1\"", REG_SZ, Bytes(L"1")},
        {"\"1\" without terminator", REG_SZ, Bytes(L"1", false)}};
    for (const BadValue& bad : meant)
        LoadWithBadEntry(L"DoNotLoadMe", bad, [&](const TraceCapture&) { EXPECT_FALSE(BadOneLoaded()); });
}

TEST_F(BadInput, AgentModeIsOnOnlyForANumberThatFitsTheBuffer)
{
    ValueGuard agent(kAgentKey, L"AgentMode");
    auto modeWith = [&](const BadValue& bad) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kAgentKey, L"AgentMode");
        EXPECT_TRUE(Write(kAgentKey, L"AgentMode", bad)) << bad.label;
        return COXIL_DllMain::IsAgentMode();
    };
    for (const BadValue& bad : WrongTypes()) EXPECT_FALSE(modeWith(bad)) << bad.label;
    EXPECT_FALSE(modeWith({"empty", REG_SZ, Bytes(L"")}));
    EXPECT_TRUE(modeWith({"\"1\"", REG_SZ, Bytes(L"1")}));
    EXPECT_TRUE(modeWith({"\"1\" without terminator", REG_SZ, Bytes(L"1", false)}));
    const std::wstring fits = OfLength(258, L'0') + L"1";
    EXPECT_TRUE(modeWith({"259 characters", REG_SZ, Bytes(fits)}));
    for (size_t length : {260u, 261u, 100000u}) {
        const std::wstring tooLong = OfLength(length - 1, L'0') + L"1";
        EXPECT_FALSE(modeWith({std::to_string(length) + " characters", REG_SZ, Bytes(tooLong)})) << length;
        EXPECT_FALSE(modeWith({std::to_string(length) + " characters, no terminator", REG_SZ, Bytes(tooLong, false)}))
            << length;
    }
}

TEST_F(BadInput, ComputerNameThatDoesNotFitFallsBackToTheMachinesName)
{
    ValueGuard computer(kFrameworkKey, L"ComputerName");
    wchar_t machine[MAX_COMPUTERNAME_LENGTH + 1] = L"";
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(machine, &size));
    std::vector<wchar_t> text(65536);
    auto aboutWith = [&](const BadValue& bad) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFrameworkKey, L"ComputerName");
        EXPECT_TRUE(Write(kFrameworkKey, L"ComputerName", bad)) << bad.label;
        EXPECT_TRUE(Registry()->GetAboutBoxText(text.data(), static_cast<int>(text.size()))) << bad.label;
        return std::wstring(text.data());
    };
    const std::wstring machineLine = std::wstring(L":\t") + machine + L"\r\n";
    const std::vector<BadValue> values = NoneThatFits(L'c');
    for (const BadValue& bad : values) {
        const std::wstring about = aboutWith(bad);
        EXPECT_NE(std::wstring::npos, about.find(machineLine)) << bad.label;
        EXPECT_EQ(std::wstring::npos, about.find(L"ccc")) << bad.label;
    }
    const std::wstring longest = OfLength(259, L'c');
    EXPECT_NE(std::wstring::npos, aboutWith({"259 characters", REG_SZ, Bytes(longest)}).find(L":\t" + longest + L"\r\n"));
}
