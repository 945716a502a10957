// The support library's core classes, through the real DLL, registry and file system under Wine.
#include "CriticalSectionEx.h"
#include "DateTime.h"
#include "DebugTrace.h"
#include "ErrorMsg.h"
#include "FileIO.h"
#include "FindWindow.h"
#include "GdiPlusSession.h"
#include "ImageWindow.h"
#include "IniFile.h"
#include "Localize.h"
#include "MemoryManager.h"
#include "OXSL_DllMain.h"
#include "RegistryEx.h"
#include "RegistryFlag.h"
#include "ShellExecuteEx.h"
#include "VersionInfo.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <thread>
#include <vector>

using testenv::RegistryKeyGuard;
using testenv::TempFolder;

namespace {
const wchar_t kTestKey[] = L"SOFTWARE\\Zerova\\VarnelTests\\Support";
const wchar_t kVarnelKey[] = L"SOFTWARE\\Zerova\\Varnel";
}  // namespace

// ---------------------------------------------------------------- registry

TEST(Registry, FlagTakesItsDefaultWhenTheValueIsAbsent)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, kTestKey);
    bool flag = false;
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Missing", flag, true));
    EXPECT_TRUE(flag);
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Missing", flag, false));
    EXPECT_FALSE(flag);
}

TEST(Registry, FlagReadsNumbersAndDecimalStringsAndRefusesOtherTypes)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, kTestKey);
    testenv::SetRegDword(HKEY_LOCAL_MACHINE, kTestKey, L"On", 1);
    testenv::SetRegDword(HKEY_LOCAL_MACHINE, kTestKey, L"Off", 0);
    testenv::SetRegString(HKEY_LOCAL_MACHINE, kTestKey, L"Text", L"1");
    testenv::SetRegString(HKEY_LOCAL_MACHINE, kTestKey, L"Word", L"yes");
    BYTE blob[] = {1, 0, 0, 0};
    testenv::SetRegBinary(HKEY_LOCAL_MACHINE, kTestKey, L"Blob", blob, sizeof(blob));

    bool flag = false;
    EXPECT_TRUE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"On", flag, false));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Off", flag, true));
    EXPECT_FALSE(flag);
    EXPECT_TRUE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Text", flag, false));
    EXPECT_TRUE(flag);
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Word", flag, false));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Blob", flag, false));
    EXPECT_FALSE(flag);
}

TEST(Registry, StringRoundTripsAndOtherTypesFail)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, kTestKey);
    ASSERT_TRUE(CRegistryEx::Set(HKEY_LOCAL_MACHINE, kTestKey, L"Name", L"Scanner plug-in"));
    ASSERT_TRUE(CRegistryEx::Set(HKEY_LOCAL_MACHINE, kTestKey, L"Number", 7u));
    wchar_t buffer[MAX_PATH] = L"stale";
    EXPECT_TRUE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Name", buffer, MAX_PATH));
    EXPECT_STREQ(L"Scanner plug-in", buffer);

    wcscpy(buffer, L"stale");
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Number", buffer, MAX_PATH));
    EXPECT_STREQ(L"", buffer);
    DWORD number = 0;
    EXPECT_TRUE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Number", number));
    EXPECT_EQ(7u, number);
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Name", number));
}

TEST(Registry, StringTooLongForTheBufferFailsWithoutOverflow)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, kTestKey);
    testenv::SetRegString(HKEY_LOCAL_MACHINE, kTestKey, L"Long", std::wstring(10, L'x'));
    wchar_t buffer[16];
    wmemset(buffer, L'#', 16);
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Long", buffer, 10));
    EXPECT_EQ(L'\0', buffer[0]);
    for (int i = 10; i < 16; ++i) EXPECT_EQ(L'#', buffer[i]) << "written past the buffer at " << i;

    EXPECT_TRUE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Long", buffer, 11));  // exactly fits
    EXPECT_EQ(std::wstring(10, L'x'), buffer);
}

TEST(Registry, StringWithoutTerminatorIsReadUpToItsLength)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, kTestKey);
    const wchar_t raw[] = {L'a', L'b', L'c'};
    testenv::SetRegBinary(HKEY_LOCAL_MACHINE, kTestKey, L"Raw", raw, sizeof(raw), REG_SZ);
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_TRUE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Raw", buffer, 8));
    EXPECT_STREQ(L"abc", buffer);
}

TEST(Registry, GetPathExpandsEnvironmentVariables)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, kTestKey);
    testenv::SetRegString(HKEY_LOCAL_MACHINE, kTestKey, L"Path", L"%SystemRoot%\\system32\\x.dll", REG_EXPAND_SZ);
    wchar_t expected[MAX_PATH];
    ExpandEnvironmentStringsW(L"%SystemRoot%\\system32\\x.dll", expected, MAX_PATH);
    ASSERT_EQ(nullptr, wcschr(expected, L'%'));
    wchar_t buffer[MAX_PATH];
    EXPECT_TRUE(CRegistryEx::GetPath(HKEY_LOCAL_MACHINE, kTestKey, L"Path", buffer, MAX_PATH));
    EXPECT_STREQ(expected, buffer);
}

