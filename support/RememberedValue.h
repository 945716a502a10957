// Remembered sizes and column widths of the dialogs. They belong under their key of
// HKEY_LOCAL_MACHINE; where the user may not write there (a standard user on Windows), they are
// kept under the same key of HKEY_CURRENT_USER instead, and read back from there first.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace zerova {

// The user's copy of the value where there is one, else the machine's.
bool ReadRememberedValue(const wchar_t* key, const wchar_t* value, DWORD& number);
// Written under HKEY_LOCAL_MACHINE (and any user's copy dropped, so that it is what is read
// back); where that fails, under HKEY_CURRENT_USER. False when neither could be written.
bool WriteRememberedValue(const wchar_t* key, const wchar_t* value, DWORD number);

}  // namespace zerova
