// The report request of the reference tray host: another program of the same user asks the running
// host what it shows (its plug-ins, their states, the tray state and the tray menu).
//
// It is a WM_COPYDATA to the host's notify-icon window whose dwData is ReportRequest (the library's
// copy-data records carry 0 there), with no data and the asking window as wParam. The host judges
// that window as it judges the sender of any request (same user, same integrity level or above),
// then sends the report back to it as a WM_COPYDATA whose dwData is ReportReply: UTF-16 lines, each
// ended by "\n", without a terminator. The request's reply is 1 once the report was taken.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace reportrequest {

const ULONG_PTR ReportRequest = 0x56524551u;  // "VREQ"
const ULONG_PTR ReportReply = 0x56524550u;    // "VREP"

}  // namespace reportrequest
