#include "SystemHealth.h"

#include "DebugTrace.h"
#include "DialogCommon.h"
#include "DialogContext.h"
#include "TrayConstants.h"
#include "Dpi.h"
#include "DlgSize.h"
#include "ImageWindow.h"
#include "ListControl.h"
#include "PluginInterface.h"
#include "SafeString.h"
#include "StateHistoryDialog.h"
#include "Win32.h"

#include <commctrl.h>

#include <cwchar>

namespace {
const wchar_t kClassProperty[] = L"SystemHealthClassPtr";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Zerova\\Varnel\\SystemHealth";
const UINT kTemplate = 702;
const int kLogo = 1013;
const int kBanner = 1006;
const int kList = 1000;
const int kHistory = 5001;
const int kCopy = 1004;
const int kDoubleClick = 2;
const int kRowHeight = 22;
// Requests from other threads, carried out on the dialog's thread.
const UINT kShowTrayStateMessage = WM_APP + 40;
const UINT kShowPluginStateMessage = WM_APP + 41;
const UINT kRemoveLineMessage = WM_APP + 42;

const CDlgSize::RESIZE_DATA kResize[] = {{kLogo, 0, 0, 1, 0, {}},   {kBanner, 0, 0, 1, 0, {}}, {kList, 0, 0, 1, 1, {}},
                                         {IDOK, 1, 1, 0, 0, {}},    {kHistory, 0, 1, 0, 0, {}}, {kCopy, 0, 1, 0, 0, {}},
                                         {-1, 0, 0, 0, 0, {}}};

// Carries the registry's news to the dialog's window; the window takes it on its own thread.
class HealthWindowObserver final : public IPluginObserver {
public:
    explicit HealthWindowObserver(HWND window) : m_window(window) {}
    void PluginStateChanged(const VarnelPluginStateChange& change) override
    {
        wchar_t line[2048] = L"";
        if (CSystemHealth::ShowPluginState(m_window, change.context, change.name, change.state, change.text,
                                           change.when, line, 2048) &&
            line[0] != L'\0')
            ZEROVA_TRACE(4, static_cast<const wchar_t*>(line));
    }
    void TrayStateChanged(VARNEL_PLUGIN_STATE state) override { CSystemHealth::SendTrayState(m_window, state); }

private:
    HWND m_window;
};

int StateOfText(const wchar_t* text)
{
    if (text == nullptr) return 0;
    if (wcsstr(text, L"|error|") != nullptr) return VARNEL_PLUGIN_STATE_ERROR;
    if (wcsstr(text, L"|warning|") != nullptr) return VARNEL_PLUGIN_STATE_WARNING;
    return VARNEL_PLUGIN_STATE_OK;
}
}  // namespace

