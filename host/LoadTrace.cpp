#include "LoadTrace.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "DebugTrace.h"

#include <cwchar>

namespace {
// The loader's own words (plugins/Plugin.cpp).
const wchar_t kRecordError[] = L"CPlugin::RecordError:";
const wchar_t kCodeField[] = L"code=";
const wchar_t kMessageField[] = L"msg=\"";
const wchar_t kInitReturned[] = L"Plugin returned \"";
const wchar_t kLoadPrefix[] = L"CPlugin::Load - \"";
const wchar_t kNotALibrary[] = L"\" is not a library file";
const wchar_t kOtherArchitecture[] = L"\" is a library of another architecture";
const wchar_t kCleanupCall[] = L"CPlugin::Cleanup - about to call \"PluginCleanup\"";
const wchar_t kStillRunning[] = L"CPlugin::FreePluginLibrary - calls into the plugin are still running";

bool StartsWith(const wchar_t* text, const wchar_t* prefix) { return wcsncmp(text, prefix, wcslen(prefix)) == 0; }
}  // namespace

CLoadTrace::CLoadTrace(Threads threads) : m_thread(threads == Threads::ThisOne ? ::GetCurrentThreadId() : 0)
{
    CDebugTrace::SetTraceHook(&CLoadTrace::Hook, this);
}

CLoadTrace::~CLoadTrace() { CDebugTrace::SetTraceHook(nullptr, nullptr); }

void CLoadTrace::Hook(int, const wchar_t* text, const wchar_t*, int, void* context)
{
    auto* self = static_cast<CLoadTrace*>(context);
    if (self == nullptr || text == nullptr) return;
    if (self->m_thread != 0 && self->m_thread != ::GetCurrentThreadId()) return;
    self->Take(text);
}

void CLoadTrace::Take(const wchar_t* text)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (StartsWith(text, kRecordError)) {
        const wchar_t* code = wcsstr(text, kCodeField);
        const wchar_t* message = wcsstr(text, kMessageField);
        if (code == nullptr || message == nullptr) return;
        std::wstring said(message + wcslen(kMessageField));
        if (!said.empty() && said.back() == L'"') said.pop_back();
        m_errors.push_back({static_cast<int>(wcstol(code + wcslen(kCodeField), nullptr, 10)), said});
    } else if (StartsWith(text, kInitReturned)) {
        m_initCalled = true;
        m_initResult = static_cast<int>(wcstol(text + wcslen(kInitReturned), nullptr, 10));
    } else if (StartsWith(text, kLoadPrefix) && wcsstr(text, kNotALibrary) != nullptr) {
        m_fileProblem = L"the file is no Windows library (no \"MZ\" and \"PE\" headers where they belong)";
    } else if (StartsWith(text, kLoadPrefix) && wcsstr(text, kOtherArchitecture) != nullptr) {
        m_fileProblem = std::wstring(L"the file is a library of another architecture") +
                        (wcsstr(text, L"(machine") != nullptr ? L" " + std::wstring(wcsstr(text, L"(machine")) : L"");
    } else if (StartsWith(text, kCleanupCall)) {
        m_cleanupCalled = true;
    } else if (StartsWith(text, kStillRunning)) {
        m_keptForCall = true;
    }
}

std::vector<CLoadTrace::RecordedError> CLoadTrace::Errors() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_errors;
}

bool CLoadTrace::InitResult(int& result) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    result = m_initResult;
    return m_initCalled;
}

std::wstring CLoadTrace::FileProblem() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fileProblem;
}

bool CLoadTrace::CleanupCalled() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_cleanupCalled;
}

bool CLoadTrace::LibraryKeptForRunningCall() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_keptForCall;
}
