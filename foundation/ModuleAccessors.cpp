// The contract's ways in for callers outside the library: the static Instance() accessors of the
// parts, the statics and constructors that the contract gives no part to work on. Each answers
// with the module's part, making the module on first use. The library's own parts never call
// these: they are handed what they need when the module builds them.
#include "OXIL_dllmain.h"

#include "DialogContext.h"
#include "HistoryFile.h"

#include "AboutBox.h"
#include "AdvisoryMsg.h"
#include "Plugin.h"
#include "PluginInterface.h"
#include "PluginStateHistory.h"
#include "ProgressDlg.h"
#include "StateHistoryDialog.h"
#include "StationDesktopUtils.h"
#include "SystemHealth.h"
#include "ThreadManager.h"
#include "VarnelMenuUtils.h"
#include "VarnelPrivateInterface.h"
#include "VarnelUtils.h"

namespace {
COXIL_DllMain& Module() { return *COXIL_DllMain::Instance(); }
const dialogs::Context& DialogContext() { return Module().Dialogs().DialogContext(); }
}  // namespace

// ---------------------------------------------------------------- the parts

CPluginInterface* CPluginInterface::Instance() { return &Module().Registry(); }
CVarnelMenuUtils* CVarnelMenuUtils::Instance() { return &Module().MenuModel(); }
CThreadManager* CThreadManager::Instance() { return &Module().Dialogs(); }
CVarnelPrivateInterface* CVarnelPrivateInterface::Instance() { return &Module().PrivateInterface(); }
CVarnelUtils* CVarnelUtils::Instance() { return &Module().Utilities(); }
CStationDesktopUtils* CStationDesktopUtils::Instance() { return &Module().Walker(); }

// ---------------------------------------------------------------- objects made by outside callers

CPlugin::CPlugin() : CPlugin(Module().Registry()) {}

CPluginStateHistory::CPluginStateHistory(const wchar_t* name) : CPluginStateHistory(Module().Registry().History(), name)
{
}

void CPluginStateHistory::DeleteHistoryFile() { Module().Registry().History().Delete(); }

CAboutBox::CAboutBox(HWND parent, const wchar_t* text) : CAboutBox(DialogContext(), parent, text) {}

CSystemHealth::CSystemHealth(HWND parent, const wchar_t* text) : CSystemHealth(DialogContext(), parent, text) {}

CStateHistoryDialog::CStateHistoryDialog(HWND parent, CPlugin* plugin, const wchar_t* name,
                                         CStateHistoryDialog** current)
    : CStateHistoryDialog(DialogContext(), parent, plugin, name, current)
{
}

CProgressDlg::CProgressDlg(HWND parent, const wchar_t* title, PROGRESS_BAR_DLG_TYPE type, void (*cancel)(void*),
                           void* cookie, int autoCloseMs)
    : CProgressDlg(DialogContext(), parent, title, type, cancel, cookie, autoCloseMs)
{
}

CAdvisoryMsg::CAdvisoryMsg() : CAdvisoryMsg(DialogContext()) {}

// ---------------------------------------------------------------- the GUI folders of the module

wchar_t* CVarnelPrivateInterface::GetGUIRootFolder(wchar_t* buffer, int length)
{
    return Module().PrivateInterface().LookUpGUIRootFolder(buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetImagesFolder(const wchar_t* subfolder, wchar_t* buffer, int length)
{
    return Module().PrivateInterface().LookUpImagesFolder(subfolder, buffer, length);
}

wchar_t* CVarnelPrivateInterface::GetImageFilename(const wchar_t* subfolder, const wchar_t* file, wchar_t* buffer,
                                                   int length)
{
    return Module().PrivateInterface().LookUpImageFilename(subfolder, file, buffer, length);
}
