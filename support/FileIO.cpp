#include "FileIO.h"
#include "DateTime.h"
#include "MemoryManager.h"
#include "SafeString.h"

#include <shlobj.h>
#include <string>

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

DWORD Attributes(const wchar_t* path)
{
    if (zerova::IsEmpty(path)) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(path);
}

}  // namespace

CFileIO::CFileIO(const wchar_t* path) : m_file(), m_buffer(nullptr), m_size(0)
{
    zerova::CopyString(m_path, MAX_PATH, path);
}

CFileIO::~CFileIO()
{
    Close();
    CMemoryManager::Free(m_buffer);
}

bool CFileIO::OpenRead()
{
    Close();
    if (m_path[0] == L'\0') return false;
    m_file.Reset(CreateFileW(m_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return m_file.Valid();
}

bool CFileIO::ReadEntireFile()
{
    if (!m_file) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(m_file.Get(), &size) || size.QuadPart < 0 || size.QuadPart > MaxReadBytes) return false;
    CMemoryManager::Free(m_buffer);
    m_size = 0;
    m_buffer = static_cast<BYTE*>(CMemoryManager::Alloc(static_cast<size_t>(size.QuadPart) + 4));
    if (m_buffer == nullptr) return false;
    DWORD total = 0;
    while (total < size.QuadPart) {
        DWORD got = 0;
        if (!ReadFile(m_file.Get(), m_buffer + total, static_cast<DWORD>(size.QuadPart) - total, &got, nullptr) || got == 0)
            break;
        total += got;
    }
    m_size = static_cast<int>(total);  // the tail stays zero-filled: always terminated
    return true;
}

void* CFileIO::GetBuffer(int& size, bool detach)
{
    size = m_size;
    void* buffer = m_buffer;
    if (detach) {
        m_buffer = nullptr;
        m_size = 0;
    }
    return buffer;
}

bool CFileIO::OpenAppend()
{
    Close();
    if (m_path[0] == L'\0') return false;
    m_file.Reset(CreateFileW(m_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return m_file.Valid();
}

bool CFileIO::Append(const void* data, DWORD bytes)
{
    if (!m_file || (data == nullptr && bytes > 0)) return false;
    DWORD written = 0;
    return WriteFile(m_file.Get(), data, bytes, &written, nullptr) && written == bytes;
}

void CFileIO::Close()
{
    m_file.Reset();
}

bool CFileIO::FileExists(const wchar_t* path)
{
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CFileIO::FolderExists(const wchar_t* path)
{
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CFileIO::CreateFolder(const wchar_t* path)
{
    if (zerova::IsEmpty(path)) return false;
    if (FolderExists(path)) return true;
    std::wstring full(path);
    while (!full.empty() && IsSeparator(full.back())) full.pop_back();
    // Create each level in turn, from the first separator after the root onwards.
    for (size_t i = 1; i <= full.size(); ++i) {
        if (i < full.size() && !IsSeparator(full[i])) continue;
        std::wstring level = full.substr(0, i);
        if (level.size() == 2 && level[1] == L':') continue;  // "C:"
        if (!FolderExists(level.c_str()) && !CreateDirectoryW(level.c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return FolderExists(path);
}

bool CFileIO::DeleteFileW(const wchar_t* path)
{
    if (zerova::IsEmpty(path)) return false;
    return ::DeleteFileW(path) != FALSE;
}

wchar_t* CFileIO::CombinePath(const wchar_t* first, const wchar_t* second, wchar_t* result, int length)
{
    if (result == nullptr || length < 1) return result;
    std::wstring head = first != nullptr ? first : L"";
    const wchar_t* tail = second != nullptr ? second : L"";
    while (IsSeparator(*tail)) ++tail;
    std::wstring combined;
    if (head.empty()) {
        combined = tail;
    } else if (*tail == L'\0') {
        combined = head;
    } else {
        while (head.size() > 1 && IsSeparator(head.back())) head.pop_back();
        combined = head;
        if (!IsSeparator(combined.back())) combined += L'\\';
        combined += tail;
    }
    if (combined.size() >= static_cast<size_t>(length)) {
        result[0] = L'\0';  // a cut path would name another file
        return result;
    }
    return zerova::CopyString(result, length, combined.c_str());
}

const wchar_t* CFileIO::GetFilename(const wchar_t* path)
{
    if (path == nullptr) return path;
    const wchar_t* last = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p)
        if (IsSeparator(*p)) last = p + 1;
    return last;
}

wchar_t* CFileIO::GetFolder(const wchar_t* path, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return buffer;
    buffer[0] = L'\0';
    if (path == nullptr) return buffer;
    const wchar_t* name = GetFilename(path);
    size_t folderLength = static_cast<size_t>(name - path);
    while (folderLength > 0 && IsSeparator(path[folderLength - 1])) --folderLength;
    if (folderLength == 2 && path[1] == L':') folderLength = 3;  // keep "C:\"
    if (folderLength >= static_cast<size_t>(length)) return buffer;
    wmemcpy(buffer, path, folderLength);
    buffer[folderLength] = L'\0';
    return buffer;
}

wchar_t* CFileIO::GetSpecialFolder(int csidl, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return buffer;
    wchar_t folder[MAX_PATH] = L"";
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder))) folder[0] = L'\0';
    if (wcslen(folder) >= static_cast<size_t>(length)) folder[0] = L'\0';
    return zerova::CopyString(buffer, length, folder);
}

wchar_t* CFileIO::GetFileDateTimeString(const wchar_t* path, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return buffer;
    buffer[0] = L'\0';
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (zerova::IsEmpty(path) || !GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return buffer;
    FILETIME local{};
    SYSTEMTIME time{};
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToSystemTime(&local, &time))
        return buffer;
    return CDateTime::FormatDateTime(time, buffer, length);
}

bool CFileIO::RotateFile(const wchar_t* path, DWORD maxBytes, bool keep)
{
    LONGLONG size = GetFileSize(path);
    if (size < 0 || size < static_cast<LONGLONG>(maxBytes)) return true;  // absent or below the bound
    if (!keep) return ::DeleteFileW(path) != FALSE;
    std::wstring previous = std::wstring(path) + L".old";
    return MoveFileExW(path, previous.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

LONGLONG CFileIO::GetFileSize(const wchar_t* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (zerova::IsEmpty(path) || !GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
