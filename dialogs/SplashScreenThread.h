// The thread of the splash screen.
#pragma once

#include "DialogThread.h"

#include <memory>

class CSplashScreen;

class CSplashScreenThread : public CDialogThread {
public:
    CSplashScreenThread(std::shared_ptr<const dialogs::Context> context, const wchar_t* imagePath, bool flag);
    ~CSplashScreenThread() override;
    void Run() override;
    void DeleteDialog() override;

private:
    std::unique_ptr<CSplashScreen> m_splash;  // the dialog; m_dialogObject points at it while it stands
    bool m_flag;
};
