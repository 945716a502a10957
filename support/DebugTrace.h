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
};
