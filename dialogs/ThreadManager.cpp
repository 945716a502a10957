// The dialog thread manager: creates the dialog threads, finds them, and closes the dialogs of a
// plug-in when it goes.
#include "ThreadManager.h"

#include "AboutBoxThread.h"
#include "AdvisoryMsgThread.h"
#include "FileIO.h"
#include "SplashScreenThread.h"
#include "SystemHealthThread.h"
#include "DialogContext.h"
#include "Lock.h"
#include "PluginDialogs.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "ProgressDlg.h"
#include "ProgressDlgThread.h"
#include "SafeString.h"
#include "VarnelMenuUtils.h"
#include "Win32.h"

namespace {
const int kClosedNoticeString = 560;
const ULONGLONG kFinishingGraceMs = 2000;

// A thread still running when the manager goes keeps its object for the rest of the process: the
// list is never destroyed (deliberately never deleted), so nothing is deleted under a running thread.
void KeepForTheProcessEnd(std::shared_ptr<CDialogThread> thread)
{
    static auto* const stillRunning = new std::list<std::shared_ptr<CDialogThread>>();
    stillRunning->push_back(std::move(thread));
}
}  // namespace

void dialogs::LastThreadNotice::ThreadEnded()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    if (m_manager == nullptr || m_manager->ActiveThreads()) return;
    HWND host = m_menu->GetMainWindow();
    if (host != nullptr) ::PostMessageW(host, WM_TIMER, 0, 0);
}

void dialogs::LastThreadNotice::Cut()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    m_manager = nullptr;
    m_menu = nullptr;
}

CThreadManager::CThreadManager(const zerova::SupportServices& support, menu::TrayResources& tray,
                               CPluginInterface& registry, CVarnelMenuUtils& menu)
    : m_context(std::make_shared<const dialogs::Context>(dialogs::Context{
          support, &tray, &registry, this, std::make_shared<dialogs::LastThreadNotice>(*this, menu)})),
      m_forRegistry(dialogs::MakePluginDialogs(*this))
{
}

CThreadManager::~CThreadManager()
{
    ThreadList threads;
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        threads.swap(m_threads);
    }
    // A thread that is still finishing (a dialog that never stood, a run about to end) keeps using
    // its object: it gets a moment to end, and an object whose thread still runs is left alone.
    const ULONGLONG deadline = ::GetTickCount64() + kFinishingGraceMs;
    for (auto& thread : threads) {
        while (!thread->HasEnded() && ::GetTickCount64() < deadline)
            CWin32::EmptyMessages(thread->GetDialogWindow(), 10);
        if (!thread->HasEnded()) KeepForTheProcessEnd(std::move(thread));
    }
    m_context->lastThread->Cut();
}

template <class Thread>
Thread* CThreadManager::Keep(std::shared_ptr<Thread> thread)
{
    ThreadList ended;
    std::lock_guard<zerova::Mutex> guard(m_lock);
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        auto next = std::next(it);
        if ((*it)->HasEnded()) ended.splice(ended.end(), m_threads, it);
        it = next;
    }
    m_threads.push_back(thread);
    return thread.get();
}

CThreadManager::ThreadList CThreadManager::Threads()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return m_threads;
}

bool CThreadManager::CreateAboutBoxThread(void* plugin, HWND parent, const wchar_t* text)
{
    if (!m_context->registry->ValidatePlugin(plugin) || !::IsWindow(parent) || zerova::IsEmpty(text)) return false;
    auto* thread = Keep(std::make_shared<CAboutBoxThread>(m_context, plugin, parent, text));
    return thread->IsStarted();
}

bool CThreadManager::CreateSystemHealthThread(void* plugin, HWND parent, const wchar_t* text)
{
    if (!m_context->registry->ValidatePlugin(plugin) || !::IsWindow(parent)) return false;
    auto* thread = Keep(std::make_shared<CSystemHealthThread>(m_context, plugin, parent, text));
    return thread->IsStarted();
}

bool CThreadManager::CreateSplashScreenThread(const wchar_t* imagePath, bool flag)
{
    if (!CFileIO::FileExists(imagePath)) {
        m_context->support.errors->Error(567);
        return false;
    }
    auto* thread = Keep(std::make_shared<CSplashScreenThread>(m_context, imagePath, flag));
    return thread->IsStarted();
}

