// The dialog thread manager. So far it has no dialogs to close.
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

void CThreadManager::TerminateOpenDialogs(void*) {}
bool CThreadManager::ActiveThreads() { return false; }
