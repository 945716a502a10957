// The thread of the about box.
#pragma once

#include "DialogThread.h"

#include <memory>

class CAboutBox;

class CAboutBoxThread : public CDialogThread {
public:
    CAboutBoxThread(std::shared_ptr<const dialogs::Context> context, void* plugin, HWND parent, const wchar_t* text);
    ~CAboutBoxThread() override;
    void Run() override;
    void DeleteDialog() override;

private:
    std::unique_ptr<CAboutBox> m_box;  // the dialog; m_dialogObject points at it while it stands
};
