// Dates and times for people.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CDateTime {
public:
    // The user's short date and long time format, separated by a space.
    static wchar_t* FormatDateTime(const SYSTEMTIME& time, wchar_t* buffer, int length);
};
