#include "ErrorMsg.h"
#include "Lock.h"
#include "ThreadValue.h"
#include "DateTime.h"
#include "DebugTrace.h"
#include "Localize.h"
#include "SafeString.h"

#include <atomic>
#include <mutex>

namespace {

std::atomic<int> g_lastError{0};
zerova::Mutex g_callbackLock;
ERROR_LOGGING_CALLBACK g_callback = nullptr;
void* g_callbackContext = nullptr;
// An error logger that reports an error itself must not be called again for it.
zerova::ThreadValue<int> t_insideCallback;

void PassOn(int code, const wchar_t* text)
{
    ERROR_LOGGING_CALLBACK callback;
    void* context;
    {
        std::lock_guard<zerova::Mutex> guard(g_callbackLock);
        callback = g_callback;
        context = g_callbackContext;
    }
    if (callback == nullptr || t_insideCallback.Get() > 0) return;

    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t when[64];
    CDateTime::FormatDateTime(now, when, 64);
    t_insideCallback.Set(t_insideCallback.Get() + 1);
    callback(nullptr, text, when, code, context);
    t_insideCallback.Set(t_insideCallback.Get() - 1);
}

}  // namespace

CErrorMsg* CErrorMsg::Instance()
{
    static CErrorMsg instance;
    return &instance;
}

int CErrorMsg::Error(int code) { return Error(code, nullptr); }

int CErrorMsg::Error(int code, const wchar_t* text)
{
    g_lastError.store(code);
    wchar_t message[1024] = L"";
    if (!zerova::IsEmpty(text))
        zerova::CopyString(message, 1024, text);
    else if (code > 0)
        CLocalize::Instance()->GetString(static_cast<UINT>(code), message, 1024);

    wchar_t line[1200];
    zerova::FormatString(line, 1200, L"CErrorMsg::Error - code %d: %s", code, message);
    ZEROVA_TRACE(4, static_cast<const wchar_t*>(line));
    PassOn(code, message);
    return code;
}

int CErrorMsg::GetLastError() { return g_lastError.load(); }

wchar_t* CErrorMsg::GetLastErrorString(const wchar_t* apiName, wchar_t* buffer, int length)
{
    DWORD error = ::GetLastError();
    if (buffer == nullptr || length < 1) return buffer;
    wchar_t system[512] = L"";
    if (zerova::IsEmpty(SystemErrorText(error, system, 512))) zerova::CopyString(system, 512, L"unknown error");
    zerova::FormatString(buffer, length, L"%s failed with error %lu: %s", apiName != nullptr ? apiName : L"",
                         error, system);
    return buffer;
}

wchar_t* CErrorMsg::SystemErrorText(DWORD error, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return buffer;
    DWORD got = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buffer,
                               static_cast<DWORD>(length), nullptr);
    if (got >= static_cast<DWORD>(length)) got = 0;
    buffer[got] = L'\0';
    while (got > 0 && (buffer[got - 1] == L'\r' || buffer[got - 1] == L'\n' || buffer[got - 1] == L' '))
        buffer[--got] = L'\0';
    return buffer;
}

void CErrorMsg::SetErrorLoggingCallback(ERROR_LOGGING_CALLBACK callback, void* context)
{
    std::lock_guard<zerova::Mutex> guard(g_callbackLock);
    g_callback = callback;
    g_callbackContext = context;
}
