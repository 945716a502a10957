// The plug-in that a load or unload request names. A full path names the registered plug-in whose
// "Path" is that very file; a bare file name keeps the library's rule (the first plug-in whose
// library has that name); anything else (relative, network, device or stream paths) names none.
#pragma once

#include <string>

enum class PluginNaming { FileName, FullPath, Invalid };

PluginNaming NamingOf(const wchar_t* text);

// The registry subkey of the first registered plug-in whose "Path" is the file (both made absolute,
// with long names, compared without regard to case); empty when there is none.
std::wstring RegisteredSubkeyForPath(const wchar_t* path);

// The registry subkey of the first registered plug-in whose library file has the name; empty when
// there is none.
std::wstring RegisteredSubkeyForFileName(const wchar_t* fileName);

// Whether two paths name the same file as the tray host compares them: made absolute, with long
// names, without regard to case.
bool SamePluginPath(const wchar_t* first, const wchar_t* second);

// The handle of the first loaded plug-in whose library is the file; null when there is none.
void* LoadedPluginWithPath(const wchar_t* path);
