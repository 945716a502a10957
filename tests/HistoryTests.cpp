// The plug-in state history file: the line format, reading back by name, the cursor, deleting,
// damaged files and appends from several threads.
#include "PluginHostTests.h"

#include "FileIO.h"
#include "PluginStateHistory.h"

#include <algorithm>
#include <random>
#include <thread>

using hosttest::PluginHostTest;

namespace {
SYSTEMTIME NewYear2020Noon()
{
    SYSTEMTIME time{};
    time.wYear = 2020;
    time.wMonth = 1;
    time.wDay = 1;
    time.wHour = 12;
    return time;
}

void Append(const wchar_t* name, VARNEL_PLUGIN_STATE state, const wchar_t* text, const SYSTEMTIME* time = nullptr)
{
    CPluginStateHistory entry(name);
    entry.SetState(state, text, time, true);
}

struct Entry {
    VARNEL_PLUGIN_STATE state;
    std::wstring text;
    SYSTEMTIME time;
};

std::vector<Entry> ReadBack(const wchar_t* name)
{
    CPluginStateHistory reader(name);
    reader.Read();
    std::vector<Entry> entries;
    const int count = reader.GetNumHistoricalStateEntries();
    for (int i = 0; i < count; ++i) {
        Entry entry{};
        wchar_t text[MAX_PATH];
        if (!reader.GetHistoricalState(&entry.state, text, MAX_PATH, &entry.time)) break;
        entry.text = text;
        entries.push_back(entry);
    }
    return entries;
}
}  // namespace

class History : public PluginHostTest {
protected:
    void SetUp() override
    {
        PluginHostTest::SetUp();
        CPluginStateHistory::DeleteHistoryFile();
        m_file = Registry()->GetHistoryFilePath();
    }
    void TearDown() override
    {
        CPluginStateHistory::DeleteHistoryFile();
        PluginHostTest::TearDown();
    }
    std::wstring m_file;
};

TEST_F(History, FileLivesInTheUsersApplicationData)
{
    EXPECT_NE(std::wstring::npos, m_file.find(L"\\Zerova\\Lunvale\\DB\\Varnel\\PluginHistory\\VarnelPluginStateHistory.txt"));
    EXPECT_TRUE(CFileIO::FolderExists(Registry()->GetHistoryFolder()));
}

// The suite runs a second time under another time zone (see tests/CMakeLists.txt); the FILETIME of a
// local time must not move with it.
TEST_F(History, LineFormatIsFiletimeStateNameTextAndTime)
{
    char expectedBias[16] = "";
    if (GetEnvironmentVariableA("VARNEL_EXPECT_TZ_BIAS", expectedBias, sizeof(expectedBias)) > 0) {
        TIME_ZONE_INFORMATION zone{};
        GetTimeZoneInformation(&zone);
        ASSERT_EQ(atol(expectedBias), zone.Bias) << "the test did not run in the time zone it was given";
    }
    const SYSTEMTIME noon = NewYear2020Noon();
    Append(L"Scanner", VARNEL_PLUGIN_STATE_WARNING, L"needs an update", &noon);
    const std::wstring content = testenv::ReadText(m_file);
    EXPECT_EQ(0u, content.find(L"132223536000000000|1|Scanner|needs an update|"));
    EXPECT_EQ(L"|\r\n", content.substr(content.size() - 3));
    const std::vector<BYTE> bytes = testenv::ReadBytes(m_file);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_FALSE(bytes[0] == 0xFF && bytes[1] == 0xFE);  // no byte-order mark
}

TEST_F(History, EmptyTextIsWrittenAsEverythingIsWorking)
{
    Append(L"Quiet", VARNEL_PLUGIN_STATE_OK, L"");
    const auto entries = ReadBack(L"Quiet");
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(Message(57), entries[0].text);
}

TEST_F(History, EachReaderGetsItsOwnEntriesInWriteOrder)
{
    const SYSTEMTIME noon = NewYear2020Noon();
    Append(L"Alpha", VARNEL_PLUGIN_STATE_OK, L"first of alpha", &noon);
    Append(L"Beta", VARNEL_PLUGIN_STATE_ERROR, L"beta broke");
    Append(L"Alpha", VARNEL_PLUGIN_STATE_WARNING, L"second of alpha");
    Append(L"Gamma Plugin", VARNEL_PLUGIN_STATE_OK, L"gamma fine");
    Append(L"Alpha", VARNEL_PLUGIN_STATE_ERROR, L"third of alpha");

    const auto alpha = ReadBack(L"ALPHA");
    ASSERT_EQ(3u, alpha.size());
    EXPECT_EQ(L"first of alpha", alpha[0].text);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, alpha[0].state);
    EXPECT_EQ(2020, alpha[0].time.wYear);
    EXPECT_EQ(12, alpha[0].time.wHour);
    EXPECT_EQ(L"second of alpha", alpha[1].text);
    EXPECT_EQ(VARNEL_PLUGIN_STATE_ERROR, alpha[2].state);
    const auto beta = ReadBack(L"beta");
    ASSERT_EQ(1u, beta.size());
    EXPECT_EQ(L"beta broke", beta[0].text);
    const auto gamma = ReadBack(L"gamma plugin");  // a name with a space is one key
    ASSERT_EQ(1u, gamma.size());
    EXPECT_EQ(L"gamma fine", gamma[0].text);
    EXPECT_TRUE(ReadBack(L"Delta").empty());
}

