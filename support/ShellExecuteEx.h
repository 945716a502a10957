// Starting a program.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CShellExecuteEx {
public:
    // Starts exe with arguments in folder (null: the exe's folder). The command line the program
    // sees is the quoted exe followed by the arguments. show: the program's window is shown
    // (otherwise started hidden). waitForExit: returns only after the program has ended.
    // True means the process started; its id goes to processId when that is not null.
    static bool CreateProcessW(HWND owner, const wchar_t* exe, const wchar_t* arguments, const wchar_t* folder,
                               bool show, bool waitForExit, DWORD* processId);
};
