// Texts a plug-in hands in: read as they are, copied before anything is cut or cleaned, and
// changed in the plug-in's own buffer only where that memory can be written (a string literal
// cannot).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <string>

namespace plugins {

// True when every byte from address on for the given count lies in committed, writable memory.
bool IsWritable(const void* address, size_t bytes);

// Where a state text longer than 259 characters is cut: at its first carriage return, else its
// first line feed, else after 259 characters; the text's own length when it is not cut.
size_t StateTextCut(const wchar_t* text);

// A copy of the text with every carriage return and line feed replaced by a space.
std::wstring WithoutLineBreaks(const wchar_t* text);

}  // namespace plugins