TEST_F(History, CursorWrapsAndEmptyReaderAnswersFalse)
{
    Append(L"Wrap", VARNEL_PLUGIN_STATE_OK, L"one");
    Append(L"Wrap", VARNEL_PLUGIN_STATE_WARNING, L"two");
    CPluginStateHistory reader(L"Wrap");
    reader.Read();
    ASSERT_EQ(2, reader.GetNumHistoricalStateEntries());
    VARNEL_PLUGIN_STATE state;
    wchar_t text[MAX_PATH];
    SYSTEMTIME time;
    ASSERT_TRUE(reader.GetHistoricalState(&state, text, MAX_PATH, &time));
    ASSERT_TRUE(reader.GetHistoricalState(&state, text, MAX_PATH, &time));
    EXPECT_STREQ(L"two", text);
    ASSERT_TRUE(reader.GetHistoricalState(&state, text, MAX_PATH, &time));
    EXPECT_STREQ(L"one", text);
    EXPECT_FALSE(reader.GetHistoricalState(nullptr, text, MAX_PATH, &time));
    EXPECT_FALSE(reader.GetHistoricalState(&state, text, 0, &time));

    CPluginStateHistory nobody(L"Nobody");
    nobody.Read();
    EXPECT_EQ(0, nobody.GetNumHistoricalStateEntries());
    wcscpy(text, L"untouched");
    EXPECT_FALSE(nobody.GetHistoricalState(&state, text, MAX_PATH, &time));
    EXPECT_STREQ(L"untouched", text);
}

TEST_F(History, NamelessEntryIsNotWrittenAndDeleteRemovesEverything)
{
    Append(L"", VARNEL_PLUGIN_STATE_ERROR, L"lost");
    Append(nullptr, VARNEL_PLUGIN_STATE_ERROR, L"lost");
    EXPECT_FALSE(CFileIO::FileExists(m_file.c_str()));
    Append(L"Kept", VARNEL_PLUGIN_STATE_OK, L"here");
    EXPECT_TRUE(CFileIO::FileExists(m_file.c_str()));
    CPluginStateHistory::DeleteHistoryFile();
    EXPECT_FALSE(CFileIO::FileExists(m_file.c_str()));
    EXPECT_TRUE(ReadBack(L"Kept").empty());
    CPluginStateHistory::DeleteHistoryFile();  // no file: nothing happens
}

TEST_F(History, EverySetStateOfALoadedPluginWritesOneLine)
{
    Register(L"Stateful", Fixture(L"FixtureBasic"), L"Stateful Plugin");
    void* handle = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Stateful", &handle));
    wchar_t text[] = L"disk\r\nfull";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_ERROR, text, nullptr);
    EXPECT_STREQ(L"disk  full", text);  // line breaks become spaces in the caller's buffer
    wchar_t same[] = L"disk  full";
    Registry()->SetState(handle, VARNEL_PLUGIN_STATE_ERROR, same, nullptr);
    const auto entries = ReadBack(L"Stateful Plugin");
    ASSERT_EQ(2u, entries.size());  // the load's state 0, then the error once
    EXPECT_EQ(VARNEL_PLUGIN_STATE_OK, entries[0].state);
    EXPECT_EQ(L"disk  full", entries[1].text);
}

TEST_F(History, DamagedFilesGiveBackWhatIsReadable)
{
    std::mt19937 random(7);
    std::vector<BYTE> noise(20001);  // odd byte count
    for (BYTE& b : noise) b = static_cast<BYTE>(random());
    ASSERT_TRUE(testenv::WriteBytes(m_file, noise.data(), noise.size()));
    EXPECT_TRUE(ReadBack(L"Anything").empty());

    std::wstring text = L"132223536000000000|1|Good|readable entry|when|\r\n";
    text += std::wstring(5000, L'x') + L"\r\n";                 // a very long line
    text += L"5|2|Good|\r\n";                                    // no text: an entry with an empty text
    text += L"5|2|\r\n";                                         // too few fields: skipped
    text += L"5|2|Go|od|split name|when|\r\n";                    // a "|" in the name shifts the fields
    text += L"132223536000000000|0|Good|no line end at all|when|";
    ASSERT_TRUE(testenv::WriteText(m_file, text));
    const auto entries = ReadBack(L"Good");
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ(L"readable entry", entries[0].text);
    EXPECT_EQ(L"", entries[1].text);
    EXPECT_EQ(L"no line end at all", entries[2].text);
    EXPECT_EQ(1u, ReadBack(L"Go").size());
}

