#include "ShellExecuteEx.h"
#include "FileIO.h"
#include "Handles.h"
#include "SafeString.h"

#include <string>
#include <vector>

bool CShellExecuteEx::CreateProcessW(HWND, const wchar_t* exe, const wchar_t* arguments, const wchar_t* folder,
                                     bool show, bool waitForExit, DWORD* processId)
{
    if (processId != nullptr) *processId = 0;
    if (!CFileIO::FileExists(exe)) return false;

    std::wstring commandLine = L"\"";
    commandLine += exe;
    commandLine += L"\"";
    if (!zerova::IsEmpty(arguments)) {
        commandLine += L" ";
        commandLine += arguments;
    }
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');

    wchar_t exeFolder[MAX_PATH] = L"";
    const wchar_t* workingFolder = folder;
    if (zerova::IsEmpty(workingFolder)) workingFolder = CFileIO::GetFolder(exe, exeFolder, MAX_PATH);
    if (zerova::IsEmpty(workingFolder) || !CFileIO::FolderExists(workingFolder)) workingFolder = nullptr;

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(show ? SW_SHOWNORMAL : SW_HIDE);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(exe, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, workingFolder, &startup, &info))
        return false;
    zerova::UniqueKernelHandle process(info.hProcess);
    zerova::UniqueKernelHandle thread(info.hThread);
    if (processId != nullptr) *processId = info.dwProcessId;
    if (waitForExit) WaitForSingleObject(process.Get(), INFINITE);
    return true;
}
