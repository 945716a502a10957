#include "AboutBox.h"

#include "DialogCommon.h"
#include "DialogContext.h"
#include "Dpi.h"
#include "DlgSize.h"
#include "ImageWindow.h"
#include "ListControl.h"
#include "SafeString.h"
#include "Win32.h"

namespace {
const wchar_t kClassProperty[] = L"AboutBoxClassPtr";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Zerova\\Varnel\\AboutBox";
const UINT kTemplate = 700;
const int kImage = 1006;
const int kList = 1000;
const int kCopy = 1004;
const int kRowHeight = 20;

const CDlgSize::RESIZE_DATA kResize[] = {
    {kImage, 0, 0, 1, 0, {}}, {kList, 0, 0, 1, 1, {}}, {kCopy, 0, 1, 0, 0, {}}, {IDOK, 1, 1, 0, 0, {}}, {-1, 0, 0, 0, 0, {}}};
}  // namespace

CAboutBox::CAboutBox(const dialogs::Context& context, HWND parent, const wchar_t* text)
    : m_context(context), m_window(nullptr)
{
    if (!::IsWindow(parent) || zerova::IsEmpty(text)) {
        dialogs::ReportCannotBuild(m_context);
        return;
    }
    dialogs::InitListControls();
    {
        const zerova::PerMonitorDpiScope perMonitor;
        CreateModeless(m_context.support.texts->GethInstance(), kTemplate, parent);
    }
    if (m_window == nullptr) return;

    const CListControl::TAB_DATA columns[] = {{L" ", 360, 0, 0}, {L" ", 400, 0, 0}};
    m_list = std::make_unique<CListview>();
    m_list->SetHighlight(true);
    m_list->Init(::GetDlgItem(m_window, kList), columns, 2, kSettingsKey, 0);
    m_list->AddLines(text);

    m_image = std::make_unique<CImageWindow>(::GetDlgItem(m_window, kImage));
    wchar_t background[MAX_PATH];
    if (dialogs::ImagePath(m_context, L"gradated_background_with_zerova_logo.png", background)) {
        dialogs::AddFittedImage(m_window, kImage, m_image.get(), background, 8);
        dialogs::PlaceBelow(m_window, kImage, kList, 4);
    }
    m_size = std::make_unique<CDlgSize>();
    m_size->Load(m_window, kResize, kSettingsKey);
    m_size->SetBrushColor(0xFFFFFF);
    ::ShowWindow(m_window, SW_SHOW);
    ::SetWindowPos(m_window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    CWin32::EmptyMessages(m_window, 10);
}

CAboutBox::~CAboutBox()
{
    // In this order, not the reverse of the declarations.
    m_size.reset();
    m_list.reset();
    m_image.reset();
    m_window = nullptr;
}

const wchar_t* CAboutBox::ClassProperty() { return kClassProperty; }

INT_PTR CAboutBox::OnEarlyMessage(HWND window, UINT message, WPARAM, LPARAM lParam)
{
    return dialogs::MeasureRows(window, message, lParam, kRowHeight);
}

INT_PTR CAboutBox::OnInitDialog(HWND window)
{
    dialogs::AttachDialog(m_context, window);
    m_window = window;
    return TRUE;
}

INT_PTR CAboutBox::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR result = FALSE;
    if (dialogs::HandleListDialogMessage(window, message, wParam, lParam, m_list.get(), &result)) return result;
    switch (message) {
    case WM_MEASUREITEM:
        return OnEarlyMessage(window, message, wParam, lParam);
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            dialogs::CloseListDialog(m_context, window, m_size.get(), m_list.get());
        else if (LOWORD(wParam) == kCopy)
            dialogs::CopyAllLines(window, m_list.get());
        return TRUE;
    default:
        return FALSE;
    }
}