TEST(Registry, MissingKeyOrNullBufferFails)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, kTestKey);
    wchar_t buffer[8] = L"x";
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Name", buffer, 8));
    EXPECT_STREQ(L"", buffer);
    EXPECT_FALSE(CRegistryEx::Get(HKEY_LOCAL_MACHINE, kTestKey, L"Name", nullptr, 8));
    EXPECT_FALSE(CRegistryEx::GetPath(HKEY_LOCAL_MACHINE, kTestKey, L"Name", buffer, 0));
}

TEST(RegistryFlag, EveryReadSeesTheValueAsItStandsAlsoAcrossDeletingTheKey)
{
    const wchar_t key[] = L"SOFTWARE\\Zerova\\VarnelTests\\HeldOpen";
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, key);
    CRegistryFlag flag(HKEY_LOCAL_MACHINE, key, L"Flag", true);
    EXPECT_TRUE(flag.Read()) << "no key: the default";
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, key, L"Flag", 0));
    EXPECT_FALSE(flag.Read());
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, key, L"Flag", 7));
    EXPECT_TRUE(flag.Read());
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Flag", L"0"));
    EXPECT_FALSE(flag.Read()) << "a decimal string";
    ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, key, L"Flag", L"no"));
    EXPECT_TRUE(flag.Read()) << "no flag: the default";
    const std::wstring big(300, L'1');
    ASSERT_TRUE(testenv::SetRegBinary(HKEY_LOCAL_MACHINE, key, L"Flag", big.c_str(),
                                      static_cast<DWORD>(big.size() * sizeof(wchar_t)), REG_SZ));
    EXPECT_TRUE(flag.Read()) << "a value larger than the first read's buffer, and no flag";
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, key, L"Flag", 0));
    EXPECT_FALSE(flag.Read());

    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, key));
    EXPECT_TRUE(flag.Read()) << "the held key was deleted";
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, key, L"Flag", 0));
    EXPECT_FALSE(flag.Read()) << "made again with another value";
}

// ---------------------------------------------------------------- INI files

TEST(IniFile, MissingFileAndMissingKeyGiveTheDefault)
{
    TempFolder folder(L"ini");
    std::wstring path = folder.File(L"settings.ini");
    wchar_t buffer[64];
    {
        CIniFile missing(path.c_str(), 128);
        EXPECT_FALSE(missing.GetString(L"General", L"subfolder", L"Zerova", buffer, 64));
        EXPECT_STREQ(L"Zerova", buffer);
    }
    ASSERT_TRUE(testenv::WriteAnsi(path, "[General]\r\nsubfolder=Blue\r\nempty=\r\ncount=42\r\n"));
    CIniFile ini(path.c_str(), 128);
    EXPECT_TRUE(ini.GetString(L"General", L"subfolder", L"Zerova", buffer, 64));
    EXPECT_STREQ(L"Blue", buffer);
    EXPECT_TRUE(ini.GetString(L"General", L"empty", L"Zerova", buffer, 64));
    EXPECT_STREQ(L"", buffer);
    EXPECT_FALSE(ini.GetString(L"General", L"title", L"fallback", buffer, 64));
    EXPECT_STREQ(L"fallback", buffer);
    EXPECT_FALSE(ini.GetString(L"Other", L"subfolder", L"", buffer, 64));
    EXPECT_STREQ(L"", buffer);
    EXPECT_EQ(42, ini.GetInt(L"General", L"count", 5));
    EXPECT_EQ(5, ini.GetInt(L"General", L"subfolder", 5));
}

TEST(IniFile, GetLineSplitsLinesOfEveryEndingAndCutsLongOnes)
{
    std::wstring text = L"first\r\nsecond\n\r\n\r\nthird\rlast";
    text += L"\r\n" + std::wstring(40, L'y');
    std::vector<wchar_t> buffer(text.begin(), text.end());
    buffer.push_back(L'\0');

    wchar_t line[16];
    int count = 0;
    bool found = false;
    std::vector<std::wstring> lines;
    std::vector<int> counts;
    wchar_t* position = buffer.data();
    for (;;) {
        position = CIniFile::GetLine(position, line, 16, count, found, true);
        if (!found) break;
        lines.push_back(line);
        counts.push_back(count);
    }
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(L"first", lines[0]);
    EXPECT_EQ(L"second", lines[1]);
    EXPECT_EQ(L"third", lines[2]);
    EXPECT_EQ(L"last", lines[3]);
    EXPECT_EQ(std::wstring(15, L'y'), lines[4]);
    EXPECT_EQ(40, counts[4]);

    position = buffer.data() + 14;  // at the empty line
    CIniFile::GetLine(position, line, 16, count, found, false);
    EXPECT_TRUE(found);
    EXPECT_EQ(0, count);
}

// ---------------------------------------------------------------- files and paths

