// Who stands behind a window that is about to receive a request: this process, or a tray host.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

class CVarnelUtils;

namespace control {

// The window belongs to a thread of this process.
bool IsOwnProcessWindow(HWND window);

// The window's process runs a tray host executable: the host's file in the application folder (as
// utils names it), or this process's own executable (the program a load walk starts on other
// desktops). Paths compare as full long paths without regard to case.
bool IsTrayHostProcessWindow(HWND window, CVarnelUtils& utils);

}  // namespace control
