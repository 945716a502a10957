#include "HostOutput.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "Handles.h"
#include "SafeString.h"

#include <cwchar>
#include <string>

namespace hostoutput {
namespace {

bool IsUsable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// The console of the starting process, opened once; null where it has none.
HANDLE ParentConsole()
{
    static zerova::UniqueFileHandle console;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (::AttachConsole(ATTACH_PARENT_PROCESS))
            console.Reset(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    }
    return console.Get();
}

// A console takes the text as it is; a file or a pipe gets UTF-8.
void Write(HANDLE handle, const std::wstring& line)
{
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(handle, &mode)) {
        ::WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                            nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr, nullptr);
    ::WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

void WriteLine(Stream stream, const wchar_t* text)
{
    HANDLE handle = ::GetStdHandle(stream == Stream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (!IsUsable(handle)) handle = ParentConsole();
    if (!IsUsable(handle)) return;
    Write(handle, std::wstring(text != nullptr ? text : L"") + L"\r\n");
}

namespace {
// Control characters (C0, DEL, C1) and the Unicode line and paragraph separators as escapes, so
// that no text the host logs (a request's string, a plug-in's name) can start a line of its own.
std::wstring EscapedForLog(const wchar_t* line)
{
    std::wstring escaped;
    for (const wchar_t* at = line; *at != L'\0'; ++at) {
        const wchar_t unit = *at;
        wchar_t code[8] = L"";
        if (unit == L'\r') {
            escaped += L"\\r";
        } else if (unit == L'\n') {
            escaped += L"\\n";
        } else if (unit == L'\t') {
            escaped += L"\\t";
        } else if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            escaped += zerova::FormatString(code, 8, L"\\x%02X", static_cast<unsigned>(unit));
        } else if (unit == 0x2028 || unit == 0x2029) {
            escaped += zerova::FormatString(code, 8, L"\\u%04X", static_cast<unsigned>(unit));
        } else {
            escaped += unit;
        }
    }
    return escaped;
}

std::string Utf8(const std::wstring& text)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], bytes, nullptr, nullptr);
    return result;
}

}  // namespace

void AppendToLog(const std::wstring& logFile, const wchar_t* line)
{
    if (logFile.empty()) return;
    const std::string utf8 = Utf8(EscapedForLog(line)) + '\n';
    zerova::UniqueFileHandle file(CreateFileW(logFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.Get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace hostoutput
