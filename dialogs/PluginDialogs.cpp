#include "PluginDialogs.h"

#include "PluginEvents.h"
#include "SystemHealth.h"
#include "ThreadManager.h"

namespace {
class ThreadManagerDialogs final : public IPluginDialogs {
public:
    bool ShowAboutBox(HWND parent, const wchar_t* text) override
    {
        return CThreadManager::Instance()->CreateAboutBoxThread(VARNEL_MAIN_APP_HANDLE, parent, text);
    }
    bool ShowSystemHealth(HWND parent, const wchar_t* text) override
    {
        return CThreadManager::Instance()->CreateSystemHealthThread(VARNEL_MAIN_APP_HANDLE, parent, text);
    }
    void CloseDialogsOf(void* handle) override { CThreadManager::Instance()->TerminateOpenDialogs(handle); }
    bool RemoveHealthLine(const wchar_t* key) override
    {
        HWND health = CThreadManager::Instance()->FindExistingDialog(CDialogThread::THREAD_SYSTEMHEALTH, nullptr);
        return health != nullptr && CSystemHealth::RemoveLine(health, key);
    }
};
}  // namespace

IPluginDialogs& dialogs::PluginDialogs()
{
    // Never destroyed: the registry may use it until the process ends.
    static auto* instance = new ThreadManagerDialogs();
    return *instance;
}
