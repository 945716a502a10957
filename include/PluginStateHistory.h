// One entry of the plug-in state history file, and the reader of one plug-in's entries.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include <list>
#include <memory>

namespace plugins {
class HistoryFile;
}

class VARNEL_API CPluginStateHistory {
public:
    // An entry of the process's history file (the plug-in registry's).
    explicit CPluginStateHistory(const wchar_t* name);
    // An entry of that history file, for the library's own parts, which are handed the file.
    CPluginStateHistory(plugins::HistoryFile& file, const wchar_t* name);
    ~CPluginStateHistory();
    CPluginStateHistory(const CPluginStateHistory&) = delete;
    CPluginStateHistory& operator=(const CPluginStateHistory&) = delete;

    // Sets the entry (time null: now; an empty text keeps the previous one) and, when write is
    // true, appends it to the history file.
    void SetState(VARNEL_PLUGIN_STATE state, const wchar_t* text, const SYSTEMTIME* time, bool write);
    VARNEL_PLUGIN_STATE GetState(wchar_t* text, int length, SYSTEMTIME* time) const;

    // Replaces the entries with this name's entries in the history file, oldest first.
    void Read();
    // Moves the cursor to the first entry; the number of entries.
    int GetNumHistoricalStateEntries();
    // The entry at the cursor, then moves on (after the last entry comes the first again).
    bool GetHistoricalState(VARNEL_PLUGIN_STATE* state, wchar_t* text, int length, SYSTEMTIME* time);
    // Deletes the history of every plug-in.
    static void DeleteHistoryFile();

private:
    void Write();
    void ClearEntries();
    void ParseLine(wchar_t* line);

    plugins::HistoryFile* m_file;
    VARNEL_PLUGIN_STATE m_state;
    wchar_t m_text[MAX_PATH];
    wchar_t m_name[MAX_PATH];
    SYSTEMTIME m_time;
    std::list<std::unique_ptr<CPluginStateHistory>> m_entries;
    std::list<std::unique_ptr<CPluginStateHistory>>::iterator m_cursor;
};
