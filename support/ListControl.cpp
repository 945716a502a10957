#include "ListControl.h"

#include "Dpi.h"
#include "GdiPlusSession.h"
#include "Handles.h"
#include "RememberedValue.h"
#include "SafeString.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {
enum Shading { kNoShading = -1, kLight = 0, kDark = 1 };
const COLORREF kLightColor = RGB(255, 255, 255);
const COLORREF kDarkColor = RGB(238, 243, 250);
const COLORREF kHeadingColor = RGB(0, 70, 160);

struct Row {
    std::wstring text[2];
    bool bold[2] = {false, false};
    bool blue[2] = {false, false};
    int status[2] = {-1, -1};
    int shading = kNoShading;
    INT_PTR context = 0;
};

// What a row inherits from the rows before it.
struct Style {
    int shading = kLight;
    bool bold = false;
};

bool ApplyToken(const std::wstring& token, Style& style, Row& row, int column, bool& blue)
{
    if (token == L"light") style.shading = kLight;
    else if (token == L"dark") style.shading = kDark;
    else if (token == L"OK") row.status[column] = 0;
    else if (token == L"warning") row.status[column] = 1;
    else if (token == L"error") row.status[column] = 2;
    else if (token == L"font=BOLD") style.bold = true;
    else if (token == L"font=NORMAL") style.bold = false;
    else if (token == L"BLUE") blue = true;
    else if (token.rfind(L"hContext=", 0) == 0) row.context = static_cast<INT_PTR>(_wtoi64(token.c_str() + 9));
    else return false;
    return true;
}

// One row of markup (no line end) with the style carried in from the rows before.
Row ParseRow(const std::wstring& line, Style& style)
{
    Row row;
    int column = 0;
    bool blue = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const wchar_t c = line[i];
        if (c == L'|') {
            const size_t close = line.find(L'|', i + 1);
            if (close != std::wstring::npos && ApplyToken(line.substr(i + 1, close - i - 1), style, row, column, blue)) {
                i = close;
                continue;
            }
        }
        if (c == L'\t' && column == 0) {
            column = 1;
            continue;
        }
        if (row.text[column].empty()) {
            row.bold[column] = style.bold;
            row.blue[column] = blue;
        }
        row.text[column] += c;
    }
    row.shading = style.shading;
    return row;
}

// Splits text into rows at CR LF, LF or CR.
std::vector<std::wstring> SplitRows(const wchar_t* text)
{
    std::vector<std::wstring> rows;
    std::wstring current;
    for (const wchar_t* c = text; c != nullptr && *c != L'\0'; ++c) {
        if (*c == L'\r' || *c == L'\n') {
            if (*c == L'\r' && c[1] == L'\n') ++c;
            rows.push_back(current);
            current.clear();
        } else {
            current += *c;
        }
    }
    if (!current.empty()) rows.push_back(current);
    return rows;
}

int WorstStatus(const Row& row) { return row.status[0] > row.status[1] ? row.status[0] : row.status[1]; }

