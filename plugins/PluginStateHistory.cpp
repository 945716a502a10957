// The plug-in state history file: one line per state change, appended under the history lock.
#include "PluginStateHistory.h"

#include "HistoryFile.h"
#include "TrayConstants.h"

#include "CriticalSectionEx.h"
#include "DateTime.h"
#include "FileIO.h"
#include "IniFile.h"
#include "MemoryManager.h"
#include "SafeString.h"

#include <shlobj.h>

#include <cwchar>
#include <deque>
#include <mutex>
#include <string>

namespace {
const int kLineCapacity = 1024;
const DWORD kMaxHistoryBytes = 0x200000;
const wchar_t kDelete = 0x7F;
const wchar_t kHistorySubfolder[] = L"Zerova\\Lunvale\\DB\\Varnel\\PluginHistory";
const wchar_t kHistoryFileName[] = L"VarnelPluginStateHistory.txt";
const int kLinesDroppedString = 443;


LONGLONG ToFileTimeValue(const SYSTEMTIME& time)
{
    FILETIME fileTime{};
    if (!::SystemTimeToFileTime(&time, &fileTime)) return 0;
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime);
}

SYSTEMTIME FromFileTimeValue(LONGLONG value)
{
    FILETIME fileTime{};
    fileTime.dwLowDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(value) & 0xFFFFFFFFu);
    fileTime.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(value) >> 32);
    SYSTEMTIME time{};
    ::FileTimeToSystemTime(&fileTime, &time);
    return time;
}

void Replace(wchar_t* text, wchar_t from, wchar_t to)
{
    for (; *text != L'\0'; ++text)
        if (*text == from) *text = to;
}
wint_t Folded(wchar_t c) { return c < 0x80 ? static_cast<wint_t>(c >= L'A' && c <= L'Z' ? c + 32 : c) : towlower(c); }

// A character of a name against one of a history line: as the name comparison compares them, and
// a space of the name also against a DEL of the line (the reader turns those into spaces).
bool SameNameCharacter(wchar_t fromName, wchar_t fromLine)
{
    if (fromName == L' ') return fromLine == L' ' || fromLine == kDelete;
    return Folded(fromName) == Folded(fromLine);
}

// False only when the line cannot hold an entry of name: the name field is a piece of the line,
// so the name must appear in it. Saves parsing the lines of every other plug-in.
bool MayHoldName(const wchar_t* line, const wchar_t* name)
{
    if (name[0] == L'\0' || wcschr(name, kDelete) != nullptr) return true;
    for (const wchar_t* at = line; *at != L'\0'; ++at) {
        size_t i = 0;
        while (name[i] != L'\0' && at[i] != L'\0' && SameNameCharacter(name[i], at[i])) ++i;
        if (name[i] == L'\0') return true;
    }
    return false;
}
}  // namespace

namespace plugins {

// Lines that could not be written yet (the file held open by another program, its folder not
// there), oldest first. They go out, in order and before any newer line, as soon as the file can
// be opened again: at the next line to write or the next read. Beyond the bound the oldest go,
// counted, and the loss is reported once, with its count, when the spell of failures ends.
class PendingHistoryLines {
public:
    static constexpr size_t kCapacity = 500;

