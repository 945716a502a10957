// The about-box and system-health texts composed from the plug-ins, in the list markup.
#include "PluginHostTests.h"

#include "Localize.h"
#include "SafeString.h"

using hosttest::PluginHostTest;

namespace {
const wchar_t kFrameworkKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";

std::wstring String(UINT id)
{
    wchar_t text[1024] = L"";
    CLocalize::Instance()->GetString(id, text, 1024);
    return text;
}

std::wstring Context(void* plugin) { return L"|hContext=" + std::to_wstring(reinterpret_cast<INT_PTR>(plugin)) + L"|"; }
}  // namespace

class Texts : public PluginHostTest {
protected:
    void SetUp() override
    {
        PluginHostTest::SetUp();
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kFrameworkKey, L"ComputerName", L"TESTBOX"));
    }
    void TearDown() override
    {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFrameworkKey, L"ComputerName");
        PluginHostTest::TearDown();
    }
    void* Load(const std::wstring& target, const std::wstring& fileName)
    {
        const std::wstring subkey = fileName.substr(0, fileName.find(L'.'));
        Register(subkey, CopyFixture(target, fileName));
        void* handle = nullptr;
        EXPECT_TRUE(Registry()->LoadPlugin(subkey.c_str(), &handle));
        return handle;
    }
    void AboutEntry(const std::wstring& file, int index, const std::wstring& product, const std::wstring& version,
                    const std::wstring& further = L"", const std::wstring& pairs = L"", const std::wstring& extra = L"")
    {
        const std::wstring prefix = L"About" + std::to_wstring(index);
        Configure(file, prefix + L"Product", product);
        Configure(file, prefix + L"Version", version);
        if (!further.empty()) Configure(file, prefix + L"Further", further);
        if (!pairs.empty()) Configure(file, prefix + L"Pairs", pairs);
        if (!extra.empty()) Configure(file, prefix + L"Extra", extra);
    }
    void HealthEntry(const std::wstring& file, int index, DWORD state, const std::wstring& name, const std::wstring& text)
    {
        const std::wstring prefix = L"Health" + std::to_wstring(index);
        Configure(file, prefix + L"State", state);
        Configure(file, prefix + L"Name", name);
        Configure(file, prefix + L"Text", text);
    }
    std::wstring AboutText()
    {
        std::vector<wchar_t> buffer(32768);
        EXPECT_TRUE(Registry()->GetAboutBoxText(buffer.data(), 32768));
        return buffer.data();
    }
    std::wstring HealthText()
    {
        std::vector<wchar_t> buffer(16384, L'\0');
        EXPECT_TRUE(Registry()->GetSystemHealthText(buffer.data(), 16384));
        return buffer.data();
    }
    static std::wstring Section(const std::wstring& product, const std::wstring& version, const std::wstring& body,
                                const wchar_t* closing)
    {
        return L" \r\n|font=BOLD||BLUE|" + product + L"\r\n|font=NORMAL|" + String(52) + version + L"\r\n" + body +
               L"|font=NORMAL| \r\n" + closing;
    }
};

TEST_F(Texts, AboutTextIsTheGeneralBlockThenEachEntryShadedInTurn)
{
    Configure(L"AboutA.dll", L"AboutCount", 2);
    AboutEntry(L"AboutA.dll", 0, L"Engine", L"1.0", L"built today");
    AboutEntry(L"AboutA.dll", 1, L"Signatures", L"2.0");
    Configure(L"AboutB.dll", L"AboutCount", 2);
    AboutEntry(L"AboutB.dll", 0, L"Firewall", L"3.0");
    AboutEntry(L"AboutB.dll", 1, L"", L"4.0");  // no product name: left out
    Load(L"FixtureAbout", L"AboutA.dll");
    Load(L"FixtureAbout", L"AboutB.dll");
    Load(L"FixtureBasic", L"NoAbout.dll");

    const std::wstring expected =
        L"|light||font=BOLD||BLUE|" + String(978) + L"\r\n" + String(970) + L":\tTESTBOX\r\n" +
        Section(L"Engine", L"1.0", String(53) + L"built today\r\n", L"|dark|") +
        Section(L"Signatures", L"2.0", L"", L"|light|") + Section(L"Firewall", L"3.0", L"", L"|dark|") + String(61) +
        String(50);
    EXPECT_EQ(expected, AboutText());
}