// The marker of a row's status, centred in box: a green disc with a tick (all well), an amber
// triangle with an exclamation mark (warning), a red disc with a cross (error). Shape and colour
// both tell the state.
void DrawStatusMarker(HDC dc, const RECT& box, int status)
{
    if (!zerova::EnsureGdiPlus()) return;
    Gdiplus::Graphics graphics(dc);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    const Gdiplus::REAL size = static_cast<Gdiplus::REAL>(box.right - box.left);
    const Gdiplus::REAL left = static_cast<Gdiplus::REAL>(box.left);
    const Gdiplus::REAL top = static_cast<Gdiplus::REAL>(box.top);
    auto at = [&](Gdiplus::REAL x, Gdiplus::REAL y) { return Gdiplus::PointF(left + x * size, top + y * size); };
    Gdiplus::Pen mark(Gdiplus::Color(255, 255, 255, 255), size / 6.0f);
    mark.SetStartCap(Gdiplus::LineCapRound);
    mark.SetEndCap(Gdiplus::LineCapRound);
    mark.SetLineJoin(Gdiplus::LineJoinRound);
    if (status == 1) {
        const Gdiplus::PointF corners[] = {at(0.5f, 0.02f), at(1.0f, 0.95f), at(0.0f, 0.95f)};
        Gdiplus::SolidBrush amber(Gdiplus::Color(255, 232, 160, 0));
        graphics.FillPolygon(&amber, corners, 3);
        Gdiplus::Pen dark(Gdiplus::Color(255, 40, 30, 0), size / 7.0f);
        dark.SetStartCap(Gdiplus::LineCapRound);
        dark.SetEndCap(Gdiplus::LineCapRound);
        graphics.DrawLine(&dark, at(0.5f, 0.35f), at(0.5f, 0.6f));
        graphics.DrawLine(&dark, at(0.5f, 0.79f), at(0.5f, 0.8f));
        return;
    }
    Gdiplus::SolidBrush disc(status == 2 ? Gdiplus::Color(255, 200, 30, 30) : Gdiplus::Color(255, 30, 140, 50));
    graphics.FillEllipse(&disc, left, top, size, size);
    if (status == 2) {
        graphics.DrawLine(&mark, at(0.32f, 0.32f), at(0.68f, 0.68f));
        graphics.DrawLine(&mark, at(0.68f, 0.32f), at(0.32f, 0.68f));
    } else {
        const Gdiplus::PointF tick[] = {at(0.27f, 0.52f), at(0.44f, 0.69f), at(0.74f, 0.33f)};
        graphics.DrawLines(&mark, tick, 3);
    }
}

const wchar_t kObjectProperty[] = L"ZerovaListControl";

int ColumnWidth(HWND list, int column)
{
    return static_cast<int>(::SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

// A notice of the list's header that a column before the last one has a new width.
bool IsOtherColumnResized(HWND list, LPARAM lParam, UINT message, int columnCount)
{
    if (message != WM_NOTIFY) return false;
    const auto* notice = reinterpret_cast<const NMHEADERW*>(lParam);
    if (notice == nullptr || notice->hdr.hwndFrom != reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0)))
        return false;
    const UINT code = notice->hdr.code;
    const bool resized = code == HDN_ITEMCHANGEDW || code == HDN_ITEMCHANGEDA || code == HDN_ENDTRACKW ||
                         code == HDN_ENDTRACKA;
    return resized && notice->iItem < columnCount - 1;
}

// The least the last column keeps (96 DPI) before the others give up width.
const int kLastColumnLeast = 64;
const int kMostColumnWidth = 5000;
}  // namespace

struct CListControl::Rows {
    std::vector<Row> rows;
    Style style;
    zerova::UniqueGdiObject boldFont;
    WNDPROC previousProc = nullptr;
    bool fitting = false;
};

CListControl::CListControl()
    : m_rows(std::make_unique<Rows>()), m_list(nullptr), m_highlight(false), m_clickContext(nullptr), m_click(nullptr), m_key(),
      m_columnCount(0)
{
}

CListControl::~CListControl() { Unsubclass(); }

CListview::CListview() = default;
CListview::~CListview() = default;

bool CListControl::Init(HWND list, const TAB_DATA* columns, int columnCount, const wchar_t* key, int)
{
    if (!::IsWindow(list) || columns == nullptr || columnCount < 1) return false;
    Unsubclass();
    m_list = list;
    m_columnCount = columnCount > 2 ? 2 : columnCount;
    zerova::CopyString(m_key, MAX_PATH, key);
    ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    const UINT dpi = zerova::WindowDpi(list);
    for (int i = 0; i < m_columnCount; ++i) {
        DWORD width = static_cast<DWORD>(columns[i].width);
        wchar_t value[32];
        zerova::FormatString(value, 32, L"Column%dWidth", i);
        if (m_key[0] != L'\0') zerova::ReadRememberedValue(m_key, value, width);
        wchar_t title[MAX_PATH];
        zerova::CopyString(title, MAX_PATH, columns[i].title);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = title;
        column.cx = zerova::ScaleToDpi(static_cast<int>(width > 0 && width < static_cast<DWORD>(kMostColumnWidth) ? width : 200), dpi);
        ::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }
    HFONT font = reinterpret_cast<HFONT>(::SendMessageW(list, WM_GETFONT, 0, 0));
    LOGFONTW logical{};
    if (font == nullptr || ::GetObjectW(font, sizeof(logical), &logical) == 0)
        ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(logical), &logical);
    logical.lfWeight = FW_BOLD;
    m_rows->boldFont.Reset(::CreateFontIndirectW(&logical));
    Subclass();
    FitColumns();
    return true;
}

