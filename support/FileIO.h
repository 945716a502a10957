// Path helpers and one file's reading or appending.
#pragma once
#include "SupportAPI.h"
#include "Handles.h"

class ZEROVA_SUPPORT_API CFileIO {
public:
    explicit CFileIO(const wchar_t* path);
    ~CFileIO();
    CFileIO(const CFileIO&) = delete;
    CFileIO& operator=(const CFileIO&) = delete;

    bool OpenRead();
    // Reads the opened file whole into a buffer of its own (files above MaxReadBytes are refused).
    bool ReadEntireFile();
    // The buffer read and its size in bytes; it is followed by four zero bytes, so it is always a
    // terminated wide text. With detach the caller owns it and frees it with CMemoryManager::Free.
    void* GetBuffer(int& size, bool detach);
    bool OpenAppend();
    bool Append(const void* data, DWORD bytes);
    void Close();

    static bool FileExists(const wchar_t* path);
    static bool FolderExists(const wchar_t* path);
    // Creates the folder and every missing level above it.
    static bool CreateFolder(const wchar_t* path);
    static bool DeleteFileW(const wchar_t* path);
    // first + exactly one separator + second. A result that does not fit leaves result empty.
    static wchar_t* CombinePath(const wchar_t* first, const wchar_t* second, wchar_t* result, int length);
    // The last component of path (a pointer into it); path itself when it has no separator.
    static const wchar_t* GetFilename(const wchar_t* path);
    // Everything before the last separator.
    static wchar_t* GetFolder(const wchar_t* path, wchar_t* buffer, int length);
    static wchar_t* GetSpecialFolder(int csidl, wchar_t* buffer, int length);
    // The file's last write time in local time, for people.
    static wchar_t* GetFileDateTimeString(const wchar_t* path, wchar_t* buffer, int length);
    // When the file has reached maxBytes it is moved aside (keep: to path + ".old", replacing
    // an older one; otherwise deleted). True when the file is below the bound afterwards.
    static bool RotateFile(const wchar_t* path, DWORD maxBytes, bool keep);
    // Size of the file in bytes, -1 when it cannot be read.
    static LONGLONG GetFileSize(const wchar_t* path);

    static const LONGLONG MaxReadBytes = 64LL * 1024 * 1024;

private:
    wchar_t m_path[MAX_PATH];
    zerova::UniqueFileHandle m_file;
    BYTE* m_buffer;
    int m_size;
};
