#include "DebugTrace.h"
#include "Handles.h"
#include "Lock.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <atomic>
#include <mutex>
#include <string>

const wchar_t* const CDebugTrace::SettingsKey = L"SOFTWARE\\Zerova\\Varnel\\Trace";

namespace {

// Without a "TraceLevel" no line goes out: under Wine every OutputDebugStringW costs as much as
// a small file write, and the tray writes several lines for each menu change.
const int kNoLines = -1;

struct TraceSettings {
    zerova::Mutex lock;
    bool loaded = false;
    int maxLevel = kNoLines;
    wchar_t logFile[MAX_PATH] = L"";
};

TraceSettings& Settings()
{
    static TraceSettings settings;
    return settings;
}

std::atomic<CDebugTrace::TraceHook> g_hook{nullptr};
std::atomic<void*> g_hookContext{nullptr};

void LoadSettingsLocked(TraceSettings& s)
{
    DWORD level = 0;
    s.maxLevel = CRegistryEx::Get(HKEY_LOCAL_MACHINE, CDebugTrace::SettingsKey, L"TraceLevel", level)
                     ? static_cast<int>(level)
                     : kNoLines;
    if (!CRegistryEx::GetPath(HKEY_LOCAL_MACHINE, CDebugTrace::SettingsKey, L"TraceLogFile", s.logFile, MAX_PATH))
        s.logFile[0] = L'\0';
    s.loaded = true;
}

void AppendToLogFile(const wchar_t* path, const std::wstring& line)
{
    const zerova::UniqueFileHandle file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                    nullptr);
    if (bytes > 0) {
        std::string utf8(static_cast<size_t>(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr,
                            nullptr);
        DWORD written = 0;
        WriteFile(file.Get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
}

}  // namespace

void CDebugTrace::OutputDebugStringW(int level, const wchar_t* text, const wchar_t* sourceFile, int line)
{
    const wchar_t* safeText = text != nullptr ? text : L"";
    const wchar_t* safeSource = sourceFile != nullptr ? sourceFile : L"";

    if (TraceHook hook = g_hook.load()) hook(level, safeText, safeSource, line, g_hookContext.load());

    TraceSettings& s = Settings();
    int maxLevel;
    wchar_t logFile[MAX_PATH];
    {
        std::lock_guard<zerova::Mutex> guard(s.lock);
        if (!s.loaded) LoadSettingsLocked(s);
        maxLevel = s.maxLevel;
        zerova::CopyString(logFile, MAX_PATH, s.logFile);
    }
    if (level > maxLevel) return;

    wchar_t prefix[128];
    zerova::FormatString(prefix, 128, L"[%d] %s(%d) tid %lu: ", level, safeSource, line, GetCurrentThreadId());
    std::wstring full = prefix;
    full += safeText;
    full += L"\r\n";
    ::OutputDebugStringW(full.c_str());
    if (logFile[0] != L'\0') {
        std::lock_guard<zerova::Mutex> guard(s.lock);  // keeps lines of several threads apart
        AppendToLogFile(logFile, full);
    }
}

void CDebugTrace::OutputFormattedV(int level, const wchar_t* sourceFile, int line, int capacity, const wchar_t* format,
                                   va_list arguments)
{
    if (capacity < 1 || !IsWanted(level)) return;  // formatting costs; nobody would read the line
    std::wstring text(static_cast<size_t>(capacity), L'\0');
    zerova::FormatStringV(&text[0], capacity, format, arguments);
    OutputDebugStringW(level, text.c_str(), sourceFile, line);
}

void CDebugTrace::SetTraceHook(TraceHook hook, void* context)
{
    g_hookContext.store(context);
    g_hook.store(hook);
}

void CDebugTrace::ReloadSettings()
{
    TraceSettings& s = Settings();
    std::lock_guard<zerova::Mutex> guard(s.lock);
    LoadSettingsLocked(s);
}

int CDebugTrace::GetMaxLevel()
{
    TraceSettings& s = Settings();
    std::lock_guard<zerova::Mutex> guard(s.lock);
    if (!s.loaded) LoadSettingsLocked(s);
    return s.maxLevel;
}

bool CDebugTrace::IsWanted(int level) { return g_hook.load() != nullptr || level <= GetMaxLevel(); }