CSystemHealth::CSystemHealth(const dialogs::Context& context, HWND parent, const wchar_t* text)
    : m_context(context), m_window(nullptr), m_logoBlock(nullptr), m_bannerBlock(nullptr), m_stateIcon(nullptr),
      m_title(nullptr),
      m_subtitle(nullptr), m_history(nullptr)
{
    if (!::IsWindow(parent) || text == nullptr) {
        dialogs::ReportCannotBuild(m_context);
        return;
    }
    dialogs::InitListControls();
    {
        const zerova::PerMonitorDpiScope perMonitor;
        CreateModeless(m_context.support.texts->GethInstance(), kTemplate, parent);
    }
    if (m_window == nullptr) return;

    wchar_t component[MAX_PATH], state[MAX_PATH];
    m_context.support.Text(324, component, MAX_PATH);
    m_context.support.Text(325, state, MAX_PATH);
    const CListControl::TAB_DATA columns[] = {{component, 200, 0, 0}, {state, 200, 0, 0}};
    m_list = std::make_unique<CListview>();
    m_list->SetHighlight(true);
    m_list->SetClickCallbackProc(this, &CSystemHealth::OnListClick);
    m_list->Init(::GetDlgItem(m_window, kList), columns, 2, kSettingsKey, 0);
    m_list->AddLines(text);

    m_logo = std::make_unique<CImageWindow>(::GetDlgItem(m_window, kLogo));
    m_banner = std::make_unique<CImageWindow>(::GetDlgItem(m_window, kBanner));
    wchar_t logo[MAX_PATH], background[MAX_PATH];
    const bool haveLogo = dialogs::ImagePath(m_context, L"gradated_background_with_zerova_logo.png", logo);
    const bool haveBackground = dialogs::ImagePath(m_context, L"gradated_background.png", background);
    if (haveLogo && haveBackground) {
        m_logoBlock = dialogs::AddFittedImage(m_window, kLogo, m_logo.get(), logo, 8);
        m_bannerBlock = dialogs::AddFittedImage(m_window, kBanner, m_banner.get(), background, 12);
        const RECT logoRect = dialogs::ChildRect(m_window, kLogo);
        const RECT bannerRect = dialogs::ChildRect(m_window, kBanner);
        ::SetWindowPos(::GetDlgItem(m_window, kBanner), nullptr, bannerRect.left, logoRect.bottom, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        dialogs::PlaceBelow(m_window, kBanner, kList, 20);
    }
    UpdateHealthStatus(StateOfText(text));
    m_size = std::make_unique<CDlgSize>();
    m_size->Load(m_window, kResize, kSettingsKey);
    m_size->SetBrushColor(0xFFFFFF);
    EnableHistoryButton();
    ::ShowWindow(m_window, SW_SHOW);
    ::SetWindowPos(m_window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    m_observer = std::make_shared<HealthWindowObserver>(m_window);
    m_subscription = std::make_unique<PluginSubscription>(m_context.registry->Observe(m_observer));
    CWin32::EmptyMessages(m_window, 10);
}

CSystemHealth::~CSystemHealth()
{
    m_subscription.reset();  // also when the registry has gone already
    // In this order, not the reverse of the declarations.
    m_size.reset();
    m_list.reset();
    m_logo.reset();
    m_banner.reset();
    m_window = nullptr;
}

void CSystemHealth::UpdateHealthStatus(int state)
{
    if (m_banner == nullptr) return;
    int width = 0, height = 0;
    m_banner->GetBackgroundImageDimensions(width, height);
    const wchar_t* iconName = state == VARNEL_PLUGIN_STATE_WARNING ? L"system_status_warning_medium.png"
                              : state == VARNEL_PLUGIN_STATE_ERROR ? L"system_status_error_medium.png"
                                                                   : L"system_status_ok_medium.png";
    wchar_t icon[MAX_PATH];
    if (dialogs::ImagePath(m_context, iconName, icon)) {
        if (m_stateIcon == nullptr) {
            const RECT place{22, 0, 22 + 64, height > 0 ? height : 50};
            m_stateIcon = new CImageBlock(icon, &place, 0, 0);
            m_banner->AddImageBlock(m_stateIcon);
        } else {
            m_stateIcon->SetImage(icon);
        }
    }
    wchar_t title[MAX_PATH], subtitle[MAX_PATH];
    if (state == VARNEL_PLUGIN_STATE_WARNING || state == VARNEL_PLUGIN_STATE_ERROR) {
        m_context.support.Text(tray::kAttentionTitleString, title, MAX_PATH);
        m_context.support.Text(332, subtitle, MAX_PATH);
    } else {
        wchar_t format[MAX_PATH], working[MAX_PATH];
        m_context.support.Text(tray::kStateTitleFormatString, format, MAX_PATH);
        m_context.support.Text(tray::kEverythingWorkingString, working, MAX_PATH);
        zerova::FormatString(title, MAX_PATH, format, working);
        m_context.support.Text(333, subtitle, MAX_PATH);
    }
    if (m_title == nullptr) {
        m_title = new CStringBlock(title, RECT{120, 14, 120 + 306, 14 + 52}, 0xFFFFFFFF, L"Trebuchet MS", 20.0f, 0, 2, 1);
        m_banner->AddStringBlock(m_title);
    } else {
        m_title->SetText(title);
    }
    if (m_subtitle == nullptr) {
        m_subtitle =
            new CStringBlock(subtitle, RECT{120, 66, 120 + 390, 66 + 40}, 0xFFC0C0C0, L"Trebuchet MS", 12.0f, 0, 1, 0);
        m_banner->AddStringBlock(m_subtitle);
    } else {
        m_subtitle->SetText(subtitle);
    }
    m_banner->Invalidate();
}

struct CSystemHealth::PluginStateNotice {
    void* context;
    const wchar_t* name;
    VARNEL_PLUGIN_STATE state;
    const wchar_t* text;
    SYSTEMTIME when;
    wchar_t* line;
    int lineLength;
};

void CSystemHealth::SendTrayState(HWND window, int state)
{
    if (::IsWindow(window)) ::SendMessageW(window, kShowTrayStateMessage, static_cast<WPARAM>(state), 0);
}

bool CSystemHealth::ShowPluginState(HWND window, void* context, const wchar_t* name, VARNEL_PLUGIN_STATE state,
                                    const wchar_t* text, const SYSTEMTIME& when, wchar_t* line, int lineLength)
{
    if (!::IsWindow(window) || zerova::IsEmpty(name) || line == nullptr || lineLength < 1) return false;
    line[0] = L'\0';
    PluginStateNotice notice{context, name, state, text != nullptr ? text : L"", when, line, lineLength};
    return ::SendMessageW(window, kShowPluginStateMessage, 0, reinterpret_cast<LPARAM>(&notice)) != 0;
}

bool CSystemHealth::RemoveLine(HWND window, const wchar_t* name)
{
    if (!::IsWindow(window) || zerova::IsEmpty(name)) return false;
    return ::SendMessageW(window, kRemoveLineMessage, 0, reinterpret_cast<LPARAM>(name)) != 0;
}

void CSystemHealth::OnPluginState(PluginStateNotice& notice)
{
    if (m_list != nullptr) {
        const int index = m_list->FindLine(notice.name, false);
        const int row = index >= 0 ? index + 1 : m_list->GetLineCount() + 1;
        CPluginInterface::AppendHealthLine(notice.line, notice.lineLength, notice.context, notice.name, notice.state,
                                           notice.text, row);
        if (index >= 0) m_list->ReplaceLine(index, notice.line);
        else m_list->AppendLine(notice.line);
    }
    if (m_history != nullptr) {
        wchar_t shown[MAX_PATH];
        m_history->GetPluginName(shown, MAX_PATH);
        if (zerova::EqualsNoCase(shown, notice.name)) m_history->AddState(notice.state, notice.when, notice.text);
    }
}

bool CSystemHealth::OnRemoveLine(const wchar_t* name)
{
    if (m_list == nullptr) return false;
    const int index = m_list->FindLine(name, false);
    return index != -1 && m_list->DeleteLine(index);
}

const wchar_t* CSystemHealth::GetBannerTitle() const { return m_title != nullptr ? m_title->GetText() : L""; }
const wchar_t* CSystemHealth::GetBannerSubtitle() const { return m_subtitle != nullptr ? m_subtitle->GetText() : L""; }
const wchar_t* CSystemHealth::GetBannerIcon() const { return m_stateIcon != nullptr ? m_stateIcon->GetImage() : L""; }

int CSystemHealth::GetBannerBlockCount() const
{
    return m_banner != nullptr ? m_banner->GetImageBlockCount() + m_banner->GetStringBlockCount() : 0;
}

void CSystemHealth::EnableHistoryButton()
{
    const LRESULT selected = ::SendDlgItemMessageW(m_window, kList, LVM_GETSELECTEDCOUNT, 0, 0);
    ::EnableWindow(::GetDlgItem(m_window, kHistory), selected != 0);
}

void CSystemHealth::OpenSelectedHistory()
{
    if (m_list == nullptr) return;
    wchar_t name[MAX_PATH] = L"";
    INT_PTR context = 0;
    if (m_list->GetSelection(name, MAX_PATH, &context) < 0 || context == 0) return;
    // Modal on this thread; the reference is cleared before the dialog object goes.
    CStateHistoryDialog history(m_context, m_window, reinterpret_cast<CPlugin*>(context), name,
                                const_cast<CStateHistoryDialog**>(&m_history));
    m_history = nullptr;
}

void CSystemHealth::OnListClick(void* context, CListControl*, HWND, int, int reason)
{
    if (reason == kDoubleClick) static_cast<CSystemHealth*>(context)->OpenSelectedHistory();
}

const wchar_t* CSystemHealth::ClassProperty() { return kClassProperty; }

INT_PTR CSystemHealth::OnEarlyMessage(HWND window, UINT message, WPARAM, LPARAM lParam)
{
    return dialogs::MeasureRows(window, message, lParam, kRowHeight);
}

INT_PTR CSystemHealth::OnInitDialog(HWND window)
{
    dialogs::AttachDialog(m_context, window);
    m_window = window;
    return TRUE;
}

void CSystemHealth::OnCommand(int command)
{
    switch (command) {
    case kHistory:
        OpenSelectedHistory();
        break;
    case kCopy:
        dialogs::CopyAllLines(m_window, m_list.get());
        break;
    case IDOK:
    case IDCANCEL:
        dialogs::CloseListDialog(m_context, m_window, m_size.get(), m_list.get());
        break;
    default:
        break;
    }
}

INT_PTR CSystemHealth::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NOTIFY) {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header != nullptr && header->code == LVN_ITEMCHANGED) EnableHistoryButton();
    }
    INT_PTR result = FALSE;
    if (dialogs::HandleListDialogMessage(window, message, wParam, lParam, m_list.get(), &result)) return result;
    switch (message) {
    case WM_MEASUREITEM:
        return OnEarlyMessage(window, message, wParam, lParam);
    case kShowTrayStateMessage:
        UpdateHealthStatus(static_cast<int>(wParam));
        return TRUE;
    case kShowPluginStateMessage:
        OnPluginState(*reinterpret_cast<PluginStateNotice*>(lParam));
        return Answer(window, 1);
    case kRemoveLineMessage:
        return Answer(window, OnRemoveLine(reinterpret_cast<const wchar_t*>(lParam)));
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}