bool CThreadManager::CreateAdvisoryMsgThread(void* plugin, const wchar_t*, HWND parent, const wchar_t* title,
                                             const wchar_t* text, ADVISORY_MSG_TYPE type,
                                             ADVISORY_MSG_BUTTONS buttons, bool autoClose, void* cookie,
                                             bool settingsFlag)
{
    if (!m_context->registry->ValidatePlugin(plugin) || !::IsWindow(parent) || zerova::IsEmpty(title) ||
        zerova::IsEmpty(text))
        return false;
    auto* thread = Keep(std::make_shared<CAdvisoryMsgThread>(m_context, plugin, parent, title, text, type, buttons,
                                                             autoClose, cookie, settingsFlag));
    thread->WaitForDialogInit();
    return thread->IsStarted();
}

CProgressDlg* CThreadManager::CreateProgressDlgThread(void* plugin, HWND parent, const wchar_t* title,
                                                      PROGRESS_BAR_DLG_TYPE type, void (*cancel)(void*),
                                                      void* cookie, int autoCloseMs)
{
    if (!m_context->registry->ValidatePlugin(plugin) || !::IsWindow(parent) || zerova::IsEmpty(title)) return nullptr;
    auto* thread =
        Keep(std::make_shared<CProgressDlgThread>(m_context, plugin, parent, title, type, cancel, cookie, autoCloseMs));
    return thread->GetProgressDlg();
}

std::shared_ptr<CDialogThread> CThreadManager::FindRunning(void* dialogObject)
{
    if (dialogObject == nullptr) return nullptr;
    for (auto& thread : Threads())
        if (thread->GetDialogObject() == dialogObject && thread->IsThreadActive() &&
            ::IsWindow(thread->GetDialogWindow()))
            return thread;
    return nullptr;
}

CDialogThread* CThreadManager::FindExistingDialog(void* dialogObject) { return FindRunning(dialogObject).get(); }

HWND CThreadManager::FindExistingDialog(CDialogThread::THREAD_TYPE kind, void** dialogObject)
{
    if (dialogObject != nullptr) *dialogObject = nullptr;
    for (auto& thread : Threads()) {
        if (thread->GetKind() != kind || !thread->IsThreadActive() || !::IsWindow(thread->GetDialogWindow())) continue;
        if (dialogObject != nullptr) *dialogObject = thread->GetDialogObject();
        return thread->GetDialogWindow();
    }
    return nullptr;
}

HWND CThreadManager::BringExistingDialogToFront(CDialogThread::THREAD_TYPE kind)
{
    HWND window = FindExistingDialog(kind, nullptr);
    if (window != nullptr) ::SetForegroundWindow(window);
    return window;
}

bool CThreadManager::IsOpenOrStarting(CDialogThread::THREAD_TYPE kind)
{
    if (BringExistingDialogToFront(kind) != nullptr) return true;
    for (auto& thread : Threads())
        if (thread->GetKind() == kind && thread->IsThreadActive() && thread->GetDialogWindow() == nullptr) return true;
    return false;
}

void CThreadManager::TerminateOpenDialogs(void* plugin)
{
    for (auto& thread : Threads()) {
        if ((plugin != nullptr && thread->GetPluginHandle() != plugin) || !thread->IsThreadActive()) continue;
        CPlugin* owner = thread->GetPlugin();
        if (thread->GetPluginHandle() != nullptr && owner != nullptr && owner->IsLoaded())
            owner->CallActivity(VARNEL_ACTIVITY_DIALOG_CLOSING, 0, 0);
        if (thread->GetClosingNoticeString() != 0) {
            wchar_t kind[MAX_PATH] = L"";
            m_context->support.Text(thread->GetClosingNoticeString(), kind, MAX_PATH);
            if (kind[0] != L'\0') {
                wchar_t format[MAX_PATH] = L"";
                wchar_t notice[MAX_PATH];
                m_context->support.Text(kClosedNoticeString, format, MAX_PATH);
                zerova::FormatString(notice, MAX_PATH, format, kind);
                m_context->support.errors->Error(kClosedNoticeString, notice);
            }
        }
        thread->TerminateDialog();
    }
}

bool CThreadManager::ActiveThreads()
{
    for (auto& thread : Threads())
        if (thread->IsThreadActive()) return true;
    return false;
}

bool CThreadManager::SetProgress(CProgressDlg* dialog, const wchar_t* status, const wchar_t* detail, int percent)
{
    const auto thread = FindRunning(dialog);
    return thread != nullptr && dialog->SetProgress(status, detail, percent);
}

bool CThreadManager::DestroyProgressDlg(CProgressDlg* dialog)
{
    const auto thread = FindRunning(dialog);
    if (thread == nullptr) return false;
    thread->TerminateDialog();
    return true;
}