TEST_F(Texts, PairsBecomeRowsTildesBecomeBarsAndAnUnfinishedPairIsDropped)
{
    Configure(L"Pairs.dll", L"AboutCount", 1);
    AboutEntry(L"Pairs.dll", 0, L"Engine", L"5", L"", L"Engine|5.1|Data|~font=BOLD~new|Empty||Tail",
               L"|dark|extra row\r\n");
    Load(L"FixtureAbout", L"Pairs.dll");
    const std::wstring text = AboutText();
    EXPECT_NE(std::wstring::npos,
              text.find(L"Engine:\t5.1\r\nData:\t|font=BOLD|new\r\nEmpty\r\n|dark|extra row\r\n|font=NORMAL| \r\n"))
        << testenv::Narrow(text);
    EXPECT_EQ(std::wstring::npos, text.find(L"Tail"));
}

TEST_F(Texts, HealthRowsAlternateShadingAndCarryTheirPlugin)
{
    Configure(L"Health.dll", L"HealthCount", 4);
    HealthEntry(L"Health.dll", 0, 0, L"Scanner", L"idle");
    HealthEntry(L"Health.dll", 1, 1, L"Updates", L"definitions are old");
    HealthEntry(L"Health.dll", 2, 2, L"Firewall", L"");
    HealthEntry(L"Health.dll", 3, 0, L"", L"");  // nothing to show
    void* handle = Load(L"FixtureHealth", L"Health.dll");
    void* plugin = PluginOf(handle);
    const std::wstring ok = String(57);
    const std::wstring expected =
        L"|dark|" + Context(plugin) + L"|OK||font=NORMAL|Scanner\t|OK||font=NORMAL|" + ok + L"\r\n" +
        L"|light|" + Context(plugin) + L"|OK||font=NORMAL|Updates\t|warning||font=BOLD|definitions are old\r\n" +
        L"|dark|" + Context(plugin) + L"|OK||font=NORMAL|Firewall\t|error||font=BOLD|" + ok + L"\r\n";
    EXPECT_EQ(expected, HealthText());
}

TEST(HealthLine, ContextIsTheWholeSignedAddressOnEveryBuild)
{
    // Above 2^31 on 32-bit builds (negative as a signed number) and above 2^32 on 64-bit ones.
    const UINT_PTR address = sizeof(void*) == 8 ? static_cast<UINT_PTR>(0x1234567890ull) : static_cast<UINT_PTR>(0x81234560u);
    wchar_t buffer[512] = L"";
    CPluginInterface::AppendHealthLine(buffer, 512, reinterpret_cast<void*>(address), L"N", VARNEL_PLUGIN_STATE_WARNING,
                                       L"T", 1);
    const std::wstring expected =
        L"|dark||hContext=" + std::to_wstring(static_cast<INT_PTR>(address)) + L"||OK||font=NORMAL|N\t|warning||font=BOLD|T\r\n";
    EXPECT_EQ(expected, std::wstring(buffer));
}

TEST_F(Texts, PluginWithoutHealthEntryShowsItsNameAndLoggersAreLeftOut)
{
    void* plain = Load(L"FixtureBasic", L"Plain.dll");
    Load(L"FixtureLogger", L"Logger.dll");
    const std::wstring text = HealthText();
    EXPECT_EQ(L"|dark|" + Context(PluginOf(plain)) + L"|OK||font=NORMAL|Plain\t|OK||font=NORMAL|" + String(57) +
                  L"\r\n",
              text);
    wchar_t stateText[MAX_PATH];
    EXPECT_EQ(String(57), PluginOf(plain)->GetStateText(stateText, MAX_PATH)) << "the text becomes its state text";

    // An unloaded plug-in shows only while it carries an error.
    ASSERT_TRUE(Registry()->UnloadPlugin(plain));
    EXPECT_EQ(L"", HealthText());
}

TEST_F(Texts, PluginsThatNeverStopAskingAreCalledABoundedNumberOfTimes)
{
    Configure(L"Endless.dll", L"AboutForever", 1);
    Configure(L"Endless.dll", L"AboutCount", 1);
    AboutEntry(L"Endless.dll", 0, L"Loop", L"1");
    Configure(L"EndlessHealth.dll", L"HealthForever", 1);
    Configure(L"EndlessHealth.dll", L"HealthCount", 1);
    HealthEntry(L"EndlessHealth.dll", 0, 1, L"Loop", L"again");
    Load(L"FixtureAbout", L"Endless.dll");
    Load(L"FixtureHealth", L"EndlessHealth.dll");
    AboutText();
    HealthText();
    const long bound = CPluginInterface::MaxEntriesPerPlugin;
    const auto about = CallNamesOf("Endless.dll");
    const auto health = CallNamesOf("EndlessHealth.dll");
    EXPECT_EQ(bound, std::count(about.begin(), about.end(), "GetAboutBoxText"));
    EXPECT_EQ(bound, std::count(health.begin(), health.end(), "GetPluginHealth"));
}