TEST(FileIO, CombinePathPutsExactlyOneSeparatorBetweenTheParts)
{
    wchar_t out[MAX_PATH];
    EXPECT_STREQ(L"C:\\a\\Varnel", CFileIO::CombinePath(L"C:\\a", L"\\Varnel", out, MAX_PATH));
    EXPECT_STREQ(L"C:\\a\\Varnel", CFileIO::CombinePath(L"C:\\a\\", L"\\Varnel", out, MAX_PATH));
    EXPECT_STREQ(L"C:\\a\\Varnel", CFileIO::CombinePath(L"C:\\a\\", L"Varnel", out, MAX_PATH));
    EXPECT_STREQ(L"C:\\a\\b", CFileIO::CombinePath(L"C:\\a", L"b", out, MAX_PATH));
    EXPECT_STREQ(L"C:\\x", CFileIO::CombinePath(L"C:\\", L"x", out, MAX_PATH));
    EXPECT_STREQ(L"SOFTWARE\\Zerova\\Varnel\\Plugins\\Scan",
                 CFileIO::CombinePath(L"SOFTWARE\\Zerova\\Varnel\\Plugins", L"Scan", out, MAX_PATH));
    EXPECT_STREQ(L"b", CFileIO::CombinePath(L"", L"b", out, MAX_PATH));
    EXPECT_STREQ(L"C:\\a", CFileIO::CombinePath(L"C:\\a", L"", out, MAX_PATH));
}

TEST(FileIO, CombinePathThatDoesNotFitLeavesTheResultEmpty)
{
    wchar_t out[8];
    wmemset(out, L'#', 8);
    EXPECT_STREQ(L"", CFileIO::CombinePath(L"C:\\abc", L"def", out, 8));  // 10 characters
    EXPECT_STREQ(L"C:\\a\\bc", CFileIO::CombinePath(L"C:\\a", L"bc", out, 8));  // 7 characters fit
}

TEST(FileIO, FilenameAndFolderOfAPath)
{
    wchar_t out[MAX_PATH];
    EXPECT_STREQ(L"plugin.dll", CFileIO::GetFilename(L"C:\\x\\y\\plugin.dll"));
    EXPECT_STREQ(L"plugin.dll", CFileIO::GetFilename(L"plugin.dll"));
    EXPECT_STREQ(L"C:\\x\\y", CFileIO::GetFolder(L"C:\\x\\y\\plugin.dll", out, MAX_PATH));
    EXPECT_STREQ(L"C:\\", CFileIO::GetFolder(L"C:\\plugin.dll", out, MAX_PATH));
    EXPECT_STREQ(L"", CFileIO::GetFolder(L"plugin.dll", out, MAX_PATH));
}

TEST(FileIO, CreateFolderMakesEveryMissingLevel)
{
    TempFolder folder(L"mk");
    std::wstring deep = folder.File(L"a\\b\\c");
    EXPECT_FALSE(CFileIO::FolderExists(deep.c_str()));
    EXPECT_TRUE(CFileIO::CreateFolder(deep.c_str()));
    EXPECT_TRUE(CFileIO::FolderExists(deep.c_str()));
    EXPECT_FALSE(CFileIO::FileExists(deep.c_str()));
    EXPECT_TRUE(CFileIO::CreateFolder(deep.c_str()));  // already there
}

TEST(FileIO, AppendThenReadBackWholeWithATerminator)
{
    TempFolder folder(L"rw");
    std::wstring path = folder.File(L"log.txt");
    {
        CFileIO file(path.c_str());
        ASSERT_TRUE(file.OpenAppend());
        EXPECT_TRUE(file.Append(L"one|", 8));
        EXPECT_TRUE(file.Append(L"two|", 8));
        file.Close();
    }
    EXPECT_TRUE(CFileIO::FileExists(path.c_str()));
    EXPECT_EQ(16, CFileIO::GetFileSize(path.c_str()));

    CFileIO file(path.c_str());
    ASSERT_TRUE(file.OpenRead());
    ASSERT_TRUE(file.ReadEntireFile());
    int size = 0;
    void* buffer = file.GetBuffer(size, true);
    file.Close();
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(16, size);
    EXPECT_STREQ(L"one|two|", static_cast<wchar_t*>(buffer));
    CMemoryManager::Free(buffer);
    EXPECT_EQ(nullptr, file.GetBuffer(size, false));  // detached

    EXPECT_TRUE(CFileIO::DeleteFileW(path.c_str()));
    EXPECT_FALSE(CFileIO::FileExists(path.c_str()));
    CFileIO missing(path.c_str());
    EXPECT_FALSE(missing.OpenRead());
    EXPECT_FALSE(missing.ReadEntireFile());
}

TEST(FileIO, RotateFileMovesAFilePastItsBoundAsideAndLeavesASmallerOneAlone)
{
    TempFolder folder(L"rot");
    std::wstring path = folder.File(L"history.txt");
    std::wstring previous = path + L".old";
    std::string small(99, 's');
    testenv::WriteAnsi(path, small);
    EXPECT_TRUE(CFileIO::RotateFile(path.c_str(), 100, true));
    EXPECT_EQ(99, CFileIO::GetFileSize(path.c_str()));
    EXPECT_FALSE(CFileIO::FileExists(previous.c_str()));

    testenv::WriteAnsi(path, std::string(100, 'b'));
    EXPECT_TRUE(CFileIO::RotateFile(path.c_str(), 100, true));
    EXPECT_FALSE(CFileIO::FileExists(path.c_str()));
    EXPECT_EQ(100, CFileIO::GetFileSize(previous.c_str()));

    testenv::WriteAnsi(path, std::string(150, 'c'));  // the next generation replaces the kept one
    EXPECT_TRUE(CFileIO::RotateFile(path.c_str(), 100, true));
    EXPECT_EQ(150, CFileIO::GetFileSize(previous.c_str()));

    testenv::WriteAnsi(path, std::string(150, 'd'));
    EXPECT_TRUE(CFileIO::RotateFile(path.c_str(), 100, false));
    EXPECT_FALSE(CFileIO::FileExists(path.c_str()));
    EXPECT_EQ(150, CFileIO::GetFileSize(previous.c_str()));
    EXPECT_TRUE(CFileIO::RotateFile(path.c_str(), 100, true));  // no file: nothing to do
}

