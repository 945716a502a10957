#include "IniFile.h"
#include "SafeString.h"

#include <vector>

namespace {
// A default no INI value can hold, to tell a missing key from a key holding the default.
const wchar_t kAbsent[] = L"\x01\x02\x03<absent>";
}

CIniFile::CIniFile(const wchar_t* path, int lineCapacity) : m_lineCapacity(lineCapacity < 16 ? 16 : lineCapacity)
{
    zerova::CopyString(m_path, MAX_PATH, path);
}

CIniFile::~CIniFile() = default;

bool CIniFile::GetString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, wchar_t* buffer,
                         int length)
{
    if (buffer == nullptr || length < 1) return false;
    buffer[0] = L'\0';
    if (m_path[0] == L'\0' || section == nullptr || key == nullptr) {
        zerova::CopyString(buffer, length, defaultValue);
        return false;
    }
    GetPrivateProfileStringW(section, key, kAbsent, buffer, static_cast<DWORD>(length), m_path);
    if (wcscmp(buffer, kAbsent) == 0) {
        zerova::CopyString(buffer, length, defaultValue);
        return false;
    }
    return true;
}

int CIniFile::GetInt(const wchar_t* section, const wchar_t* key, int defaultValue)
{
    std::vector<wchar_t> text(static_cast<size_t>(m_lineCapacity), L'\0');
    if (!GetString(section, key, L"", text.data(), m_lineCapacity) || text[0] == L'\0') return defaultValue;
    wchar_t* end = nullptr;
    long value = wcstol(text.data(), &end, 10);
    if (end == text.data()) return defaultValue;
    return static_cast<int>(value);
}

wchar_t* CIniFile::GetLine(wchar_t* position, wchar_t* line, int lineCapacity, int& count, bool& found,
                           bool skipEmptyLines)
{
    count = 0;
    found = false;
    if (line != nullptr && lineCapacity > 0) line[0] = L'\0';
    if (position == nullptr) return position;

    wchar_t* p = position;
    for (;;) {
        if (*p == L'\0') return p;
        wchar_t* start = p;
        while (*p != L'\0' && *p != L'\r' && *p != L'\n') ++p;
        int length = static_cast<int>(p - start);
        if (*p == L'\r') ++p;
        if (*p == L'\n') ++p;
        if (length == 0 && skipEmptyLines) continue;
        found = true;
        count = length;
        if (line != nullptr && lineCapacity > 0) {
            int copied = length < lineCapacity - 1 ? length : lineCapacity - 1;
            wmemcpy(line, start, static_cast<size_t>(copied));
            line[copied] = L'\0';
        }
        return p;
    }
}
