#include "CrashDumps.h"

#include "CallRecord.h"

#include "Handles.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <vector>

namespace plugins {

namespace {
// Long enough for a busy machine (over 15 s were seen); the faulting thread's exception record
// lives on its stack, so the fault waits for its dump.
const DWORD kWriteTimeoutMs = 60000;
const wchar_t kWriterProgram[] = L"VarnelDumpWriter.exe";
const wchar_t kSwitchValue[] = L"WriteCrashDumps";

// The writer program beside this library.
std::wstring WriterPath()
{
    HMODULE self = nullptr;
    wchar_t path[MAX_PATH] = L"";
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&WriterPath), &self) ||
        ::GetModuleFileNameW(self, path, MAX_PATH) == 0)
        return L"";
    std::wstring folder = path;
    folder.resize(folder.find_last_of(L'\\') + 1);
    return folder + kWriterProgram;
}

// Letters, digits, '-' and '_' of the tag (of its last part after a backslash); the rest becomes '_'.
std::wstring FileSafe(const wchar_t* tag)
{
    std::wstring safe = tag != nullptr && tag[0] != L'\0' ? tag : L"process";
    safe = safe.substr(safe.find_last_of(L'\\') + 1);  // a registry key's last part
    for (wchar_t& c : safe)
        if (!iswalnum(c) && c != L'-' && c != L'_') c = L'_';
    return safe.substr(0, 64);
}

std::atomic<CrashDumps*> g_processDumps{nullptr};
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

LONG WINAPI FilterProcessFault(EXCEPTION_POINTERS* exception)
{
    if (CrashDumps* dumps = g_processDumps.load()) dumps->DumpProcessFault(exception);
    return g_previousFilter != nullptr ? g_previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

CrashDumps::CrashDumps(std::wstring folder, std::wstring settingsKey)
    : m_folder(std::move(folder)), m_settingsKey(std::move(settingsKey))
{
}

std::wstring CrashDumps::Write(EXCEPTION_POINTERS* exception, DWORD faultingThread, const wchar_t* tag) const
{
    DWORD wanted = 1;
    if (m_folder.empty() || (CRegistryEx::Get(HKEY_LOCAL_MACHINE, m_settingsKey.c_str(), kSwitchValue, wanted) && wanted == 0))
        return L"";
    static std::atomic<unsigned> s_number{0};
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t name[160];
    zerova::FormatString(name, 160, L"\\%s-%04u%02u%02u-%02u%02u%02u-%lu-%u.dmp", FileSafe(tag).c_str(), now.wYear,
                         now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, ::GetCurrentProcessId(),
                         ++s_number);
    const std::wstring path = m_folder + name;
    const std::wstring writer = WriterPath();
    wchar_t arguments[96];
    zerova::FormatString(arguments, 96, L" %lu %lu %llx ", ::GetCurrentProcessId(), faultingThread,
                         static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(exception)));
    std::wstring command = L"\"" + writer + L"\"" + arguments + L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (writer.empty() ||
        !::CreateProcessW(writer.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &started))
        return L"";
    zerova::UniqueKernelHandle process(started.hProcess);
    zerova::UniqueKernelHandle thread(started.hThread);
    DWORD code = 1;
    // A writer that takes longer is left to finish: it suspends this process's threads one by one
    // while it reads them, and ended in the middle it would leave one suspended for good.
    if (::WaitForSingleObject(process.Get(), kWriteTimeoutMs) != WAIT_OBJECT_0) return L"";
    if (!::GetExitCodeProcess(process.Get(), &code) || code != 0) {
        ::DeleteFileW(path.c_str());
        return L"";
    }
    Prune();
    return path;
}

// The newest kKept dumps within kCapBytes stay.
void CrashDumps::Prune() const
{
    struct Found {
        std::wstring path;
        ULONGLONG written;
        ULONGLONG bytes;
    };
    std::vector<Found> dumps;
    WIN32_FIND_DATAW found{};
    const zerova::UniqueFind search(::FindFirstFileW((m_folder + L"\\*.dmp").c_str(), &found));
    if (!search) return;
    do {
        dumps.push_back({m_folder + L"\\" + found.cFileName,
                         (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime,
                         (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
    } while (::FindNextFileW(search.Get(), &found));
    std::sort(dumps.begin(), dumps.end(), [](const Found& a, const Found& b) { return a.written > b.written; });
    ULONGLONG total = 0;
    for (size_t i = 0; i < dumps.size(); ++i) {
        total += dumps[i].bytes;
        if (i >= static_cast<size_t>(kKept) || (i > 0 && total > kCapBytes)) ::DeleteFileW(dumps[i].path.c_str());
    }
}

void CrashDumps::WatchProcessFaults(CallRecord* calls)
{
    m_calls = calls;
    m_faultHandedOver.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_faultDumped.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_stopWriting.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_faultHandedOver || !m_faultDumped || !m_stopWriting) return;
    CrashDumps* expected = nullptr;
    if (!g_processDumps.compare_exchange_strong(expected, this)) return;
    m_writer = std::thread([this] { WriteProcessDumps(); });
    g_previousFilter = ::SetUnhandledExceptionFilter(&FilterProcessFault);
}

void CrashDumps::WriteProcessDumps()
{
    m_writerThread = ::GetCurrentThreadId();
    const HANDLE waits[] = {m_stopWriting.Get(), m_faultHandedOver.Get()};
    while (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        // The call the process ends in is counted at the next start, not reported hung meanwhile.
        if (m_calls != nullptr) m_calls->ProcessEnding();
        const std::wstring path = Write(m_processFault, m_faultingThread, L"process");
        if (m_calls != nullptr && !path.empty()) m_calls->NoteProcessDump(path.c_str());
        ::SetEvent(m_faultDumped.Get());
    }
}

void CrashDumps::DumpProcessFault(EXCEPTION_POINTERS* exception)
{
    if (!m_writer.joinable() || ::GetCurrentThreadId() == m_writerThread.load()) return;
    // One fault at a time; a second faulting thread finds the event taken and passes on.
    static std::atomic<bool> s_taken{false};
    if (s_taken.exchange(true)) return;
    m_processFault = exception;
    m_faultingThread = ::GetCurrentThreadId();
    ::SetEvent(m_faultHandedOver.Get());
    ::WaitForSingleObject(m_faultDumped.Get(), kWriteTimeoutMs + 5000);
}

void EndProcessForFault(EXCEPTION_RECORD* record, CONTEXT* context)
{
    EXCEPTION_POINTERS pointers{record, context};
    ::UnhandledExceptionFilter(&pointers);
    ::TerminateProcess(::GetCurrentProcess(), record->ExceptionCode);
    for (;;) ::Sleep(INFINITE);
}

CrashDumps::~CrashDumps() { StopWatchingProcessFaults(); }

void CrashDumps::StopWatchingProcessFaults()
{
    CrashDumps* expected = this;
    if (!g_processDumps.compare_exchange_strong(expected, nullptr)) return;
    // A filter set by someone else since stays (it may call this one, which then only passes on).
    const LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(g_previousFilter);
    if (current != &FilterProcessFault) ::SetUnhandledExceptionFilter(current);
    if (m_writer.joinable()) {
        ::SetEvent(m_stopWriting.Get());
        m_writer.join();
    }
}

}  // namespace plugins
