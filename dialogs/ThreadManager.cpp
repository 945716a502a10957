// The dialog thread manager. Stand-in until the dialogs are part of the library: it starts no
// dialog, finds none and has none to close.
#include "ThreadManager.h"

namespace {
CThreadManager* g_instance = nullptr;
}

CThreadManager* CThreadManager::Instance()
{
    if (g_instance == nullptr) g_instance = new CThreadManager();
    return g_instance;
}

CThreadManager::~CThreadManager()
{
    if (g_instance == this) g_instance = nullptr;
}

bool CThreadManager::CreateAdvisoryMsgThread(void*, const wchar_t*, HWND, const wchar_t*, const wchar_t*,
                                             ADVISORY_MSG_TYPE, ADVISORY_MSG_BUTTONS, bool, void*, bool)
{
    return false;
}

CProgressDlg* CThreadManager::CreateProgressDlgThread(void*, HWND, const wchar_t*, PROGRESS_BAR_DLG_TYPE,
                                                      void (*)(void*), void*, int)
{
    return nullptr;
}

void* CThreadManager::FindExistingDialog(void*) { return nullptr; }
bool CThreadManager::DestroyProgressDlg(CProgressDlg*) { return false; }
void CThreadManager::TerminateOpenDialogs(void*) {}
bool CThreadManager::ActiveThreads() { return false; }
