// Finding top-level windows by class and title.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CFindWindow {
public:
    // Counts the windows of that class (and title, when given) below parent (null: top-level
    // windows of the current desktop); the first one goes to found (null when none).
    int Find(const wchar_t* className, const wchar_t* title, HWND parent, HWND& found);
    // Sets both flags on every call: a null or empty title or class always matches. True when both match.
    bool Match(HWND window, const wchar_t* title, bool& titleMatched, const wchar_t* className,
               bool& classMatched);
};
