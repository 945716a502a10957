// What a library file says about itself without being loaded: its architecture, the names it
// exports and the libraries it imports, read from its PE headers with every offset checked against
// the file's size (the file may be anything).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

struct PeFacts {
    WORD machine = 0;
    bool isLibrary = false;             // IMAGE_FILE_DLL
    std::vector<std::string> exports;   // exported names
    std::vector<std::string> imports;   // libraries of the import table
    std::vector<std::string> delayed;   // libraries of the delay-load table (loaded at their first call)
};

// False, with the reason in problem, when the file cannot be read or is no PE image.
bool ReadPeFacts(const std::wstring& path, PeFacts& facts, std::wstring& problem);

// "i686", "x86_64", "ARM64" ... or the machine number.
std::wstring MachineName(WORD machine);

// The machine this program was built for.
WORD OwnMachine();
