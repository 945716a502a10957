// The state history of one plug-in: a modal list of every recorded state change, oldest first,
// kept current while it is open.
#pragma once

#include "DialogWindow.h"
#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include "Lock.h"

#include <memory>
#include <string>

class CDlgSize;
class CListview;
class CPlugin;
namespace dialogs {
struct Context;
}

class VARNEL_API CStateHistoryDialog : public CDialogWindow<CStateHistoryDialog> {
public:
    // Runs the dialog and returns when it has been closed; *current is this object while it is
    // open. No plug-in, parent window or name: error 528, no dialog.
    CStateHistoryDialog(HWND parent, CPlugin* plugin, const wchar_t* name, CStateHistoryDialog** current);
    // The same dialog over the dialogs' context, which outlives it.
    CStateHistoryDialog(const dialogs::Context& context, HWND parent, CPlugin* plugin, const wchar_t* name,
                        CStateHistoryDialog** current);
    ~CStateHistoryDialog();
    CStateHistoryDialog(const CStateHistoryDialog&) = delete;
    CStateHistoryDialog& operator=(const CStateHistoryDialog&) = delete;

    CListview* GetListview() const { return m_list.get(); }
    HWND GetHwnd() const { return m_window; }
    void GetPluginName(wchar_t* buffer, int length) const;
    // Adds one row for a new state of the plug-in.
    void AddState(VARNEL_PLUGIN_STATE state, SYSTEMTIME time, const wchar_t* text);
    // One history row in the list markup, appended to buffer.
    static void AppendHistoryRow(wchar_t* buffer, int length, VARNEL_PLUGIN_STATE state, const SYSTEMTIME& time,
                                 const wchar_t* text);

private:
    friend class CDialogWindow<CStateHistoryDialog>;
    static const wchar_t* ClassProperty();
    static INT_PTR OnEarlyMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnInitDialog(HWND window);
    INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Start(HWND window);
    // The plug-in's rows of the history file, in the list markup.
    std::wstring ReadHistoryRows();
    void OnCommand(int command);

    const dialogs::Context& m_context;
    HWND m_window;
    std::unique_ptr<CDlgSize> m_size;
    std::unique_ptr<CListview> m_list;
    CPlugin* m_plugin;
    wchar_t m_name[MAX_PATH];
    // The list while it is filled, added to or emptied; nothing that may come back to the dialog
    // runs under it.
    zerova::Mutex m_lock;
};
