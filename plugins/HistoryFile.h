// The per-user state history file of this process: where it lies, the history lock that
// serialises every access to it from this library, and the lines that wait for it to be writable
// again. The plug-in registry owns it; the state history entries and dialogs are handed it.
#pragma once

#include "CriticalSectionEx.h"
#include "SupportServices.h"

#include <memory>

namespace plugins {

class PendingHistoryLines;

class HistoryFile {
public:
    // Finds the file in the user's application data, makes its folder and moves a full file aside.
    explicit HistoryFile(const zerova::SupportServices& support);
    ~HistoryFile();
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;

    const wchar_t* Folder() const { return m_folder; }
    const wchar_t* Path() const { return m_path; }
    CCriticalSectionEx& Lock() { return m_lock; }
    const zerova::SupportServices& Support() const { return m_support; }

    // Appends a line after those that wait; a line that cannot be written waits for the next try.
    void Append(const wchar_t* line);
    // The lines that wait go out, so that a read sees them.
    void WriteWaitingLines();
    // Deletes the history of every plug-in.
    void Delete();

private:
    // Outside the history lock: the report reaches the error loggers, which may write history.
    void ReportDroppedLines(size_t dropped);

    zerova::SupportServices m_support;
    wchar_t m_folder[MAX_PATH];
    wchar_t m_path[MAX_PATH];
    CCriticalSectionEx m_lock;
    std::unique_ptr<PendingHistoryLines> m_waiting;  // guarded by m_lock
};

}  // namespace plugins
