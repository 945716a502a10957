// The thread of the system health dialog.
#pragma once

#include "DialogThread.h"

#include <memory>

class CSystemHealth;

class CSystemHealthThread : public CDialogThread {
public:
    CSystemHealthThread(std::shared_ptr<const dialogs::Context> context, void* plugin, HWND parent,
                        const wchar_t* text);
    ~CSystemHealthThread() override;
    void Run() override;
    void SetText(wchar_t* text) override;
    void DeleteDialog() override;

private:
    std::unique_ptr<CSystemHealth> m_health;  // the dialog; m_dialogObject points at it while it stands
};