TEST(FileIO, SpecialFolderAndFileTime)
{
    wchar_t folder[MAX_PATH];
    CFileIO::GetSpecialFolder(CSIDL_APPDATA | CSIDL_FLAG_CREATE, folder, MAX_PATH);
    EXPECT_TRUE(CFileIO::FolderExists(folder)) << testenv::Narrow(folder);

    wchar_t when[128];
    std::wstring self = testenv::Join(testenv::ProgramFolder(), L"SupportTests.exe");
    EXPECT_STRNE(L"", CFileIO::GetFileDateTimeString(self.c_str(), when, 128));
    EXPECT_STREQ(L"", CFileIO::GetFileDateTimeString(L"C:\\no\\such.file", when, 128));
}

// ---------------------------------------------------------------- errors and strings

namespace {
struct LoggedError {
    std::wstring first;
    std::wstring second;
    int number;
};
std::vector<LoggedError> g_logged;

bool RecordingLogger(HWND, const wchar_t* first, const wchar_t* second, int number, void* user)
{
    g_logged.push_back({first ? first : L"", second ? second : L"", number});
    if (user != nullptr) CErrorMsg::Instance()->Error(999, L"reported from inside the logger");
    return true;
}

class ErrorMsgTest : public ::testing::Test {
protected:
    void SetUp() override { g_logged.clear(); }
    void TearDown() override { CErrorMsg::Instance()->SetErrorLoggingCallback(nullptr, nullptr); }
};
}  // namespace

TEST_F(ErrorMsgTest, ErrorReachesTheLoggerAndBecomesTheLastError)
{
    CErrorMsg::Instance()->SetErrorLoggingCallback(RecordingLogger, nullptr);
    EXPECT_EQ(425, CErrorMsg::Instance()->Error(425, L"version mismatch"));
    EXPECT_EQ(425, CErrorMsg::Instance()->GetLastError());
    ASSERT_EQ(1u, g_logged.size());
    EXPECT_EQ(L"version mismatch", g_logged[0].first);
    EXPECT_EQ(425, g_logged[0].number);
    EXPECT_FALSE(g_logged[0].second.empty());  // the time of the report
}

TEST_F(ErrorMsgTest, ErrorWithoutTextHandsTheLanguageStringToTheLogger)
{
    CErrorMsg::Instance()->SetErrorLoggingCallback(RecordingLogger, nullptr);
    CErrorMsg::Instance()->Error(530);
    ASSERT_EQ(1u, g_logged.size());
    wchar_t expected[260];
    CLocalize::Instance()->GetString(530, expected, 260);
    EXPECT_STRNE(L"", expected);
    EXPECT_EQ(std::wstring(expected), g_logged[0].first);
    EXPECT_EQ(530, CErrorMsg::Instance()->GetLastError());
}

TEST_F(ErrorMsgTest, AnErrorReportedByTheLoggerIsRecordedButNotLoggedAgain)
{
    int marker = 1;
    CErrorMsg::Instance()->SetErrorLoggingCallback(RecordingLogger, &marker);
    CErrorMsg::Instance()->Error(421);
    ASSERT_EQ(1u, g_logged.size());
    EXPECT_EQ(421, g_logged[0].number);
    EXPECT_EQ(999, CErrorMsg::Instance()->GetLastError());
}

TEST_F(ErrorMsgTest, LastErrorStringNamesTheCallAndTheSystemText)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    wchar_t text[260];
    CErrorMsg::Instance()->GetLastErrorString(L"CreateProcessAsUser", text, 260);
    std::wstring s(text);
    EXPECT_EQ(0u, s.find(L"CreateProcessAsUser"));
    EXPECT_NE(std::wstring::npos, s.find(L"2"));
    EXPECT_GT(s.size(), wcslen(L"CreateProcessAsUser failed with error 2: "));
}

TEST(Localize, StringsComeFromTheLanguageModule)
{
    ASSERT_NE(nullptr, CLocalize::Instance()->GethInstance());
    wchar_t text[260] = L"stale";
    EXPECT_STREQ(L"Varnel Security", CLocalize::Instance()->GetString(312, text, 260));
    EXPECT_STREQ(L"", CLocalize::Instance()->GetString(9999, text, 260));
    CLocalize::Instance()->GetString(422, text, 260);
    EXPECT_NE(nullptr, wcsstr(text, L"%s"));  // a format with one argument
    wchar_t small[6];
    EXPECT_STREQ(L"Varne", CLocalize::Instance()->GetString(312, small, 6));
}

