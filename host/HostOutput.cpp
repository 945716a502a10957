#include "HostOutput.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "Handles.h"

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

}  // namespace hostoutput
