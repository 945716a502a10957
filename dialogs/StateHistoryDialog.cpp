#include "StateHistoryDialog.h"

#include "DateTime.h"
#include "DialogCommon.h"
#include "DialogContext.h"
#include "HistoryFile.h"
#include "PluginInterface.h"
#include "TrayConstants.h"
#include "Dpi.h"
#include "DlgSize.h"
#include "ListControl.h"
#include "Localize.h"
#include "PluginStateHistory.h"
#include "SafeString.h"
#include "Win32.h"

#include <mutex>
#include <string>

namespace {
const wchar_t kClassProperty[] = L"StateHistoryDialogClassPtr";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Zerova\\Varnel\\StateHistoryDialog";
const UINT kTemplate = 703;
const int kList = 1000;
const int kCopy = 1004;
const int kClear = 1005;
const int kRowCapacity = 2048;
const int kRowHeight = 22;

const CDlgSize::RESIZE_DATA kResize[] = {
    {kList, 0, 0, 1, 1, {}}, {kCopy, 0, 1, 0, 0, {}}, {kClear, 0, 1, 0, 0, {}}, {IDOK, 1, 1, 0, 0, {}}, {-1, 0, 0, 0, 0, {}}};

}  // namespace

void CStateHistoryDialog::AppendHistoryRow(wchar_t* buffer, int length, VARNEL_PLUGIN_STATE state,
                                           const SYSTEMTIME& time, const wchar_t* text)
{
    if (buffer == nullptr || length < 1 || text == nullptr) return;
    wchar_t when[MAX_PATH] = L"";
    CDateTime::FormatDateTime(time, when, MAX_PATH);
    const bool attention = state == VARNEL_PLUGIN_STATE_WARNING || state == VARNEL_PLUGIN_STATE_ERROR;
    wchar_t shown[MAX_PATH];
    // A static of the contract: the language module is the support library's own.
    if (text[0] == L'\0' || state == VARNEL_PLUGIN_STATE_OK)
        CLocalize::Instance()->GetString(tray::kEverythingWorkingString, shown, MAX_PATH);
    else zerova::CopyString(shown, MAX_PATH, text);
    const wchar_t* status = state == VARNEL_PLUGIN_STATE_WARNING ? L"|warning|"
                            : state == VARNEL_PLUGIN_STATE_ERROR ? L"|error|"
                                                                 : L"|OK|";
    wchar_t row[1024];
    zerova::FormatString(row, 1024, L"%s%s%s\t%s%s%s\r\n", L"|OK|", L"|font=NORMAL|", when, status,
                         attention ? L"|font=BOLD|" : L"|font=NORMAL|", shown);
    zerova::AppendString(buffer, length, row);
}

CStateHistoryDialog::CStateHistoryDialog(const dialogs::Context& context, HWND parent, CPlugin* plugin,
                                         const wchar_t* name, CStateHistoryDialog** current)
    : m_context(context), m_window(nullptr), m_plugin(nullptr), m_name(), m_lock()
{
    if (current != nullptr) *current = nullptr;
    if (plugin == nullptr || !::IsWindow(parent) || zerova::IsEmpty(name)) {
        dialogs::ReportCannotBuild(m_context);
        return;
    }
    m_plugin = plugin;
    zerova::CopyString(m_name, MAX_PATH, name);
    if (current != nullptr) *current = this;
    dialogs::InitListControls();
    {
        const zerova::PerMonitorDpiScope perMonitor;
        RunModal(m_context.support.texts->GethInstance(), kTemplate, parent);
    }
}

CStateHistoryDialog::~CStateHistoryDialog()
{
    // In this order, not the reverse of the declarations.
    m_size.reset();
    m_list.reset();
    m_window = nullptr;
}

void CStateHistoryDialog::GetPluginName(wchar_t* buffer, int length) const
{
    if (buffer == nullptr || length < 1) return;
    zerova::CopyString(buffer, length, m_name);
}