// "Varnel Security" is 15 characters: 16 hold it whole, 15 and 1 cut it, a buffer of no room is
// left as it was.
TEST(Localize, AStringIsCutToItsBufferAndABufferOfNoRoomIsNotWritten)
{
    const auto fetch = [](int length) {
        wchar_t text[32];
        std::fill(std::begin(text), std::end(text), L'#');
        CLocalize::Instance()->GetString(312, text, length);
        return std::wstring(text, 32);
    };
    const auto written = [](const std::wstring& text, size_t filled) {
        return text + L'\0' + std::wstring(32 - filled - 1, L'#');
    };
    EXPECT_EQ(written(L"Varnel Security", 15), fetch(17));
    EXPECT_EQ(written(L"Varnel Security", 15), fetch(16));
    EXPECT_EQ(written(L"Varnel Securit", 14), fetch(15));
    EXPECT_EQ(written(L"V", 1), fetch(2));
    EXPECT_EQ(written(L"", 0), fetch(1));
    EXPECT_EQ(std::wstring(32, L'#'), fetch(0));
    EXPECT_EQ(std::wstring(32, L'#'), fetch(-1));
}

TEST(Localize, EveryNumberedStringHasAText)
{
    const UINT ids[] = {20,  21,  22,  23,  50,  52,  53,  57,  60,  61,  206, 207, 312, 324, 325,
                        326, 327, 328, 329, 330, 331, 332, 333, 421, 422, 423, 424, 425, 426, 427,
                        428, 429, 430, 431, 432, 433, 434, 435, 436, 437, 438, 528, 529, 530, 531,
                        536, 537, 538, 539, 540, 541, 546, 547, 548, 549, 558, 560, 561, 562, 563,
                        564, 565, 566, 567, 568, 651, 970, 978, 1002, 1500, 1505, 1510};
    for (UINT id : ids) {
        wchar_t text[260];
        EXPECT_STRNE(L"", CLocalize::Instance()->GetString(id, text, 260)) << "string " << id;
    }
}

TEST(Localize, TrayMenuTemplateHoldsTheCommandsAndThreeFlyouts)
{
    HMENU menu = LoadMenuW(CLocalize::Instance()->GethInstance(), MAKEINTRESOURCEW(100));
    ASSERT_NE(nullptr, menu);
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(nullptr, popup);
    int flyouts = 0;
    std::vector<UINT> placeholders;
    for (int i = 0; i < GetMenuItemCount(popup); ++i) {
        if (HMENU list = GetSubMenu(popup, i)) {
            ++flyouts;
            placeholders.push_back(GetMenuItemID(list, 0));
        }
    }
    EXPECT_EQ(3, flyouts);
    EXPECT_EQ((std::vector<UINT>{7001, 7006, 7011}), placeholders);
    for (UINT command : {4000u, 4002u, 4005u})
        EXPECT_NE(static_cast<DWORD>(-1), GetMenuState(popup, command, MF_BYCOMMAND)) << command;
    DestroyMenu(menu);
}

TEST(Localize, LanguageIdentifiersAreReported)
{
    WORD first = 0, second = 0;
    CLocalize::Instance()->GetLangIDs(first, second);
    EXPECT_NE(0, first);
    EXPECT_NE(0, second);
}

// ---------------------------------------------------------------- module object

TEST(SupportModule, ApplicationFolderIsTheProgramsUnlessTheRegistryNamesAnother)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerova\\Varnel");
    wchar_t folder[MAX_PATH];
    COXSL_DllMain::Instance()->GetApplicationFolder(folder, MAX_PATH);
    EXPECT_EQ(testenv::ProgramFolder(), folder);

    testenv::SetRegString(HKEY_LOCAL_MACHINE, kVarnelKey, L"ApplicationFolder", L"C:\\Program Files\\Varnel\\");
    COXSL_DllMain::Instance()->GetApplicationFolder(folder, MAX_PATH);
    EXPECT_STREQ(L"C:\\Program Files\\Varnel", folder);
}

class TrustTest : public ::testing::Test {
protected:
    TrustTest() : guard(HKEY_LOCAL_MACHINE, kVarnelKey), folder(L"trust") {}
    bool Trusted(const std::wstring& path)
    {
        return COXSL_DllMain::Instance()->IsTrustedDLL(path.c_str(), reasonA, reasonB);
    }
    std::wstring SupportDll() const
    {
        return testenv::Join(testenv::ProgramFolder(), L"ZerovaWin32GUISupportDLL.dll");
    }
    RegistryKeyGuard guard;
    TempFolder folder;
    bool reasonA = false;
    bool reasonB = false;
};

TEST_F(TrustTest, AnExistingLocalDllIsTrustedWhileSigningIsNotRequired)
{
    EXPECT_TRUE(Trusted(SupportDll()));
    EXPECT_FALSE(reasonA);
    EXPECT_FALSE(reasonB);
}

