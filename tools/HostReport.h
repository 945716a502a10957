// Asks the tray host of this desktop for its report (see host/ReportRequest.h).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

// The report's lines; false, with the reason in problem, when none came.
bool AskHostForReport(HWND host, std::vector<std::wstring>& lines, std::wstring& problem);
