#include "DialogThread.h"
#include "DialogContext.h"
#include "TrayResources.h"

#include "AlphaChannelWindow.h"
#include "Dpi.h"
#include "Lock.h"
#include "PluginInterface.h"
#include "SafeString.h"
#include "Win32.h"

#include <cwchar>

namespace {
const int kPumpWaitMs = 10;

std::unique_ptr<wchar_t[]> NewCopy(const wchar_t* text)
{
    const size_t length = wcslen(text);
    auto copy = std::make_unique<wchar_t[]>(length + 1);
    wmemcpy(copy.get(), text, length + 1);
    return copy;
}
}  // namespace

CDialogThread::CDialogThread(std::shared_ptr<const dialogs::Context> context)
    : m_context(std::move(context)), m_pluginHandle(nullptr), m_record(nullptr), m_plugin(nullptr), m_thread(nullptr),
      m_threadId(0),
      m_title(nullptr), m_text(), m_imagePath(), m_subfolder(), m_parent(nullptr), m_started(false),
      m_dialogWindow(nullptr), m_kind(THREAD_NONE), m_closingNoticeString(0), m_dialogObject(nullptr),
      m_closeCommand(IDCANCEL), m_notifiesLastThread(true), m_threadHandle()
{
}

CDialogThread::~CDialogThread() = default;

void CDialogThread::TerminateDialog()
{
    if (!::IsWindow(m_dialogWindow)) return;
    ::PostMessageW(m_dialogWindow, WM_COMMAND, m_closeCommand, 0);
    WaitForThreadToEnd();
}

void CDialogThread::Run() {}
void CDialogThread::SetText(wchar_t*) {}
void CDialogThread::DeleteDialog() {}

bool CDialogThread::Init(void* plugin, const wchar_t* subfolder, HWND parent, const wchar_t* title, const wchar_t* text)
{
    if (plugin != nullptr && !CPluginInterface::IsMainApp(plugin)) {
        if (!m_context->registry->ValidatePlugin(plugin, &m_record, &m_plugin, false)) return false;
    }
    m_parent = parent;
    m_pluginHandle = plugin;
    if (m_plugin == nullptr) m_record = nullptr;
    m_ownedTitle = zerova::IsEmpty(title) ? L"empty" : title;
    m_title = m_ownedTitle.c_str();
    m_text = NewCopy(text == nullptr ? L"empty" : text);
    if (!zerova::IsEmpty(subfolder)) zerova::CopyString(m_subfolder, MAX_PATH, subfolder);
    else m_context->tray->GetGuiSubfolder(m_subfolder, MAX_PATH);
    return true;
}

bool CDialogThread::StartThread()
{
    m_threadHandle.Reset(::CreateThread(nullptr, 0, &CDialogThread::ThreadProc, this, 0, &m_threadId));
    m_thread = m_threadHandle.Get();
    m_started = m_threadHandle.Valid();
    return m_started;
}

DWORD WINAPI CDialogThread::ThreadProc(LPVOID argument)
{
    auto* self = static_cast<CDialogThread*>(argument);
    if (self == nullptr) return 0;
    const bool notify = self->m_notifiesLastThread;
    // Held past the object, which may be deleted by the time the run returns.
    const std::shared_ptr<const dialogs::Context> context = self->m_context;
    {
        // The dialogs the library draws itself follow the DPI of the screen they stand on.
        const zerova::PerMonitorDpiScope perMonitor;
        self->Run();
    }
    // From here on the object may already be deleted: its thread counts as ended.
    if (notify) context->lastThread->ThreadEnded();
    return 0;
}

void CDialogThread::FinishRun()
{
    m_thread = nullptr;
}

bool CDialogThread::IsThreadActive()
{
    HANDLE thread = m_thread;
    DWORD code = 0;
    return thread != nullptr && ::GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
}

bool CDialogThread::HasEnded() const
{
    return !m_threadHandle || ::WaitForSingleObject(m_threadHandle.Get(), 0) == WAIT_OBJECT_0;
}

void CDialogThread::WaitForDialogToClose()
{
    while (::IsWindow(m_dialogWindow)) CWin32::EmptyMessages(m_dialogWindow, kPumpWaitMs);
}

void CDialogThread::WaitForThreadToEnd()
{
    while (IsThreadActive()) CWin32::EmptyMessages(m_dialogWindow, kPumpWaitMs);
}

void CDialogThread::WaitForDialogInit()
{
    while (!(::IsWindow(m_dialogWindow) && m_dialogObject != nullptr)) {
        if (!IsThreadActive()) return;  // the message never came up
        CWin32::EmptyMessages(m_dialogWindow, kPumpWaitMs);
    }
    if (m_kind != THREAD_ADVISORYMSG) return;
    for (;;) {
        {
            std::lock_guard<zerova::Mutex> guard(m_objectLock);
            auto* window = static_cast<CAlphaChannelWindow*>(m_dialogObject);
            if (window == nullptr || !::IsWindow(m_dialogWindow) || window->InitCompleted()) return;
        }
        CWin32::EmptyMessages(m_dialogWindow, kPumpWaitMs);
    }
}