TEST_F(TrustTest, PathsThatAreNotLocalDllFilesAreRefusedWithReasonA)
{
    std::wstring directory = folder.File(L"folder.dll");
    CreateDirectoryW(directory.c_str(), nullptr);
    std::wstring text = folder.File(L"plugin.txt");
    testenv::WriteAnsi(text, "not a library");
    const std::wstring refused[] = {
        L"",
        L"ZerovaWin32GUISupportDLL.dll",             // relative
        folder.File(L"missing.dll"),                 // missing
        directory,                                   // a directory
        text,                                        // wrong extension
        L"\\\\server\\share\\plugin.dll",           // network path
        L"\\\\?\\" + SupportDll(),                   // device path
        SupportDll() + L":stream",                   // alternate data stream
        L"C:plugin.dll",                             // drive-relative
    };
    for (const std::wstring& path : refused) {
        EXPECT_FALSE(Trusted(path)) << testenv::Narrow(path);
        EXPECT_TRUE(reasonA) << testenv::Narrow(path);
        EXPECT_FALSE(reasonB) << testenv::Narrow(path);
    }
}

TEST_F(TrustTest, AnUnsignedDllIsRefusedWithReasonBWhenSigningIsRequired)
{
    testenv::SetRegDword(HKEY_LOCAL_MACHINE, kVarnelKey, L"RequireSignedPlugins", 1);
    EXPECT_FALSE(Trusted(SupportDll()));
    EXPECT_FALSE(reasonA);
    EXPECT_TRUE(reasonB);
    testenv::SetRegDword(HKEY_LOCAL_MACHINE, kVarnelKey, L"RequireSignedPlugins", 0);
    EXPECT_TRUE(Trusted(SupportDll()));
}

static INT_PTR CALLBACK EmptyDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST(SupportModule, ModelessDialogListPassesOnlyItsOwnMessages)
{
    // An empty dialog built from an in-memory template.
    alignas(DWORD) WORD templ[16] = {};
    auto* header = reinterpret_cast<DLGTEMPLATE*>(templ);
    header->style = WS_POPUP | DS_MODALFRAME;
    header->cx = 50;
    header->cy = 20;
    HWND window = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), header, nullptr,
                                             EmptyDialogProc, 0);
    ASSERT_NE(nullptr, window);
    MSG msg{};
    msg.hwnd = window;
    msg.message = WM_KEYDOWN;
    msg.wParam = VK_TAB;
    EXPECT_FALSE(COXSL_DllMain::Instance()->PreTranslateDialogMessage(&msg));
    COXSL_DllMain::Instance()->AddDlgToDlgList(window);
    EXPECT_TRUE(COXSL_DllMain::Instance()->PreTranslateDialogMessage(&msg));
    COXSL_DllMain::Instance()->RemoveFromDlgList(window);
    EXPECT_FALSE(COXSL_DllMain::Instance()->PreTranslateDialogMessage(&msg));
    DestroyWindow(window);
}

// ---------------------------------------------------------------- small helpers

TEST(MemoryManager, BlocksAreZeroFilled)
{
    auto* block = static_cast<unsigned char*>(CMemoryManager::Alloc(64));
    ASSERT_NE(nullptr, block);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(0, block[i]);
    CMemoryManager::Free(block);
    CMemoryManager::Free(nullptr);
}

TEST(CriticalSection, SerialisesThreads)
{
    CCriticalSectionEx lock;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                lock.Await();
                long seen = counter;
                counter = seen + 1;
                lock.Leave();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(80000, counter);
}

TEST(VersionInfo, ReadsStringValuesOfTheVersionResource)
{
    std::wstring dll = testenv::Join(testenv::ProgramFolder(), L"ZerovaWin32GUISupportDLL.dll");
    CVersionInfo info(dll.c_str());
    wchar_t value[260];
    EXPECT_TRUE(info.GetValue(L"FileVersion", value, 260));
    EXPECT_STREQ(L"1.0.0.0", value);
    EXPECT_TRUE(info.GetValue(L"FileDescription", value, 260));
    EXPECT_STRNE(L"", value);
    EXPECT_FALSE(info.GetValue(L"NoSuchValue", value, 260));
    EXPECT_STREQ(L"", value);

    CVersionInfo none(L"C:\\no\\such.dll");
    EXPECT_FALSE(none.GetValue(L"FileVersion", value, 260));
}

TEST(ShellExecute, StartsARealProgramAndFailsForAMissingOne)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring cmd = testenv::Join(system, L"cmd.exe");
    TempFolder folder(L"proc");
    std::wstring marker = folder.File(L"ran.txt");
    std::wstring args = L"/c echo ran> \"" + marker + L"\"";
    DWORD pid = 0;
    EXPECT_TRUE(CShellExecuteEx::CreateProcessW(nullptr, cmd.c_str(), args.c_str(), folder.Path().c_str(), false,
                                                true, &pid));
    EXPECT_NE(0u, pid);
    EXPECT_TRUE(CFileIO::FileExists(marker.c_str()));  // waited for the program to end

    pid = 123;
    EXPECT_FALSE(CShellExecuteEx::CreateProcessW(nullptr, L"C:\\no\\such.exe", L"", nullptr, false, false, &pid));
    EXPECT_EQ(0u, pid);
}

