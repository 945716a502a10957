// The system health dialog: a status banner that follows the tray state and one line per
// plug-in, kept current while it is open; a line's state history opens from it.
#pragma once

#include "DialogWindow.h"
#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

#include <memory>

class CDlgSize;
class CListview;
class CImageWindow;
class CImageBlock;
class CStringBlock;
class CStateHistoryDialog;
class IPluginObserver;
class PluginSubscription;
namespace dialogs {
struct Context;
}

class VARNEL_API CSystemHealth : public CDialogWindow<CSystemHealth> {
public:
    // Builds and shows the dialog on the calling thread; no parent window or a null text: error 528.
    CSystemHealth(HWND parent, const wchar_t* text);
    // The same dialog over the dialogs' context, which outlives it.
    CSystemHealth(const dialogs::Context& context, HWND parent, const wchar_t* text);
    ~CSystemHealth();
    CSystemHealth(const CSystemHealth&) = delete;
    CSystemHealth& operator=(const CSystemHealth&) = delete;

    HWND GetHwnd() const { return m_window; }
    CListview* GetListview() const { return m_list.get(); }
    // Redraws the banner for a health state (1 warning, 2 error, anything else all well). On the
    // dialog's thread only; other threads go through the window with the calls below.
    void UpdateHealthStatus(int state);

    // ---- from any thread, by the dialog's window: carried out on the dialog's own thread, so the
    // banner, list and history are never touched while the dialog paints or closes. Nothing
    // happens when the window is gone.
    static void SendTrayState(HWND window, int state);
    // The plug-in's line shows the state (appended when it has none), and an open state history of
    // the same name gets a row. line receives the line's markup; false when the window is gone.
    static bool ShowPluginState(HWND window, void* context, const wchar_t* name, VARNEL_PLUGIN_STATE state,
                                const wchar_t* text, const SYSTEMTIME& when, wchar_t* line, int lineLength);
    // Deletes the line whose first column equals name.
    static bool RemoveLine(HWND window, const wchar_t* name);
    CStateHistoryDialog* GetStateHistoryDialog() const { return m_history; }
    // What the banner shows now.
    const wchar_t* GetBannerTitle() const;
    const wchar_t* GetBannerSubtitle() const;
    const wchar_t* GetBannerIcon() const;
    int GetBannerBlockCount() const;

private:
    friend class CDialogWindow<CSystemHealth>;
    static const wchar_t* ClassProperty();
    static INT_PTR OnEarlyMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnInitDialog(HWND window);
    INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(int command);
    static void OnListClick(void* context, class CListControl* list, HWND window, int line, int reason);
    struct PluginStateNotice;
    void OnPluginState(PluginStateNotice& notice);
    bool OnRemoveLine(const wchar_t* name);
    void EnableHistoryButton();
    void OpenSelectedHistory();

    const dialogs::Context& m_context;
    HWND m_window;
    std::unique_ptr<CDlgSize> m_size;
    std::unique_ptr<CListview> m_list;
    std::unique_ptr<CImageWindow> m_logo;
    // The blocks belong to the image window they were added to.
    CImageBlock* m_logoBlock;
    std::unique_ptr<CImageWindow> m_banner;
    CImageBlock* m_bannerBlock;
    CImageBlock* m_stateIcon;
    CStringBlock* m_title;
    CStringBlock* m_subtitle;
    // The open state history: a local of the double-click handler, not owned here.
    CStateHistoryDialog* volatile m_history;
    // Subscribed to the plug-in registry while the dialog stands.
    std::shared_ptr<IPluginObserver> m_observer;
    std::unique_ptr<PluginSubscription> m_subscription;
};
