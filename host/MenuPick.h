// A pick from the tray menu asked for by another program (varnelctl menu-pick), as a person's pick
// with the mouse arrives: any enabled item of the menu, the plug-ins' items with their full 32-bit
// commands too, which a WM_COMMAND cannot carry.
//
// It is MenuPickMessage sent to the host's main window with the item's command as wParam. The host
// answers 1 when the command names an enabled item of the tray menu, and then runs the pick from its
// message loop (the sender does not wait for the plug-in's call); 0 when it names none.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace menupick {

const UINT MenuPickMessage = WM_APP + 5;
// How long the sender waits for the answer: the host answers from its message loop.
const UINT AnswerTimeoutMs = 5000;

}  // namespace menupick
