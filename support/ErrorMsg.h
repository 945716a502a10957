// The process-wide error reporter: keeps the last code and hands every report to a logging callback.
#pragma once
#include "SupportAPI.h"

typedef bool (*ERROR_LOGGING_CALLBACK)(HWND window, const wchar_t* firstText, const wchar_t* secondText,
                                       int number, void* user);

class ZEROVA_SUPPORT_API CErrorMsg {
public:
    static CErrorMsg* Instance();

    // Records code as the process's last error and passes the report on; returns code.
    // Without a text the callback gets the language module's string of the code.
    int Error(int code);
    int Error(int code, const wchar_t* text);
    int GetLastError();

    // The system's text for the calling thread's last Windows error, prefixed by apiName.
    wchar_t* GetLastErrorString(const wchar_t* apiName, wchar_t* buffer, int length);
    // The system's text for a Windows error, without its closing line break; empty when it has none.
    static wchar_t* SystemErrorText(DWORD error, wchar_t* buffer, int length);

    void SetErrorLoggingCallback(ERROR_LOGGING_CALLBACK callback, void* context);

private:
    CErrorMsg() = default;
};
