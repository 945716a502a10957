// The thread of the system health dialog.
#pragma once

#include "DialogThread.h"

class CSystemHealthThread : public CDialogThread {
public:
    CSystemHealthThread(void* plugin, HWND parent, const wchar_t* text);
    void Run() override;
    void SetText(wchar_t* text) override;
    void DeleteDialog() override;
};
