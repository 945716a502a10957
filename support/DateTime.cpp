#include "DateTime.h"
#include "SafeString.h"

wchar_t* CDateTime::FormatDateTime(const SYSTEMTIME& time, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return buffer;
    wchar_t date[128] = L"";
    wchar_t clock[128] = L"";
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, date, 128) == 0) date[0] = L'\0';
    if (GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &time, nullptr, clock, 128) == 0) clock[0] = L'\0';
    if (date[0] == L'\0' && clock[0] == L'\0') {
        return zerova::FormatString(buffer, length, L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth,
                                    time.wDay, time.wHour, time.wMinute, time.wSecond);
    }
    return zerova::FormatString(buffer, length, L"%s %s", date, clock);
}
