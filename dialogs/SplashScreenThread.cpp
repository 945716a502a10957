#include "SplashScreenThread.h"
#include "Lock.h"

#include "DialogContext.h"
#include "FileIO.h"
#include "ImageWindow.h"
#include "SafeString.h"
#include "SplashScreen.h"
#include "ThreadManager.h"

#include <mutex>

namespace {
const int kImageMissing = 567;
const DWORD kOpaqueBlack = 0xFF000000;
}  // namespace

CSplashScreenThread::CSplashScreenThread(std::shared_ptr<const dialogs::Context> context, const wchar_t* imagePath,
                                         bool flag)
    : CDialogThread(std::move(context)), m_flag(false)
{
    m_kind = THREAD_SPLASHSCREEN;
    m_closingNoticeString = 0;
    m_closeCommand = CSplashScreen::CloseCommand;
    if (Context().manager->IsOpenOrStarting(THREAD_SPLASHSCREEN)) return;
    if (!CFileIO::FileExists(imagePath)) return;
    if (!Init(nullptr, nullptr, nullptr, nullptr, L"empty")) return;
    zerova::CopyString(m_imagePath, MAX_PATH, imagePath);
    m_flag = flag;
    StartThread();
}

CSplashScreenThread::~CSplashScreenThread() = default;

void CSplashScreenThread::Run()
{
    if (!CFileIO::FileExists(m_imagePath)) {
        Context().support.errors->Error(kImageMissing);
    } else {
        wchar_t product[MAX_PATH], copyright[MAX_PATH];
        Context().support.Text(327, product, MAX_PATH);
        Context().support.Text(61, copyright, MAX_PATH);
        CStringBlock* blocks[] = {
            new CStringBlock(product, RECT{213, 101, 213 + 228, 101 + 93}, kOpaqueBlack, L"Trebuchet MS", 26.0f, 0, 1, 1),
            new CStringBlock(copyright, RECT{19, 257, 19 + 432, 257 + 24}, kOpaqueBlack, L"Verdana", 11.0f, 0, 1, 0)};
        // The splash screen owns the blocks it is given.
        auto splash = std::make_unique<CSplashScreen>(m_imagePath, &m_dialogWindow, blocks, 2, m_flag);
        std::lock_guard<zerova::Mutex> guard(m_objectLock);
        m_splash = std::move(splash);
        SetDialogObject(m_splash.get());
    }
    DeleteDialog();
    FinishRun();
}

void CSplashScreenThread::DeleteDialog()
{
    std::lock_guard<zerova::Mutex> guard(m_objectLock);
    m_dialogObject = nullptr;
    m_splash.reset();
}
