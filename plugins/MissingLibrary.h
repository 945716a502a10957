// For a plug-in library that did not load because a library it needs could not be found: the first
// one its import table names that is found nowhere.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace plugins {

// The first library the file imports directly that is neither loaded, nor beside the file, nor
// on the system's search path; empty when all are found or the file cannot be read.
std::wstring FirstMissingImport(const wchar_t* libraryPath);

}  // namespace plugins
