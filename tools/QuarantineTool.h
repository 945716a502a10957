// varnelctl quarantine: the plug-ins the tray keeps out after repeated faults and hangs, and the lift.
#pragma once

#include <string>

// Prints every plug-in in quarantine with its reason and time; 0, or 1 when the list cannot be read.
int ListQuarantine();
// Lifts the quarantine of the plug-in named by its registry entry, library path or file name, and
// has the running tray host load it; 0 done, 1 not registered, not in quarantine or not loaded.
int ClearQuarantine(const std::wstring& name);
