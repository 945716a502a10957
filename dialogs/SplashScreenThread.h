// The thread of the splash screen.
#pragma once

#include "DialogThread.h"

class CSplashScreenThread : public CDialogThread {
public:
    CSplashScreenThread(const wchar_t* imagePath, bool flag);
    void Run() override;
    void DeleteDialog() override;

private:
    bool m_flag;
};