void CListControl::Subclass()
{
    if (!::IsWindow(m_list) || m_rows->previousProc != nullptr) return;
    ::SetPropW(m_list, kObjectProperty, this);
    m_rows->previousProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(m_list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CListControl::ListProc)));
}

void CListControl::Unsubclass()
{
    if (m_rows->previousProc == nullptr) return;
    if (::IsWindow(m_list) && ::GetPropW(m_list, kObjectProperty) == this) {
        ::SetWindowLongPtrW(m_list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_rows->previousProc));
        ::RemovePropW(m_list, kObjectProperty);
    }
    m_rows->previousProc = nullptr;
}

LRESULT CALLBACK CListControl::ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = static_cast<CListControl*>(::GetPropW(window, kObjectProperty));
    if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
    const WNDPROC previous = self->m_rows->previousProc;
    if (message == WM_NCDESTROY) {
        self->Unsubclass();
        return ::CallWindowProcW(previous, window, message, wParam, lParam);
    }
    const LRESULT result = ::CallWindowProcW(previous, window, message, wParam, lParam);
    // A new size, also when a scroll bar comes or goes, or a column dragged to another width.
    if (message == WM_SIZE || IsOtherColumnResized(window, lParam, message, self->m_columnCount)) self->FitColumns();
    return result;
}

void CListControl::FitColumns()
{
    if (!::IsWindow(m_list) || m_columnCount < 1 || m_rows->fitting) return;
    m_rows->fitting = true;
    // A scroll bar that comes or goes with the new widths changes the room again.
    for (int pass = 0; pass < 3 && FitColumnsOnce(); ++pass) {
    }
    m_rows->fitting = false;
}

bool CListControl::FitColumnsOnce()
{
    RECT client{};
    ::GetClientRect(m_list, &client);
    const int available = client.right - client.left;
    if (available <= 0) return false;
    const int last = m_columnCount - 1;
    const int leastForLast = std::min(zerova::ScaleToDpi(kLastColumnLeast, zerova::WindowDpi(m_list)), available / 3);
    int others = 0;
    for (int i = 0; i < last; ++i) others += ColumnWidth(m_list, i);
    if (others > available - leastForLast) {
        // The other columns give up width in proportion to their own.
        const int room = available - leastForLast;
        int given = 0;
        for (int i = 0; i < last; ++i) {
            const int fitted = i == last - 1 ? room - given : ::MulDiv(ColumnWidth(m_list, i), room, others);
            ::SendMessageW(m_list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(i), MAKELPARAM(fitted, 0));
            given += fitted;
        }
        others = room;
    }
    ::SendMessageW(m_list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(last), MAKELPARAM(available - others, 0));
    ::GetClientRect(m_list, &client);
    return client.right - client.left != available;
}

void CListControl::SetClickCallbackProc(void* context, CLICK_CALLBACK callback)
{
    m_clickContext = context;
    m_click = callback;
}

int CListControl::AddLines(const wchar_t* text)
{
    int added = 0;
    for (const std::wstring& line : SplitRows(text)) {
        if (AppendLine(line.c_str()) >= 0) ++added;
    }
    return added;
}

