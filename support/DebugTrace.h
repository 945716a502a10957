// One trace line: written through OutputDebugStringW when its level is within the configured
// maximum, optionally appended to a log file, and always handed to an installed trace hook.
#pragma once
#include "SupportAPI.h"

#include <cstdarg>

class ZEROVA_SUPPORT_API CDebugTrace {
public:
    // Receives every trace line, whatever the configured level (used by tests and tools).
    typedef void (*TraceHook)(int level, const wchar_t* text, const wchar_t* sourceFile, int line,
                              void* context);

    static void OutputDebugStringW(int level, const wchar_t* text, const wchar_t* sourceFile, int line);
    // The same line made from a format and its arguments (at most capacity characters, cut beyond);
    // not formatted at all when nobody would read it.
    static void OutputFormattedV(int level, const wchar_t* sourceFile, int line, int capacity, const wchar_t* format,
                                 va_list arguments);

    static void SetTraceHook(TraceHook hook, void* context);
    // Re-reads the level and log file from the registry (they are read once, at the first line).
    static void ReloadSettings();
    static int GetMaxLevel();
    // True when a line of that level would go anywhere (a hook, the debugger, the log file): lets a
    // caller skip gathering what only a trace line would show.
    static bool IsWanted(int level);

    // Where the settings live: HKEY_LOCAL_MACHINE, values "TraceLevel" and "TraceLogFile".
    static const wchar_t* const SettingsKey;

    // What ZEROVA_TRACE calls: a text as it stands, or a format and its arguments (cut at 4096
    // characters).
    static void Write(int level, const wchar_t* sourceFile, int line, const wchar_t* text)
    {
        OutputDebugStringW(level, text, sourceFile, line);
    }
    template <typename First, typename... Rest>
    static void Write(int level, const wchar_t* sourceFile, int line, const wchar_t* format, First first, Rest... rest)
    {
        WriteFormatted(level, sourceFile, line, format, first, rest...);
    }

private:
    static void WriteFormatted(int level, const wchar_t* sourceFile, int line, const wchar_t* format, ...)
    {
        va_list arguments;
        va_start(arguments, format);
        OutputFormattedV(level, sourceFile, line, 4096, format, arguments);
        va_end(arguments);
    }
};

namespace zerova {
// The file name of a source path, found at compile time.
constexpr const wchar_t* SourceFileName(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* c = path; *c != L'\0'; ++c)
        if (*c == L'/' || *c == L'\\') name = c + 1;
    return name;
}
}  // namespace zerova

#define ZEROVA_WIDEN_(text) L##text
#define ZEROVA_WIDEN(text) ZEROVA_WIDEN_(text)
// The name of the source file that issues a trace line ("Plugin.cpp").
#define ZEROVA_SOURCE_FILE (::zerova::SourceFileName(ZEROVA_WIDEN(__FILE__)))
// One trace line with the calling file and line: ZEROVA_TRACE(4, L"text") writes the text as it
// stands, ZEROVA_TRACE(4, L"format %s", argument) formats it first.
#define ZEROVA_TRACE(level, ...) CDebugTrace::Write((level), ZEROVA_SOURCE_FILE, __LINE__, __VA_ARGS__)
