#include "FindWindow.h"
#include "SafeString.h"

int CFindWindow::Find(const wchar_t* className, const wchar_t* title, HWND parent, HWND& found)
{
    found = nullptr;
    const wchar_t* wantedClass = zerova::IsEmpty(className) ? nullptr : className;
    const wchar_t* wantedTitle = zerova::IsEmpty(title) ? nullptr : title;
    int count = 0;
    HWND after = nullptr;
    // A bound keeps a window list that changes during the walk from looping for ever.
    for (int guard = 0; guard < 100000; ++guard) {
        after = FindWindowExW(parent, after, wantedClass, wantedTitle);
        if (after == nullptr) break;
        if (found == nullptr) found = after;
        ++count;
    }
    return count;
}

bool CFindWindow::Match(HWND window, const wchar_t* title, bool& titleMatched, const wchar_t* className,
                        bool& classMatched)
{
    titleMatched = false;
    classMatched = false;
    if (window == nullptr || !IsWindow(window)) return false;
    if (zerova::IsEmpty(title)) {
        titleMatched = true;
    } else {
        wchar_t text[MAX_PATH] = L"";
        GetWindowTextW(window, text, MAX_PATH);
        titleMatched = wcscmp(text, title) == 0;
    }
    if (zerova::IsEmpty(className)) {
        classMatched = true;
    } else {
        wchar_t name[MAX_PATH] = L"";
        GetClassNameW(window, name, MAX_PATH);
        classMatched = _wcsicmp(name, className) == 0;
    }
    return titleMatched && classMatched;
}