TEST_F(History, RotationDropsEntriesOfTheFullFile)
{
    Append(L"Old", VARNEL_PLUGIN_STATE_OK, L"before rotation");
    // Grow the file to its bound; the next append rotates it away.
    std::vector<BYTE> padding(0x200000, ' ');
    HANDLE file = CreateFileW(m_file.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, padding.data(), static_cast<DWORD>(padding.size()), &written, nullptr);
    CloseHandle(file);
    Append(L"New", VARNEL_PLUGIN_STATE_OK, L"after rotation");
    EXPECT_TRUE(ReadBack(L"Old").empty());
    EXPECT_EQ(1u, ReadBack(L"New").size());
    EXPECT_LT(CFileIO::GetFileSize(m_file.c_str()), 0x1000);
    DeleteFileW((m_file + L".old").c_str());
}

TEST_F(History, ConcurrentAppendsLoseAndInterleaveNothing)
{
    const int kThreads = 4, kLines = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            const std::wstring name = L"Writer" + std::to_wstring(t);
            for (int i = 0; i < kLines; ++i)
                Append(name.c_str(), VARNEL_PLUGIN_STATE_WARNING, (L"line " + std::to_wstring(i)).c_str());
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        const auto entries = ReadBack((L"Writer" + std::to_wstring(t)).c_str());
        ASSERT_EQ(size_t(kLines), entries.size());
        for (int i = 0; i < kLines; ++i) EXPECT_EQ(L"line " + std::to_wstring(i), entries[size_t(i)].text);
    }
}

TEST_F(History, TenMegabyteFileIsReadWholeAndRotatedAwayOnTheNextWrite)
{
    // 10 MB of well-formed lines of two names, written past the library's own rotation bound.
    std::wstring lines;
    const std::wstring big = L"132223536000000000|1|Big|an entry of the big file|when|\r\n";
    const std::wstring other = L"132223536000000000|0|Other|" + std::wstring(400, L'o') + L"|when|\r\n";
    while (lines.size() * sizeof(wchar_t) < 10u * 1024 * 1024) lines += (lines.size() / big.size()) % 8 == 0 ? big : other;
    ASSERT_TRUE(testenv::WriteText(m_file, lines));
    size_t bigLines = 0;
    for (size_t at = 0; (at = lines.find(L"|Big|", at)) != std::wstring::npos; ++at) ++bigLines;

    const ULONGLONG started = GetTickCount64();
    const auto entries = ReadBack(L"Big");
    EXPECT_LT(GetTickCount64() - started, 20000u);
    EXPECT_EQ(bigLines, entries.size());
    EXPECT_EQ(L"an entry of the big file", entries.back().text);

    Append(L"Big", VARNEL_PLUGIN_STATE_ERROR, L"after the big file");
    const auto after = ReadBack(L"Big");
    ASSERT_EQ(1u, after.size()) << "the full file went aside before the new line was written";
    EXPECT_EQ(L"after the big file", after[0].text);
    EXPECT_GE(CFileIO::GetFileSize((m_file + L".old").c_str()), 10 * 1024 * 1024);
    DeleteFileW((m_file + L".old").c_str());
}

TEST_F(History, ANameIsMatchedOnlyAsTheNameFieldWhateverItsCaseSpacesOrDeleteCharacters)
{
    std::wstring text = L"132223536000000000|1|Other|mentions Alpha in its text|when|\r\n";
    text += L"132223536000000000|2|alpha|lower case|when|\r\n";
    text += L"132223536000000000|0|Gamma\x7fPlugin|a DEL where the space was|when|\r\n";
    text += L"132223536000000000|0|Gamma Plugin|a space|when|\r\n";
    text += L"132223536000000000|0|Alphabet|a longer name|when|\r\n";
    ASSERT_TRUE(testenv::WriteText(m_file, text));
    const auto alpha = ReadBack(L"ALPHA");
    ASSERT_EQ(1u, alpha.size());
    EXPECT_EQ(L"lower case", alpha[0].text);
    const auto gamma = ReadBack(L"gamma plugin");
    ASSERT_EQ(2u, gamma.size());
    EXPECT_EQ(L"a DEL where the space was", gamma[0].text);
    EXPECT_TRUE(ReadBack(L"mentions").empty());
}

