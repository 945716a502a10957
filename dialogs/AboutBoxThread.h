// The thread of the about box.
#pragma once

#include "DialogThread.h"

class CAboutBoxThread : public CDialogThread {
public:
    CAboutBoxThread(void* plugin, HWND parent, const wchar_t* text);
    void Run() override;
    void DeleteDialog() override;
};
