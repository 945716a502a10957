// A dialog and the thread it runs on. The five kinds derive from this class.
#pragma once

#include "VarnelAPI.h"
#include "Lock.h"
#include "VarnelPluginAPI.h"
#include "Handles.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class CPlugin;
namespace dialogs {
struct Context;
}

class CDialogThread {
public:
    enum THREAD_TYPE {
        THREAD_ABOUTBOX = 0,
        THREAD_SYSTEMHEALTH = 1,
        THREAD_ADVISORYMSG = 2,
        THREAD_PROGRESSDLG = 3,
        THREAD_SPLASHSCREEN = 4,
        THREAD_NONE = 5
    };

    // The context outlives the thread: the thread holds it until its last line has run.
    explicit CDialogThread(std::shared_ptr<const dialogs::Context> context);
    // Frees the title and the text. Virtual: the manager deletes the derived objects through this class.
    virtual ~CDialogThread();
    CDialogThread(const CDialogThread&) = delete;
    CDialogThread& operator=(const CDialogThread&) = delete;

    // Asks the dialog to close (WM_COMMAND with the kind's command) and waits for the thread's end.
    virtual void TerminateDialog();
    virtual void Run();
    virtual void SetText(wchar_t* text);
    virtual void DeleteDialog();

    bool IsThreadActive();
    // True once the thread has left its procedure for good (or never started): the object may go.
    bool HasEnded() const;
    void WaitForDialogToClose();
    void WaitForThreadToEnd();
    // Until the dialog window stands and reports its start-up done, or the thread has ended.
    void WaitForDialogInit();

    void* GetPluginHandle() const { return m_pluginHandle; }
    CPlugin* GetPlugin() const { return m_plugin; }
    HWND GetDialogWindow() const { return m_dialogWindow; }
    void* GetDialogObject() const { return m_dialogObject; }
    THREAD_TYPE GetKind() const { return m_kind; }
    UINT GetClosingNoticeString() const { return m_closingNoticeString; }
    bool IsStarted() const { return m_started; }
    const wchar_t* GetTitle() const { return m_title; }
    const wchar_t* GetText() const { return m_text.get(); }

protected:
    bool Init(void* plugin, const wchar_t* subfolder, HWND parent, const wchar_t* title, const wchar_t* text);
    bool StartThread();
    void FinishRun();  // closes and clears the thread handle: from then on the thread counts as ended
    void SetDialogObject(void* object) { m_dialogObject = object; }
    const dialogs::Context& Context() const { return *m_context; }

    const std::shared_ptr<const dialogs::Context> m_context;
    void* m_pluginHandle;
    VARNEL_PLUGIN_DATA* m_record;
    CPlugin* m_plugin;
    // The thread's handle while it runs its dialog; null once FinishRun has been called.
    std::atomic<HANDLE> m_thread;
    DWORD m_threadId;
    // The title held by m_ownedTitle; null until Init.
    const wchar_t* m_title;
    // A new[] buffer: SetText overrides adopt the caller's new[] buffer, as the contract of
    // SetText says.
    std::unique_ptr<wchar_t[]> m_text;
    wchar_t m_imagePath[MAX_PATH];
    wchar_t m_subfolder[MAX_PATH];
    HWND m_parent;
    bool m_started;
    HWND m_dialogWindow;
    THREAD_TYPE m_kind;
    UINT m_closingNoticeString;
    void* m_dialogObject;
    // Set by the derived constructors: the command that closes the dialog, and whether the end of
    // the thread may be the last-dialog notice.
    UINT m_closeCommand;
    bool m_notifiesLastThread;
    // Guards the dialog object against its deletion while another thread asks it something.
    zerova::Mutex m_objectLock;

private:
    std::wstring m_ownedTitle;
    // Open until the object goes, also after the run, so that a concurrent liveness test never
    // asks about a handle that was closed (and perhaps reused).
    zerova::UniqueKernelHandle m_threadHandle;
    static DWORD WINAPI ThreadProc(LPVOID argument);
};