TEST_F(Texts, TextsFilledToTheirCapacityWithoutTerminatorsAreCutAtTheCapacity)
{
    Configure(L"Full.dll", L"Unterminated", 1);
    Configure(L"FullHealth.dll", L"Unterminated", 1);
    Load(L"FixtureAbout", L"Full.dll");
    Load(L"FixtureHealth", L"FullHealth.dll");

    const std::wstring about = AboutText();
    for (wchar_t letter : {L'P', L'V', L'F'}) {
        EXPECT_NE(std::wstring::npos, about.find(std::wstring(259, letter))) << static_cast<char>(letter);
        EXPECT_EQ(std::wstring::npos, about.find(std::wstring(260, letter))) << static_cast<char>(letter);
    }
    const std::wstring health = HealthText();
    const size_t name = health.find(L"NNN");
    ASSERT_NE(std::wstring::npos, name);
    const size_t nameLength = health.find_first_not_of(L'N', name) - name;
    const size_t text = health.find(L"TTT");
    ASSERT_NE(std::wstring::npos, text);
    const size_t textLength = health.find_first_not_of(L'T', text) - text;
    EXPECT_EQ(size_t(MAX_PATH - 1), nameLength) << "the name is cut at its capacity";
    EXPECT_EQ(size_t(MAX_PATH - 1), textLength) << "the text is cut at its capacity";
}

TEST_F(Texts, ImageNamesAndBadBuffers)
{
    wchar_t name[MAX_PATH];
    EXPECT_TRUE(CPluginInterface::GetHealthImageName(VARNEL_PLUGIN_STATE_WARNING, name, MAX_PATH));
    EXPECT_STREQ(L"system_status_warning_medium.png", name);
    EXPECT_TRUE(CPluginInterface::GetHealthImageName(VARNEL_PLUGIN_STATE_ERROR, name, MAX_PATH));
    EXPECT_STREQ(L"system_status_error_medium.png", name);
    EXPECT_TRUE(CPluginInterface::GetHealthImageName(static_cast<VARNEL_PLUGIN_STATE>(9), name, MAX_PATH));
    EXPECT_STREQ(L"system_status_ok_medium.png", name);
    EXPECT_FALSE(CPluginInterface::GetHealthImageName(VARNEL_PLUGIN_STATE_OK, nullptr, MAX_PATH));
    EXPECT_FALSE(Registry()->GetAboutBoxText(nullptr, 10));
    EXPECT_FALSE(Registry()->GetSystemHealthText(name, 0));

    wchar_t line[64] = L"";
    CPluginInterface::AppendHealthLine(line, 64, nullptr, L"x", VARNEL_PLUGIN_STATE_OK, L"y", 1);
    EXPECT_STREQ(L"", line) << "no context, no line";
    CPluginInterface::AppendHealthLine(line, 64, reinterpret_cast<void*>(1), L"name", VARNEL_PLUGIN_STATE_ERROR,
                                       std::wstring(200, L'z').c_str(), -3);
    EXPECT_EQ(63u, wcslen(line)) << "cut at the buffer's end";
    EXPECT_EQ(0u, std::wstring(line).find(L"|dark|"));
}

TEST_F(Texts, APairsNameOrValueKeepsAtMost259CharactersOfTheField)
{
    Configure(L"LongPairs.dll", L"AboutCount", 3);
    AboutEntry(L"LongPairs.dll", 0, L"One", L"1", L"", std::wstring(258, L'a') + L"|" + std::wstring(259, L'b') + L"|");
    AboutEntry(L"LongPairs.dll", 1, L"Two", L"2", L"", std::wstring(260, L'c') + L"|" + std::wstring(261, L'd') + L"|");
    AboutEntry(L"LongPairs.dll", 2, L"Three", L"3", L"", std::wstring(259, L'e') + L"|" + std::wstring(260, L'f') + L"|");
    Load(L"FixtureAbout", L"LongPairs.dll");
    const std::wstring about = AboutText();
    const auto run = [&about](wchar_t letter) {
        const size_t at = about.find(letter == L'a' ? std::wstring(3, letter) : std::wstring(100, letter));
        return at == std::wstring::npos ? size_t(0) : about.find_first_not_of(letter, at) - at;
    };
    EXPECT_EQ(258u, run(L'a'));
    EXPECT_EQ(259u, run(L'b'));
    EXPECT_EQ(259u, run(L'c'));
    EXPECT_EQ(259u, run(L'd'));
    EXPECT_EQ(259u, run(L'e'));
    EXPECT_EQ(259u, run(L'f'));
}