// Read before the list's lock is taken: the read may report lost lines to the error loggers, whose
// state changes come back to an open system health dialog on this thread, and so to AddState.
std::wstring CStateHistoryDialog::ReadHistoryRows()
{
    std::wstring history;
    if (m_plugin == nullptr) return history;
    CPluginStateHistory reader(m_context.registry->History(), m_name);
    reader.Read();
    const int count = reader.GetNumHistoricalStateEntries();
    for (int i = 0; i < count; ++i) {
        VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
        wchar_t text[MAX_PATH];
        SYSTEMTIME time{};
        if (!reader.GetHistoricalState(&state, text, MAX_PATH, &time)) continue;
        wchar_t row[kRowCapacity] = L"";
        AppendHistoryRow(row, kRowCapacity, state, time, text);
        if (row[0] != L'\0') history += row;
    }
    return history;
}

void CStateHistoryDialog::Start(HWND window)
{
    const std::wstring history = ReadHistoryRows();
    std::lock_guard<zerova::Mutex> guard(m_lock);
    m_window = window;
    ::ShowWindow(::GetDlgItem(window, kClear), SW_HIDE);
    wchar_t title[MAX_PATH] = L"";
    ::GetWindowTextW(window, title, MAX_PATH);
    zerova::AppendString(title, MAX_PATH, L" - ");
    zerova::AppendString(title, MAX_PATH, m_name);
    ::SetWindowTextW(window, title);

    wchar_t dateTitle[MAX_PATH], stateTitle[MAX_PATH];
    m_context.support.Text(329, dateTitle, MAX_PATH);
    m_context.support.Text(325, stateTitle, MAX_PATH);
    const CListControl::TAB_DATA columns[] = {{dateTitle, 200, 0, 0}, {stateTitle, 200, 0, 0}};
    m_list = std::make_unique<CListview>();
    m_list->SetHighlight(true);
    m_list->Init(::GetDlgItem(window, kList), columns, 2, kSettingsKey, 0);
    m_list->AddLines(history.c_str());
    m_size = std::make_unique<CDlgSize>();
    m_size->Load(window, kResize, kSettingsKey);
}

void CStateHistoryDialog::AddState(VARNEL_PLUGIN_STATE state, SYSTEMTIME time, const wchar_t* text)
{
    if (text == nullptr || m_list == nullptr) return;
    std::lock_guard<zerova::Mutex> guard(m_lock);
    wchar_t row[kRowCapacity] = L"";
    AppendHistoryRow(row, kRowCapacity, state, time, text);
    m_list->AppendLine(row);
}

void CStateHistoryDialog::OnCommand(int command)
{
    if (command == kCopy) {
        dialogs::CopyAllLines(m_window, m_list.get());
    } else if (command == kClear) {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        if (m_list != nullptr) m_list->DeleteAllLines();
        m_context.registry->History().Delete();
    } else if (command == IDOK || command == IDCANCEL) {
        if (m_size != nullptr) m_size->SaveSize();
        if (m_list != nullptr) m_list->SaveColumnWidths();
        m_context.support.library->RemoveFromDlgList(m_window);
        ::EndDialog(m_window, 1);
    }
}

const wchar_t* CStateHistoryDialog::ClassProperty() { return kClassProperty; }

INT_PTR CStateHistoryDialog::OnEarlyMessage(HWND window, UINT message, WPARAM, LPARAM lParam)
{
    return dialogs::MeasureRows(window, message, lParam, kRowHeight);
}

INT_PTR CStateHistoryDialog::OnInitDialog(HWND window)
{
    dialogs::AttachDialog(m_context, window);
    Start(window);
    return TRUE;
}

INT_PTR CStateHistoryDialog::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR result = FALSE;
    if (dialogs::HandleListDialogMessage(window, message, wParam, lParam, m_list.get(), &result)) return result;
    switch (message) {
    case WM_MEASUREITEM:
        return OnEarlyMessage(window, message, wParam, lParam);
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}