    void Add(std::wstring line)
    {
        if (m_lines.size() == kCapacity) {
            m_lines.pop_front();
            ++m_dropped;
        }
        m_lines.push_back(std::move(line));
    }
    // Writes every waiting line; false (nothing lost) when the file cannot be opened.
    bool WriteTo(const wchar_t* file)
    {
        if (m_lines.empty()) return true;
        wchar_t folder[MAX_PATH] = L"";
        CFileIO::GetFolder(file, folder, MAX_PATH);
        if (!CFileIO::FileExists(file)) CFileIO::CreateFolder(folder);
        if (!CFileIO::FolderExists(folder)) return false;
        CFileIO::RotateFile(file, kMaxHistoryBytes, true);
        CFileIO history(file);
        if (!history.OpenAppend()) return false;
        std::wstring all;
        for (const std::wstring& line : m_lines) all += line;
        history.Append(all.c_str(), static_cast<DWORD>(all.size() * sizeof(wchar_t)));
        history.Close();
        m_lines.clear();
        return true;
    }
    // Once the lines go out again: how many were dropped during the spell of failures that ended,
    // to be reported once; 0 otherwise.
    size_t TakeDropsToReport()
    {
        if (!m_lines.empty()) return 0;
        const size_t dropped = m_dropped;
        m_dropped = 0;
        return dropped;
    }

private:
    std::deque<std::wstring> m_lines;
    size_t m_dropped = 0;
};

// ---------------------------------------------------------------- the file

HistoryFile::HistoryFile(const zerova::SupportServices& support)
    : m_support(support), m_folder(), m_path(), m_lock(), m_waiting(std::make_unique<PendingHistoryLines>())
{
    wchar_t appData[MAX_PATH] = L"";
    if (CFileIO::GetSpecialFolder(CSIDL_APPDATA | CSIDL_FLAG_CREATE, appData, MAX_PATH) == nullptr) return;
    if (CFileIO::CombinePath(appData, kHistorySubfolder, m_folder, MAX_PATH) == nullptr ||
        CFileIO::CombinePath(m_folder, kHistoryFileName, m_path, MAX_PATH) == nullptr) {
        m_folder[0] = L'\0';
        m_path[0] = L'\0';
        return;
    }
    CFileIO::CreateFolder(m_folder);
    CFileIO::RotateFile(m_path, kMaxHistoryBytes, true);
}

HistoryFile::~HistoryFile() = default;

void HistoryFile::Append(const wchar_t* line)
{
    size_t dropped = 0;
    {
        std::lock_guard<CCriticalSectionEx> guard(m_lock);
        m_waiting->Add(line);
        m_waiting->WriteTo(m_path);
        dropped = m_waiting->TakeDropsToReport();
    }
    ReportDroppedLines(dropped);
}

void HistoryFile::WriteWaitingLines()
{
    size_t dropped = 0;
    {
        std::lock_guard<CCriticalSectionEx> guard(m_lock);
        m_waiting->WriteTo(m_path);
        dropped = m_waiting->TakeDropsToReport();
    }
    ReportDroppedLines(dropped);
}

void HistoryFile::Delete()
{
    if (!CFileIO::FileExists(m_path)) return;
    std::lock_guard<CCriticalSectionEx> guard(m_lock);
    CFileIO::DeleteFileW(m_path);
}

void HistoryFile::ReportDroppedLines(size_t dropped)
{
    if (dropped == 0) return;
    wchar_t message[MAX_PATH], count[32];
    zerova::FormatString(count, 32, L"%u", static_cast<unsigned>(dropped));
    m_support.Format(kLinesDroppedString, message, MAX_PATH, count);
    m_support.errors->Error(kLinesDroppedString, message);
}

}  // namespace plugins

// ---------------------------------------------------------------- entries

CPluginStateHistory::CPluginStateHistory(plugins::HistoryFile& file, const wchar_t* name)
    : m_file(&file), m_state(VARNEL_PLUGIN_STATE_OK), m_text(), m_name(), m_time(), m_entries(),
      m_cursor(m_entries.begin())
{
    if (!zerova::IsEmpty(name)) zerova::CopyString(m_name, MAX_PATH, name);
}

CPluginStateHistory::~CPluginStateHistory() { ClearEntries(); }

void CPluginStateHistory::ClearEntries()
{
    m_entries.clear();
    m_cursor = m_entries.begin();
}

void CPluginStateHistory::SetState(VARNEL_PLUGIN_STATE state, const wchar_t* text, const SYSTEMTIME* time, bool write)
{
    if (time != nullptr) m_time = *time;
    else ::GetLocalTime(&m_time);
    m_state = state;
    if (!zerova::IsEmpty(text)) zerova::CopyString(m_text, MAX_PATH, text);
    if (write) Write();
}

