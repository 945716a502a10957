// The state history of one plug-in: a modal list of every recorded state change, oldest first,
// kept current while it is open.
#pragma once

#include "DialogWindow.h"
#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include <memory>

class CDlgSize;
class CListview;
class CPlugin;
class CCriticalSectionEx;

class VARNEL_API CStateHistoryDialog : public CDialogWindow<CStateHistoryDialog> {
public:
    // Runs the dialog and returns when it has been closed; *current is this object while it is
    // open. No plug-in, parent window or name: error 528, no dialog.
    CStateHistoryDialog(HWND parent, CPlugin* plugin, const wchar_t* name, CStateHistoryDialog** current);
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
    void OnCommand(int command);

    HWND m_window;
    std::unique_ptr<CDlgSize> m_size;
    std::unique_ptr<CListview> m_list;
    CPlugin* m_plugin;
    wchar_t m_name[MAX_PATH];
    std::unique_ptr<CCriticalSectionEx> m_lock;
};
