// An INI file read through GetPrivateProfileStringW, so a missing file or key yields the default.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CIniFile {
public:
    // lineCapacity: the longest value (in characters) that GetInt reads.
    CIniFile(const wchar_t* path, int lineCapacity);
    ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    // True when the key is present; otherwise buffer receives defaultValue and the result is false.
    bool GetString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, wchar_t* buffer,
                   int length);
    int GetInt(const wchar_t* section, const wchar_t* key, int defaultValue);
    const wchar_t* GetPath() const { return m_path; }

    // Takes one line from a terminated wide text. position: where the line starts. The line's
    // characters (without CR/LF) go into line, cut at lineCapacity; count gets the line's full
    // length, found whether a line was there. With skipEmptyLines, empty lines are passed over.
    // Returns the position after the line's end (after CR LF, LF or CR).
    static wchar_t* GetLine(wchar_t* position, wchar_t* line, int lineCapacity, int& count, bool& found,
                            bool skipEmptyLines);

private:
    wchar_t m_path[MAX_PATH];
    int m_lineCapacity;
};
