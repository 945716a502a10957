// What the dialogs use of the parts below them: the thread manager makes one context, hands it to
// every dialog thread it starts, and the threads hand it to their dialogs. A thread keeps it alive
// for as long as it runs, also past its manager.
#pragma once

#include "Lock.h"
#include "SupportServices.h"

#include <memory>

class CPluginInterface;
class CThreadManager;
class CVarnelMenuUtils;
namespace menu {
class TrayResources;
}

namespace dialogs {

// The notice that the last dialog thread has ended, which a thread gives after its object may be
// gone: it reaches the manager and the host's main window only while the manager stands.
class LastThreadNotice {
public:
    LastThreadNotice(CThreadManager& manager, CVarnelMenuUtils& menu) : m_manager(&manager), m_menu(&menu) {}
    // Posts WM_TIMER (0, 0) to the tray host's main window when no dialog thread runs any more.
    void ThreadEnded();
    // The manager goes: later notices do nothing.
    void Cut();

private:
    zerova::Mutex m_lock;  // the two pointers; taken before the manager's thread list lock
    CThreadManager* m_manager;
    CVarnelMenuUtils* m_menu;
};

struct Context {
    zerova::SupportServices support;
    menu::TrayResources* tray;
    CPluginInterface* registry;
    CThreadManager* manager;
    std::shared_ptr<LastThreadNotice> lastThread;
};

}  // namespace dialogs
