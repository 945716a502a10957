// A two-column report list that turns the list markup into rows: "\r\n" ends a row, "\t" separates
// the columns, and tokens between bars set the look: "|light|", "|dark|" (row shading, kept until
// changed), "|OK|", "|warning|", "|error|" (the status of the column; the row's marker, before its
// first column, shows the worst status of its columns), "|font=BOLD|", "|font=NORMAL|" (kept until
// changed), "|BLUE|" (heading colour for the rest of the row) and "|hContext=<number>|" (the row's
// context value, handed back for the selected row).
//
// Column widths are given for 96 DPI and scaled to the list's DPI; the last column always takes
// the width the others leave, when the list opens, grows or shrinks and when a column is dragged.
#pragma once
#include "SupportAPI.h"

#include <memory>

class ZEROVA_SUPPORT_API CListControl {
public:
    struct TAB_DATA {
        const wchar_t* title;
        int width;
        int format;
        int reserved;
    };
    // Called for clicks on rows: reason 1 a click, 2 a double click.
    typedef void (*CLICK_CALLBACK)(void* context, CListControl* list, HWND window, int line, int reason);

    CListControl();
    virtual ~CListControl();
    CListControl(const CListControl&) = delete;
    CListControl& operator=(const CListControl&) = delete;

    // Takes the list view control, makes its columns (widths remembered under key, a key of
    // HKEY_LOCAL_MACHINE, or of HKEY_CURRENT_USER where the machine's cannot be written) and
    // turns it into an owner-drawn report list.
    bool Init(HWND list, const TAB_DATA* columns, int columnCount, const wchar_t* key, int flags);
    void SetHighlight(bool highlight) { m_highlight = highlight; }
    void SetClickCallbackProc(void* context, CLICK_CALLBACK callback);

    int AddLines(const wchar_t* text);
    int AppendLine(const wchar_t* line);
    bool ReplaceLine(int index, const wchar_t* line);
    bool DeleteLine(int index);
    void DeleteAllLines();
    // The first row whose first column is text (case ignored); with partial, the first one that
    // begins with it. -1 when none.
    int FindLine(const wchar_t* text, bool partial);
    int GetLineCount() const;
    // Plain text of a column without markup.
    bool GetLineText(int index, int column, wchar_t* buffer, int length) const;
    INT_PTR GetLineContext(int index) const;
    // The status the row's marker shows (0 all well, 1 warning, 2 error): the worst of its
    // columns; -1 for a row without status, which shows no marker.
    int GetLineStatus(int index) const;
    // Every row as plain text, columns separated by a tab, one row a line; the caller frees it
    // with FreeText.
    wchar_t* GetAllLinesOfText() const;
    static void FreeText(wchar_t* text);
    // The selected row: its first column's text and its context; -1 when none is selected.
    int GetSelection(wchar_t* text, int length, INT_PTR* context) const;
    void SaveColumnWidths();
    // Gives the last column the width the other columns leave in the list.
    void FitColumns();
    HWND GetHwnd() const { return m_list; }

    // The dialog hands these on.
    void OnDrawItem(const DRAWITEMSTRUCT* draw);
    void OnNotify(HWND dialog, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Subclass();
    void Unsubclass();
    // True when the list's room changed while the columns were fitted into it.
    bool FitColumnsOnce();

    struct Rows;
    std::unique_ptr<Rows> m_rows;
    HWND m_list;
    bool m_highlight;
    void* m_clickContext;
    CLICK_CALLBACK m_click;
    wchar_t m_key[MAX_PATH];
    int m_columnCount;
};

// The list the dialogs keep.
class ZEROVA_SUPPORT_API CListview : public CListControl {
public:
    CListview();
    ~CListview() override;
};
