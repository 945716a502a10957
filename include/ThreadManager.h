// The dialog thread manager: every dialog of the tray runs on a thread it owns.
#pragma once

#include "DialogThread.h"
#include "Lock.h"
#include "VarnelAPI.h"
#include "VarnelPluginAPI.h"

#include "SupportServices.h"

#include <list>
#include <memory>
#include <mutex>

class CPluginInterface;
class CVarnelMenuUtils;
class IPluginDialogs;
namespace menu {
class TrayResources;
}

class VARNEL_API CThreadManager {
public:
    // The module's thread manager (the module root's accessor, for callers outside the library).
    static CThreadManager* Instance();
    // Built by the module root over the parts the dialogs use.
    CThreadManager(const zerova::SupportServices& support, menu::TrayResources& tray, CPluginInterface& registry,
                   CVarnelMenuUtils& menu);
    // Deletes every thread object whose thread has ended; it stops no thread.
    ~CThreadManager();
    CThreadManager(const CThreadManager&) = delete;
    CThreadManager& operator=(const CThreadManager&) = delete;

    bool CreateAboutBoxThread(void* plugin, HWND parent, const wchar_t* text);
    bool CreateSystemHealthThread(void* plugin, HWND parent, const wchar_t* text);
    // Error 567 and false when the image file does not exist.
    bool CreateSplashScreenThread(const wchar_t* imagePath, bool flag);
    bool CreateAdvisoryMsgThread(void* plugin, const wchar_t* extra, HWND parent, const wchar_t* title,
                                 const wchar_t* text, ADVISORY_MSG_TYPE type, ADVISORY_MSG_BUTTONS buttons,
                                 bool autoClose, void* cookie, bool settingsFlag);
    CProgressDlg* CreateProgressDlgThread(void* plugin, HWND parent, const wchar_t* title, PROGRESS_BAR_DLG_TYPE type,
                                          void (*cancel)(void*), void* cookie, int autoCloseMs);

    // The running thread whose dialog object is dialogObject and whose window stands, or null.
    CDialogThread* FindExistingDialog(void* dialogObject);
    // The window of the first running dialog of that kind (null when none); dialogObject receives
    // its dialog object.
    HWND FindExistingDialog(CDialogThread::THREAD_TYPE kind, void** dialogObject);
    HWND BringExistingDialogToFront(CDialogThread::THREAD_TYPE kind);
    // True when a dialog of that kind is open, brought to the front, or still starting: its thread
    // runs but its window is not up yet. Only one about box, system health and splash at a time.
    bool IsOpenOrStarting(CDialogThread::THREAD_TYPE kind);
    // Closes the dialogs of a plug-in (all dialogs for null), in the order they were made.
    void TerminateOpenDialogs(void* plugin);
    bool ActiveThreads();

    bool SetProgress(CProgressDlg* dialog, const wchar_t* status, const wchar_t* detail, int percent);
    bool DestroyProgressDlg(CProgressDlg* dialog);

    // ---- for the library's own parts
    // The registry's face of the dialogs: about box, system health, closing a plug-in's dialogs.
    IPluginDialogs& ForRegistry() { return *m_forRegistry; }
    // What the dialogs are built over; the outside caller's constructors of the dialogs use it.
    const dialogs::Context& DialogContext() const { return *m_context; }

private:
    using ThreadList = std::list<std::shared_ptr<CDialogThread>>;
    // Keeps a new thread and lets go of those that have ended; the new thread itself is returned.
    template <class Thread>
    Thread* Keep(std::shared_ptr<Thread> thread);
    // Walks use a copy, which keeps its threads alive until the walk is done.
    ThreadList Threads();
    std::shared_ptr<CDialogThread> FindRunning(void* dialogObject);

    const std::shared_ptr<const dialogs::Context> m_context;
    std::unique_ptr<IPluginDialogs> m_forRegistry;
    ThreadList m_threads;
    zerova::Mutex m_lock;  // m_threads; walks use a copy
};
