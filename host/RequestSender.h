// What the tray host knows of the window a copy-data request names as its sender. WM_COPYDATA does
// not say which process sent it: the named window is the sender's own claim, so only a claim that
// points at a window the host must not take requests from can be refused.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

enum class SenderVerdict {
    NoWindow,        // no sender window named: the library's own callers send requests so
    Accepted,        // a window of another process of this user, at this integrity level or above
    Gone,            // not a window (any more): it cannot be checked
    OwnWindow,       // a window of the host itself, which never sends itself requests
    IgnoredWindow,   // the window named by "ignorehwnd=" on the host's command line
    OtherUser,       // a window of a process of another user, or one whose user cannot be read
    LowerIntegrity,  // a window of a process of a lower integrity level
};

SenderVerdict JudgeSender(HWND sender, HWND ignoredWindow);

// Whether two window handles, in any of the forms Windows accepts for a window, name one window.
bool NamesTheSameWindow(HWND first, HWND second);

// The refusal's reason for the host's log and trace; null for the verdicts that are taken.
const wchar_t* RefusalText(SenderVerdict verdict);
