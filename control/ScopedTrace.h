// Writes one trace line (level 4) now and another when it goes out of scope: the entry and exit
// traces around an operation, both with the file and line of the operation that declares it.
#pragma once

#include "DebugTrace.h"

#include <string>

class CScopedTrace {
public:
    CScopedTrace(const wchar_t* source, int line, std::wstring enterLine, std::wstring exitLine)
        : m_source(source), m_line(line), m_exitLine(std::move(exitLine))
    {
        CDebugTrace::OutputDebugStringW(4, enterLine.c_str(), m_source, m_line);
    }
    ~CScopedTrace() { CDebugTrace::OutputDebugStringW(4, m_exitLine.c_str(), m_source, m_line); }
    CScopedTrace(const CScopedTrace&) = delete;
    CScopedTrace& operator=(const CScopedTrace&) = delete;

private:
    const wchar_t* m_source;
    int m_line;
    std::wstring m_exitLine;
};

// The entry and exit traces of the enclosing scope.
#define VARNEL_SCOPED_TRACE(enterLine, exitLine) \
    const CScopedTrace scopedTrace_(ZEROVA_SOURCE_FILE, __LINE__, (enterLine), (exitLine))
