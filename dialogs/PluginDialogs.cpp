#include "PluginDialogs.h"

#include "PluginEvents.h"
#include "SystemHealth.h"
#include "ThreadManager.h"

namespace {
class ThreadManagerDialogs final : public IPluginDialogs {
public:
    explicit ThreadManagerDialogs(CThreadManager& manager) : m_manager(manager) {}

    bool ShowAboutBox(HWND parent, const wchar_t* text) override
    {
        return m_manager.CreateAboutBoxThread(VARNEL_MAIN_APP_HANDLE, parent, text);
    }
    bool ShowSystemHealth(HWND parent, const wchar_t* text) override
    {
        return m_manager.CreateSystemHealthThread(VARNEL_MAIN_APP_HANDLE, parent, text);
    }
    void CloseDialogsOf(void* handle) override { m_manager.TerminateOpenDialogs(handle); }
    bool RemoveHealthLine(const wchar_t* key) override
    {
        HWND health = m_manager.FindExistingDialog(CDialogThread::THREAD_SYSTEMHEALTH, nullptr);
        return health != nullptr && CSystemHealth::RemoveLine(health, key);
    }

private:
    CThreadManager& m_manager;
};
}  // namespace

std::unique_ptr<IPluginDialogs> dialogs::MakePluginDialogs(CThreadManager& manager)
{
    return std::make_unique<ThreadManagerDialogs>(manager);
}
