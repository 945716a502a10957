#include "Supervisor.h"

#include "HostOutput.h"
#include "VarnelHost.h"

#include "Handles.h"

#include <algorithm>
#include <cwchar>

namespace {
const DWORD kLookEveryMs = 1000;
const DWORD kAnswerTimeoutMs = 1000;
// Codes the tray host ends with on its own: it will not run, and starting it again changes nothing.
const DWORD kHighestOwnCode = 7;

std::wstring CodeText(DWORD code)
{
    wchar_t text[32];
    std::swprintf(text, 32, code > 0xFFFF ? L"0x%08lX" : L"%lu", static_cast<unsigned long>(code));
    return text;
}

std::wstring SecondsText(DWORD milliseconds)
{
    wchar_t text[32];
    std::swprintf(text, 32, L"%lu.%lu s", static_cast<unsigned long>(milliseconds / 1000),
                  static_cast<unsigned long>(milliseconds % 1000 / 100));
    return text;
}

struct FoundWindow {
    DWORD processId;
    HWND window;
};

BOOL CALLBACK FindNotifyWindow(HWND window, LPARAM parameter)
{
    auto* found = reinterpret_cast<FoundWindow*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = L"";
    ::GetClassNameW(window, className, 64);
    if (owner != found->processId || std::wcscmp(className, CVarnelHost::NotifyWindowClass) != 0) return TRUE;
    found->window = window;
    return FALSE;
}
}  // namespace

CSupervisor::CSupervisor(Settings settings) : m_settings(std::move(settings)) {}

int CSupervisor::Run()
{
    for (;;) {
        PROCESS_INFORMATION started{};
        if (!StartTray(started)) return CouldNotStart;
        const zerova::UniqueKernelHandle process(started.hProcess), thread(started.hThread);
        const Outcome outcome = WatchTray(process.Get(), started.dwProcessId);
        DWORD code = 0;
        ::GetExitCodeProcess(process.Get(), &code);
        if (outcome == Outcome::Ended && code == 0) {
            Say(L"the tray ended as asked; the supervision ends");
            return EndedAsAsked;
        }
        if (outcome == Outcome::Ended && code <= kHighestOwnCode) {
            Say(L"the tray would not run (its exit code " + CodeText(code) + L", which its last line explains); "
                L"starting it again would change nothing: the supervision ends");
            return static_cast<int>(code);
        }
        const std::wstring what = outcome == Outcome::Unanswered
                                      ? L"the tray did not answer for " + SecondsText(m_settings.unansweredMs) +
                                            L" and was ended"
                                      : L"the tray ended without being asked to (exit code " + CodeText(code) + L")";
        DWORD pauseMs = 0;
        if (!NextPause(pauseMs)) {
            Say(what + L"; it was started again " + std::to_wstring(m_settings.restartsAllowed) + L" times within " +
                std::to_wstring(m_settings.restartWindowMs / 60000) +
                L" minutes, so it is not started again: the supervision ends");
            return GaveUp;
        }
        Say(what + L"; restart " + std::to_wstring(m_restarts.size()) + L" in " + SecondsText(pauseMs));
        ::Sleep(pauseMs);
    }
}

bool CSupervisor::StartTray(PROCESS_INFORMATION& started)
{
    std::wstring commandLine = Quote(m_settings.program);
    if (!m_settings.trayArguments.empty()) commandLine += L" " + m_settings.trayArguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!::CreateProcessW(m_settings.program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &started)) {
        Say(L"the tray host \"" + m_settings.program + L"\" could not be started (Windows error " +
            std::to_wstring(::GetLastError()) + L")");
        return false;
    }
    Say(L"started the tray (process " + std::to_wstring(started.dwProcessId) + L")");
    return true;
}

// Waits for the tray to end, asking its notify-icon window every second whether it still answers.
// Silence counts from the start: a tray that hangs while it loads its plug-ins is as dead as one
// that hangs later.
CSupervisor::Outcome CSupervisor::WatchTray(HANDLE process, DWORD processId)
{
    ULONGLONG lastAnswer = ::GetTickCount64();
    while (::WaitForSingleObject(process, kLookEveryMs) == WAIT_TIMEOUT) {
        if (Answers(processId, kAnswerTimeoutMs)) {
            lastAnswer = ::GetTickCount64();
            continue;
        }
        if (::GetTickCount64() - lastAnswer >= m_settings.unansweredMs) {
            ::TerminateProcess(process, ERROR_TIMEOUT);
            ::WaitForSingleObject(process, INFINITE);
            return Outcome::Unanswered;
        }
    }
    return Outcome::Ended;
}

bool CSupervisor::Answers(DWORD processId, DWORD timeoutMs) const
{
    FoundWindow found{processId, nullptr};
    ::EnumWindows(&FindNotifyWindow, reinterpret_cast<LPARAM>(&found));
    if (found.window == nullptr) return false;
    DWORD_PTR answer = 0;
    return ::SendMessageTimeoutW(found.window, WM_NULL, 0, 0, SMTO_BLOCK, timeoutMs, &answer) != 0;
}

bool CSupervisor::NextPause(DWORD& pauseMs)
{
    const ULONGLONG now = ::GetTickCount64();
    while (!m_restarts.empty() && now - m_restarts.front() >= m_settings.restartWindowMs) m_restarts.pop_front();
    if (m_restarts.size() >= m_settings.restartsAllowed) return false;
    const size_t step = std::min(m_restarts.size(), m_settings.restartPausesMs.size() - 1);
    pauseMs = m_settings.restartPausesMs.empty() ? 0 : m_settings.restartPausesMs[step];
    m_restarts.push_back(now);
    return true;
}

void CSupervisor::Say(const std::wstring& line) const
{
    const std::wstring said = L"Varnel supervisor: " + line;
    hostoutput::WriteLine(hostoutput::Stream::Error, said.c_str());
    hostoutput::AppendToLog(m_settings.logFile, said.c_str());
}

bool CSupervisor::ParsePauses(const std::wstring& text, std::vector<DWORD>& pauses)
{
    std::vector<DWORD> parsed;
    const wchar_t* next = text.c_str();
    for (;;) {
        wchar_t* end = nullptr;
        const unsigned long value = std::wcstoul(next, &end, 10);
        if (end == next || value > 3600000) return false;
        parsed.push_back(static_cast<DWORD>(value));
        if (*end == L'\0') break;
        if (*end != L',') return false;
        next = end + 1;
    }
    pauses = parsed;
    return true;
}

// The rules of CommandLineToArgvW: backslashes are literal unless a quote follows them.
std::wstring CSupervisor::Quote(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}
