// The thread of the about box.
#pragma once

#include "DialogThread.h"

#include <memory>

class CAboutBox;

class CAboutBoxThread : public CDialogThread {
public:
    CAboutBoxThread(void* plugin, HWND parent, const wchar_t* text);
    ~CAboutBoxThread() override;
    void Run() override;
    void DeleteDialog() override;

private:
    std::unique_ptr<CAboutBox> m_box;  // the dialog; m_dialogObject points at it while it stands
};
