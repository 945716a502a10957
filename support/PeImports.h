// What a library file names for its load: the libraries of its import table and the libraries its
// forwarded exports lead to, read through a handle the caller holds open.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "SupportAPI.h"

#include <string>
#include <vector>

namespace zerova {

// The names as the file writes them ("KERNEL32.dll", "NTDLL" for a forwarder). False when the file
// is no PE image or when these tables do not lie within it.
ZEROVA_SUPPORT_API bool ReadLoadTimeLibraries(HANDLE file, std::vector<std::wstring>& names);

// An API set's name ("api-ms-...", "ext-ms-..."): the system's loader resolves it, no file has it.
ZEROVA_SUPPORT_API bool IsApiSetName(const wchar_t* name);

}  // namespace zerova