TEST(WindowFinder, FindsWindowsByClassAndMatchSetsBothFlags)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VarnelTest_FindClass";
    RegisterClassW(&wc);
    HWND first = CreateWindowExW(0, wc.lpszClassName, L"Alpha", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 wc.hInstance, nullptr);
    HWND second = CreateWindowExW(0, wc.lpszClassName, L"Beta", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);

    CFindWindow finder;
    HWND found = nullptr;
    EXPECT_EQ(2, finder.Find(wc.lpszClassName, nullptr, nullptr, found));
    EXPECT_TRUE(found == first || found == second);
    EXPECT_EQ(1, finder.Find(wc.lpszClassName, L"Beta", nullptr, found));
    EXPECT_EQ(second, found);
    found = first;
    EXPECT_EQ(0, finder.Find(L"VarnelTest_NoSuchClass", nullptr, nullptr, found));
    EXPECT_EQ(nullptr, found);

    bool title = false, cls = false;
    EXPECT_TRUE(finder.Match(first, L"Alpha", title, L"varneltest_findclass", cls));
    EXPECT_TRUE(title && cls);
    EXPECT_FALSE(finder.Match(first, L"Beta", title, wc.lpszClassName, cls));
    EXPECT_FALSE(title);
    EXPECT_TRUE(cls);
    title = cls = true;
    EXPECT_FALSE(finder.Match(first, nullptr, title, L"Other", cls));
    EXPECT_TRUE(title);
    EXPECT_FALSE(cls);

    DestroyWindow(first);
    DestroyWindow(second);
}

TEST(DateTime, FormatsADateForPeople)
{
    SYSTEMTIME time{};
    time.wYear = 2020;
    time.wMonth = 1;
    time.wDay = 2;
    time.wHour = 12;
    wchar_t text[64];
    CDateTime::FormatDateTime(time, text, 64);
    EXPECT_NE(nullptr, wcsstr(text, L"2020")) << testenv::Narrow(text);
    wchar_t tiny[4];
    CDateTime::FormatDateTime(time, tiny, 4);
    EXPECT_EQ(3u, wcslen(tiny));
}

// ---------------------------------------------------------------- trace

TEST(DebugTrace, TraceMacroNamesTheCallingFileAndLineAndFormatsOnlyWithArguments)
{
    testenv::TraceCapture capture;
    const int firstLine = __LINE__ + 1;
    ZEROVA_TRACE(4, L"100% as it stands %s");
    ZEROVA_TRACE(0, L"%s has %d plug-ins", L"tray", 3);
    const auto lines = capture.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"100% as it stands %s", lines[0].text) << "a text without arguments is not a format";
    EXPECT_EQ(L"SupportTests.cpp", lines[0].source);
    EXPECT_EQ(firstLine, lines[0].line);
    EXPECT_EQ(4, lines[0].level);
    EXPECT_EQ(L"tray has 3 plug-ins", lines[1].text);
    EXPECT_EQ(firstLine + 1, lines[1].line);
    EXPECT_EQ(0, lines[1].level);
}

TEST(DebugTrace, HookSeesEveryLineAndTheLogFileOnlyLinesWithinTheLevel)
{
    RegistryKeyGuard guard(HKEY_LOCAL_MACHINE, CDebugTrace::SettingsKey);
    TempFolder folder(L"trace");
    std::wstring log = folder.File(L"trace.log");
    testenv::SetRegDword(HKEY_LOCAL_MACHINE, CDebugTrace::SettingsKey, L"TraceLevel", 2);
    testenv::SetRegString(HKEY_LOCAL_MACHINE, CDebugTrace::SettingsKey, L"TraceLogFile", log);
    CDebugTrace::ReloadSettings();
    EXPECT_EQ(2, CDebugTrace::GetMaxLevel());
    {
        testenv::TraceCapture capture;
        CDebugTrace::OutputDebugStringW(0, L"module loaded", L"OXIL_dllmain.cpp", 10);
        CDebugTrace::OutputDebugStringW(4, L"verbose detail", L"Plugin.cpp", 20);
        auto lines = capture.Lines();
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(0, lines[0].level);
        EXPECT_EQ(L"module loaded", lines[0].text);
        EXPECT_EQ(L"OXIL_dllmain.cpp", lines[0].source);
        EXPECT_EQ(4, lines[1].level);
    }
    std::vector<BYTE> bytes = testenv::ReadBytes(log);
    std::string written(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos, written.find("module loaded"));
    EXPECT_EQ(std::string::npos, written.find("verbose detail"));

    RegDeleteTreeW(HKEY_LOCAL_MACHINE, CDebugTrace::SettingsKey);
    testenv::SetRegString(HKEY_LOCAL_MACHINE, CDebugTrace::SettingsKey, L"TraceLogFile", log);
    CDebugTrace::ReloadSettings();
    EXPECT_EQ(-1, CDebugTrace::GetMaxLevel()) << "no level: no line goes out";
    {
        testenv::TraceCapture capture;
        CDebugTrace::OutputDebugStringW(0, L"unlevelled line", L"OXIL_dllmain.cpp", 30);
        EXPECT_EQ(1u, capture.Lines().size()) << "the hook still sees it";
    }
    bytes = testenv::ReadBytes(log);
    EXPECT_EQ(std::string::npos, std::string(bytes.begin(), bytes.end()).find("unlevelled line"));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, CDebugTrace::SettingsKey);
    CDebugTrace::ReloadSettings();
}

// ---------------------------------------------------------------- images