TEST_F(History, LinesThatCannotBeWrittenWaitAndGoOutInOrderOnceTheFileOpensAgain)
{
    Append(L"Holder", VARNEL_PLUGIN_STATE_OK, L"before");
    // Another program holds the file without sharing it.
    HANDLE held = CreateFileW(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    for (int i = 0; i < 20; ++i) Append(L"Holder", VARNEL_PLUGIN_STATE_WARNING, (L"waiting " + std::to_wstring(i)).c_str());
    CloseHandle(held);
    const std::wstring content = testenv::ReadText(m_file);
    EXPECT_EQ(1, std::count(content.begin(), content.end(), L'\n')) << "nothing was written while the file was held";

    const auto entries = ReadBack(L"Holder");  // a read writes what waited first
    ASSERT_EQ(21u, entries.size());
    EXPECT_EQ(L"before", entries[0].text);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(L"waiting " + std::to_wstring(i), entries[i + 1].text);
    Append(L"Holder", VARNEL_PLUGIN_STATE_OK, L"after");
    EXPECT_EQ(L"after", ReadBack(L"Holder").back().text);
}

TEST_F(History, BeyondItsBoundTheOldestWaitingLinesAreDroppedAndTheLossIsReportedOnce)
{
    Register(L"Witness", CopyFixture(L"FixtureLogger", L"Witness.dll"));
    void* witness = nullptr;
    ASSERT_TRUE(Registry()->LoadPlugin(L"Witness", &witness));
    Append(L"Flood", VARNEL_PLUGIN_STATE_OK, L"before");
    HANDLE held = CreateFileW(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const int written = 510;
    for (int i = 0; i < written; ++i) Append(L"Flood", VARNEL_PLUGIN_STATE_WARNING, (L"line " + std::to_wstring(i)).c_str());
    CloseHandle(held);

    const auto entries = ReadBack(L"Flood");
    ASSERT_EQ(501u, entries.size()) << "the line before, and the 500 newest of those that waited";
    EXPECT_EQ(L"line 10", entries[1].text);
    EXPECT_EQ(L"line 509", entries.back().text);
    std::vector<std::string> reports;
    for (const auto& call : CallsOf("Witness.dll"))
        if (call.name == "LogError" && call.args[0] == "443") reports.push_back(call.args[1] + call.args[2]);
    ASSERT_EQ(1u, reports.size()) << "one report for the spell of failures";
    EXPECT_NE(std::string::npos, reports[0].find("10 lines")) << reports[0];
}

// The rotation bound itself: a file of exactly 0x200000 bytes goes aside at the next append, one
// byte less stays and grows.
namespace {
void PadHistoryFileTo(const std::wstring& path, LONGLONG size)
{
    const LONGLONG have = CFileIO::GetFileSize(path.c_str());
    ASSERT_GE(have, 0);
    ASSERT_LE(have, size);
    std::vector<BYTE> padding(static_cast<size_t>(size - have), ' ');
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, padding.data(), static_cast<DWORD>(padding.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(size, CFileIO::GetFileSize(path.c_str()));
}
}  // namespace

TEST_F(History, AFileOfExactlyTheRotationSizeGoesAsideAtTheNextAppend)
{
    Append(L"Edge", VARNEL_PLUGIN_STATE_OK, L"before rotation");
    PadHistoryFileTo(m_file, 0x200000);
    Append(L"Edge", VARNEL_PLUGIN_STATE_OK, L"after rotation");
    const auto entries = ReadBack(L"Edge");
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(L"after rotation", entries[0].text);
    EXPECT_EQ(0x200000, CFileIO::GetFileSize((m_file + L".old").c_str()));
    DeleteFileW((m_file + L".old").c_str());
}

TEST_F(History, AFileOneByteBelowTheRotationSizeIsAppendedTo)
{
    Append(L"Edge", VARNEL_PLUGIN_STATE_OK, L"before");
    PadHistoryFileTo(m_file, 0x200000 - 1);
    Append(L"Edge", VARNEL_PLUGIN_STATE_OK, L"after");
    EXPECT_EQ(-1, CFileIO::GetFileSize((m_file + L".old").c_str()));
    EXPECT_GT(CFileIO::GetFileSize(m_file.c_str()), 0x200000 - 1);
}

TEST_F(History, ALineOfOnlyATimeAndAStateHasNoNameAndIsNoEntryEvenForTheEmptyName)
{
    std::wstring text = L"132223536000000000|1|\r\n";                     // two fields
    text += L"132223536000000000|2||\r\n";                                 // two fields and an empty one
    text += L"132223536000000000|0|Named|three fields and more|when|\r\n";
    ASSERT_TRUE(testenv::WriteText(m_file, text));
    EXPECT_TRUE(ReadBack(L"").empty());
    EXPECT_EQ(1u, ReadBack(L"Named").size());
}