VARNEL_PLUGIN_STATE CPluginStateHistory::GetState(wchar_t* text, int length, SYSTEMTIME* time) const
{
    if (text != nullptr && length >= 1) zerova::CopyString(text, length, m_text);
    if (time != nullptr) *time = m_time;
    return m_state;
}

void CPluginStateHistory::Write()
{
    if (zerova::IsEmpty(m_name)) return;
    if (zerova::IsEmpty(m_text)) m_file->Support().Text(tray::kEverythingWorkingString, m_text, MAX_PATH);

    wchar_t when[MAX_PATH] = L"";
    CDateTime::FormatDateTime(m_time, when, MAX_PATH);
    wchar_t line[kLineCapacity];
    zerova::FormatString(line, kLineCapacity, L"%I64d|%d|%s|%s|%s|\r\n", ToFileTimeValue(m_time),
                         static_cast<int>(m_state), m_name, m_text, when);
    m_file->Append(line);
}

void CPluginStateHistory::Read()
{
    ClearEntries();
    m_file->WriteWaitingLines();  // what waited is read too
    const wchar_t* file = m_file->Path();
    if (zerova::IsEmpty(m_name) || !CFileIO::FileExists(file)) return;

    std::lock_guard<CCriticalSectionEx> lock(m_file->Lock());
    wchar_t* buffer = nullptr;
    int size = 0;
    {
        CFileIO history(file);
        if (!history.OpenRead() || !history.ReadEntireFile()) return;
        buffer = static_cast<wchar_t*>(history.GetBuffer(size, true));
        history.Close();
    }
    if (buffer == nullptr || size <= 0) {
        CMemoryManager::Free(buffer);
        return;
    }
    const int units = size / 2;
    for (int i = 0; i < units; ++i)
        if (buffer[i] == L'\0') buffer[i] = L' ';
    buffer[units] = L'\0';  // the reader's buffer always has room for a terminator

    wchar_t line[kLineCapacity];
    wchar_t* position = buffer;
    for (;;) {
        int count = 0;
        bool found = false;
        position = CIniFile::GetLine(position, line, kLineCapacity, count, found, true);
        if (!found || zerova::IsEmpty(line) || count <= 0) break;
        ParseLine(line);
    }
    m_cursor = m_entries.begin();
    CMemoryManager::Free(buffer);
}

void CPluginStateHistory::ParseLine(wchar_t* line)
{
    if (!MayHoldName(line, m_name)) return;
    Replace(line, L' ', kDelete);
    Replace(line, L'|', L' ');
    LONGLONG timeValue = 0;
    int state = 0;
    wchar_t name[MAX_PATH] = L"";
    wchar_t text[MAX_PATH] = L"";
    wchar_t when[MAX_PATH] = L"";
    // %ls: a wide string under both the Microsoft and the ISO reading of the format.
    const int fields = swscanf(line, L" %I64d %d %259ls %259ls %259ls", &timeValue, &state, name, text, when);
    if (fields < 3) return;
    Replace(name, kDelete, L' ');
    if (!zerova::EqualsNoCase(name, m_name)) return;
    Replace(text, kDelete, L' ');
    const SYSTEMTIME time = FromFileTimeValue(timeValue);
    auto entry = std::make_unique<CPluginStateHistory>(*m_file, name);
    entry->SetState(static_cast<VARNEL_PLUGIN_STATE>(state), text, &time, false);
    m_entries.push_back(std::move(entry));
}

int CPluginStateHistory::GetNumHistoricalStateEntries()
{
    m_cursor = m_entries.begin();
    return static_cast<int>(m_entries.size());
}

bool CPluginStateHistory::GetHistoricalState(VARNEL_PLUGIN_STATE* state, wchar_t* text, int length, SYSTEMTIME* time)
{
    if (state == nullptr || text == nullptr || length < 1 || time == nullptr || m_entries.empty()) return false;
    if (m_cursor == m_entries.end()) m_cursor = m_entries.begin();
    *state = (*m_cursor)->GetState(text, length, time);
    ++m_cursor;
    return true;
}