namespace {
std::vector<DWORD> Pixels(HBITMAP bitmap)
{
    std::vector<DWORD> pixels(16 * 16);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = 16;
    info.bmiHeader.biHeight = -16;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, 16, pixels.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return pixels;
}
}  // namespace

TEST(Images, AFileDrawnAgainGivesTheSamePixelsAndAChangedFileItsNewOnes)
{
    const std::wstring images = testenv::Join(testenv::ProgramFolder(), L"Varnel\\Images\\Zerova");
    const std::wstring okay = testenv::Join(images, L"tray_menu_okay.png");
    const std::wstring issue = testenv::Join(images, L"tray_menu_issue.png");
    TempFolder folder(L"images");
    const std::wstring drawn = folder.File(L"drawn.png");
    ASSERT_TRUE(CopyFileW(okay.c_str(), drawn.c_str(), FALSE));

    auto pixelsOf = [](const std::wstring& path) {
        HBITMAP bitmap = zerova::LoadImageBitmap(path.c_str(), 16, 16);
        EXPECT_NE(nullptr, bitmap) << testenv::Narrow(path);
        std::vector<DWORD> pixels = bitmap != nullptr ? Pixels(bitmap) : std::vector<DWORD>();
        if (bitmap != nullptr) DeleteObject(bitmap);
        return pixels;
    };
    const std::vector<DWORD> first = pixelsOf(drawn);
    EXPECT_EQ(first, pixelsOf(drawn)) << "drawn again from what was kept";
    EXPECT_EQ(pixelsOf(okay), first);
    const std::vector<DWORD> other = pixelsOf(issue);
    ASSERT_NE(first, other);

    ASSERT_TRUE(CopyFileW(issue.c_str(), drawn.c_str(), FALSE));
    EXPECT_EQ(other, pixelsOf(drawn)) << "the changed file is drawn anew";
    ASSERT_TRUE(DeleteFileW(drawn.c_str()));
    EXPECT_EQ(nullptr, zerova::LoadImageBitmap(drawn.c_str(), 16, 16)) << "a file that is gone draws nothing";
}

TEST(Images, ATextTooLongForItsBlockIsDrawnSmallerInsideTheBlock)
{
    ASSERT_TRUE(zerova::EnsureGdiPlus());
    Gdiplus::Bitmap canvas(440, 200, PixelFormat32bppARGB);
    Gdiplus::Graphics graphics(&canvas);
    graphics.Clear(Gdiplus::Color(255, 0, 0, 0));
    const RECT box{20, 70, 20 + 306, 70 + 52};
    CStringBlock block(L"Varnel Security - Everything is working as it should", box, 0xFFFFFFFF, L"Trebuchet MS", 20.0f,
                       0, 1, 1);
    block.Draw(&graphics);
    graphics.Flush(Gdiplus::FlushIntentionSync);

    int inside = 0, outside = 0;
    for (UINT y = 0; y < canvas.GetHeight(); ++y)
        for (UINT x = 0; x < canvas.GetWidth(); ++x) {
            Gdiplus::Color pixel;
            canvas.GetPixel(static_cast<INT>(x), static_cast<INT>(y), &pixel);
            if (pixel.GetR() < 128) continue;
            const bool within = static_cast<LONG>(x) >= box.left - 2 && static_cast<LONG>(x) < box.right + 2 &&
                                static_cast<LONG>(y) >= box.top - 2 && static_cast<LONG>(y) < box.bottom + 2;
            ++(within ? inside : outside);
        }
    EXPECT_GT(inside, 200) << "the text is drawn";
    EXPECT_EQ(0, outside) << "no line of it spills out of the block";
}

TEST(FileIO, CombinedPathOfExactlyTheBufferLengthHasNoRoomForItsEndAndIsRefused)
{
    wchar_t out[8];
    EXPECT_STREQ(L"C:\\a\\bc", CFileIO::CombinePath(L"C:\\a", L"bc", out, 8));  // 7 characters and the end
    EXPECT_STREQ(L"", CFileIO::CombinePath(L"C:\\a", L"bcd", out, 8));          // 8 characters
    EXPECT_STREQ(L"", CFileIO::CombinePath(L"C:\\a", L"bcde", out, 8));         // 9 characters
}

namespace {
// A file of the given size (its bytes zero), made by moving its end.
bool SizedFile(const std::wstring& path, LONGLONG size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at{};
    at.QuadPart = size;
    const bool sized = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return sized;
}
}  // namespace

TEST(FileIO, AFileOfExactlyTheReadBoundIsReadWholeAndOneByteMoreIsRefused)
{
    TempFolder folder(L"bound");
    const std::wstring path = folder.File(L"big.bin");
    const LONGLONG bound = CFileIO::MaxReadBytes + 0;
    ASSERT_TRUE(SizedFile(path, bound));
    {
        CFileIO atBound(path.c_str());
        ASSERT_TRUE(atBound.OpenRead());
        ASSERT_TRUE(atBound.ReadEntireFile());
        int size = 0;
        EXPECT_NE(nullptr, atBound.GetBuffer(size, false));
        EXPECT_EQ(bound, size);
    }
    ASSERT_TRUE(SizedFile(path, bound + 1));
    CFileIO above(path.c_str());
    ASSERT_TRUE(above.OpenRead());
    EXPECT_FALSE(above.ReadEntireFile());
}
