// Writes one trace line (level 4) now and another when it goes out of scope: the entry and exit
// traces around an operation.
#pragma once

#include "DebugTrace.h"

#include <string>

class CScopedTrace {
public:
    CScopedTrace(const wchar_t* source, std::wstring enterLine, std::wstring exitLine)
        : m_source(source), m_exitLine(std::move(exitLine))
    {
        CDebugTrace::OutputDebugStringW(4, enterLine.c_str(), m_source, __LINE__);
    }
    ~CScopedTrace() { CDebugTrace::OutputDebugStringW(4, m_exitLine.c_str(), m_source, __LINE__); }
    CScopedTrace(const CScopedTrace&) = delete;
    CScopedTrace& operator=(const CScopedTrace&) = delete;

private:
    const wchar_t* m_source;
    std::wstring m_exitLine;
};