int CListControl::AppendLine(const wchar_t* line)
{
    if (line == nullptr) return -1;
    // A line handed on its own may still carry its line end.
    std::wstring markup(line);
    while (!markup.empty() && (markup.back() == L'\n' || markup.back() == L'\r')) markup.pop_back();
    Row row = ParseRow(markup, m_rows->style);
    const int index = GetLineCount();
    if (::IsWindow(m_list)) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = index;
        item.pszText = const_cast<wchar_t*>(row.text[0].c_str());
        if (::SendMessageW(m_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) < 0) return -1;
        LVITEMW second{};
        second.iSubItem = 1;
        second.pszText = const_cast<wchar_t*>(row.text[1].c_str());
        ::SendMessageW(m_list, LVM_SETITEMTEXTW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&second));
    }
    m_rows->rows.push_back(row);
    return index;
}

bool CListControl::ReplaceLine(int index, const wchar_t* line)
{
    if (line == nullptr || index < 0 || index >= GetLineCount()) return false;
    std::wstring markup(line);
    while (!markup.empty() && (markup.back() == L'\n' || markup.back() == L'\r')) markup.pop_back();
    Row row = ParseRow(markup, m_rows->style);
    m_rows->rows[static_cast<size_t>(index)] = row;
    if (::IsWindow(m_list)) {
        for (int column = 0; column < 2; ++column) {
            LVITEMW item{};
            item.iSubItem = column;
            item.pszText = const_cast<wchar_t*>(row.text[column].c_str());
            ::SendMessageW(m_list, LVM_SETITEMTEXTW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
        }
        ::SendMessageW(m_list, LVM_REDRAWITEMS, static_cast<WPARAM>(index), static_cast<LPARAM>(index));
    }
    return true;
}

bool CListControl::DeleteLine(int index)
{
    if (index < 0 || index >= GetLineCount()) return false;
    m_rows->rows.erase(m_rows->rows.begin() + index);
    if (::IsWindow(m_list)) ::SendMessageW(m_list, LVM_DELETEITEM, static_cast<WPARAM>(index), 0);
    return true;
}

void CListControl::DeleteAllLines()
{
    m_rows->rows.clear();
    m_rows->style = Style();
    if (::IsWindow(m_list)) ::SendMessageW(m_list, LVM_DELETEALLITEMS, 0, 0);
}

int CListControl::FindLine(const wchar_t* text, bool partial)
{
    if (zerova::IsEmpty(text)) return -1;
    const size_t length = wcslen(text);
    for (size_t i = 0; i < m_rows->rows.size(); ++i) {
        const std::wstring& first = m_rows->rows[i].text[0];
        if (partial ? _wcsnicmp(first.c_str(), text, length) == 0 : _wcsicmp(first.c_str(), text) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int CListControl::GetLineCount() const { return static_cast<int>(m_rows->rows.size()); }

bool CListControl::GetLineText(int index, int column, wchar_t* buffer, int length) const
{
    if (buffer == nullptr || length < 1 || index < 0 || index >= GetLineCount() || column < 0 || column > 1)
        return false;
    zerova::CopyString(buffer, length, m_rows->rows[static_cast<size_t>(index)].text[column].c_str());
    return true;
}

INT_PTR CListControl::GetLineContext(int index) const
{
    return index >= 0 && index < GetLineCount() ? m_rows->rows[static_cast<size_t>(index)].context : 0;
}

int CListControl::GetLineStatus(int index) const
{
    return index >= 0 && index < GetLineCount() ? WorstStatus(m_rows->rows[static_cast<size_t>(index)]) : -1;
}

wchar_t* CListControl::GetAllLinesOfText() const
{
    std::wstring all;
    for (const Row& row : m_rows->rows) all += row.text[0] + L"\t" + row.text[1] + L"\r\n";
    auto* text = new wchar_t[all.size() + 1];
    wmemcpy(text, all.c_str(), all.size() + 1);
    return text;
}

void CListControl::FreeText(wchar_t* text) { delete[] text; }

int CListControl::GetSelection(wchar_t* text, int length, INT_PTR* context) const
{
    if (context != nullptr) *context = 0;
    if (!::IsWindow(m_list)) return -1;
    const int index = static_cast<int>(::SendMessageW(m_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (index < 0 || index >= GetLineCount()) return -1;
    if (text != nullptr && length > 0) GetLineText(index, 0, text, length);
    if (context != nullptr) *context = GetLineContext(index);
    return index;
}

void CListControl::SaveColumnWidths()
{
    if (!::IsWindow(m_list) || m_key[0] == L'\0') return;
    const UINT dpi = zerova::WindowDpi(m_list);
    for (int i = 0; i < m_columnCount; ++i) {
        wchar_t value[32];
        zerova::FormatString(value, 32, L"Column%dWidth", i);
        const int width = ColumnWidth(m_list, i);
        // Kept for 96 DPI, like the widths the dialogs give.
        const int kept = ::MulDiv(width, static_cast<int>(zerova::kDefaultDpi), static_cast<int>(dpi));
        if (kept > 0) zerova::WriteRememberedValue(m_key, value, static_cast<DWORD>(kept));
    }
}

void CListControl::OnDrawItem(const DRAWITEMSTRUCT* draw)
{
    if (draw == nullptr || draw->hwndItem != m_list) return;
    const int index = static_cast<int>(draw->itemID);
    if (index < 0 || index >= GetLineCount()) return;
    const Row& row = m_rows->rows[static_cast<size_t>(index)];
    const bool selected = m_highlight && (draw->itemState & ODS_SELECTED) != 0;
    HDC dc = draw->hDC;
    const zerova::UniqueGdiObject background(::CreateSolidBrush(
        selected ? ::GetSysColor(COLOR_HIGHLIGHT) : row.shading == kDark ? kDarkColor : kLightColor));
    ::FillRect(dc, &draw->rcItem, static_cast<HBRUSH>(background.Get()));
    ::SetBkMode(dc, TRANSPARENT);
    const UINT dpi = zerova::WindowDpi(m_list);
    const int padding = zerova::ScaleToDpi(4, dpi);
    const int rowHeight = draw->rcItem.bottom - draw->rcItem.top;
    const int markerSize = std::min(zerova::ScaleToDpi(12, dpi), rowHeight - 2 * zerova::ScaleToDpi(2, dpi));
    const int status = WorstStatus(row);
    int left = draw->rcItem.left;
    for (int column = 0; column < m_columnCount; ++column) {
        const int width = ColumnWidth(m_list, column);
        RECT cell{left + padding, draw->rcItem.top, left + width - padding / 2, draw->rcItem.bottom};
        if (column == 0 && status >= 0 && status <= 2 && markerSize > 0) {
            const int top = (cell.top + cell.bottom - markerSize) / 2;
            DrawStatusMarker(dc, RECT{cell.left, top, cell.left + markerSize, top + markerSize}, status);
            cell.left += markerSize + padding;
        }
        const zerova::ScopedSelection font(dc, row.bold[column] ? m_rows->boldFont.Get() : nullptr);
        ::SetTextColor(dc, selected ? ::GetSysColor(COLOR_HIGHLIGHTTEXT) : row.blue[column] ? kHeadingColor : RGB(0, 0, 0));
        ::DrawTextW(dc, row.text[column].c_str(), -1, &cell, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
        left += width;
    }
    if ((draw->itemState & ODS_FOCUS) != 0 && (::SendMessageW(m_list, WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS) == 0)
        ::DrawFocusRect(dc, &draw->rcItem);
}

void CListControl::OnNotify(HWND, WPARAM, LPARAM lParam)
{
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    if (header == nullptr || header->hwndFrom != m_list || m_click == nullptr) return;
    if (header->code == NM_CLICK || header->code == NM_DBLCLK) {
        const auto* item = reinterpret_cast<const NMITEMACTIVATE*>(lParam);
        m_click(m_clickContext, this, m_list, item->iItem, header->code == NM_DBLCLK ? 2 : 1);
    }
}
