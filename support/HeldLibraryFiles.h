// The files of one library load, opened once and held from the trust test until the load has
// returned: nobody can change, replace, rename or delete them in between, so the bytes that were
// checked are the bytes that load.
#pragma once
#include "SupportAPI.h"

#include <memory>

class ZEROVA_SUPPORT_API CHeldLibraryFiles {
public:
    CHeldLibraryFiles();
    ~CHeldLibraryFiles();
    CHeldLibraryFiles(const CHeldLibraryFiles&) = delete;
    CHeldLibraryFiles& operator=(const CHeldLibraryFiles&) = delete;

    // The library file: opened for reading and shared for reading only, so that neither writing,
    // nor renaming, nor deleting it succeeds while it is held. Fails for anything but a disk file.
    bool HoldLibrary(const wchar_t* path);
    // Every folder above the library up to the drive's root, so that none of them can be renamed
    // or deleted (which would put another file under the same path) while they are held.
    bool HoldFolders();
    // Another file the load takes, held as the library is; null when it cannot be held.
    HANDLE HoldDependency(const wchar_t* path);
    // A module already in the process, or one loaded for the load, kept until the hold ends.
    void KeepModule(HMODULE module);

    HANDLE File() const;
    const wchar_t* Path() const;
    // Lets go of everything.
    void Clear();

private:
    struct Files;
    std::unique_ptr<Files> m_files;
};
