#include "HeldLibraryFiles.h"

#include "Handles.h"
#include "SafeString.h"

#include <string>
#include <vector>

namespace {

// Read access takes part in the system's sharing checks; without write and delete sharing, no
// one can open the file to write it, rename it or delete it while the handle is open.
zerova::UniqueFileHandle OpenForReadingOnly(const wchar_t* path)
{
    zerova::UniqueFileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (file && (::GetFileType(file.Get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file.Get(), &information) ||
                 (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0))
        file.Reset();
    return file;
}

// A folder opened so that it cannot be renamed or deleted; files in it can still be made.
zerova::UniqueFileHandle OpenFolderAgainstRenaming(const wchar_t* path)
{
    return zerova::UniqueFileHandle(::CreateFileW(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

struct CHeldLibraryFiles::Files {
    wchar_t path[MAX_PATH] = L"";
    zerova::UniqueFileHandle library;
    std::vector<zerova::UniqueFileHandle> others;
    std::vector<zerova::UniqueLibrary> modules;
};

CHeldLibraryFiles::CHeldLibraryFiles() : m_files(new Files) {}

CHeldLibraryFiles::~CHeldLibraryFiles() = default;

bool CHeldLibraryFiles::HoldLibrary(const wchar_t* path)
{
    Clear();
    if (zerova::IsEmpty(path) || zerova::BoundedLength(path, MAX_PATH) >= MAX_PATH) return false;
    m_files->library = OpenForReadingOnly(path);
    if (!m_files->library) return false;
    zerova::CopyString(m_files->path, MAX_PATH, path);
    return true;
}

bool CHeldLibraryFiles::HoldFolders()
{
    // "X:\a\b\library.dll": "X:\a\b" and "X:\a"; the root cannot be renamed.
    std::wstring folder(m_files->path);
    for (size_t end = folder.find_last_of(L"\\/"); end != std::wstring::npos && end > 2;
         end = folder.find_last_of(L"\\/")) {
        folder.resize(end);
        while (!folder.empty() && IsSeparator(folder.back())) folder.pop_back();
        if (folder.size() <= 2) break;
        zerova::UniqueFileHandle held = OpenFolderAgainstRenaming(folder.c_str());
        if (!held) return false;
        m_files->others.push_back(std::move(held));
    }
    return true;
}

HANDLE CHeldLibraryFiles::HoldDependency(const wchar_t* path)
{
    zerova::UniqueFileHandle file = OpenForReadingOnly(path);
    if (!file) return nullptr;
    const HANDLE held = file.Get();
    m_files->others.push_back(std::move(file));
    return held;
}

void CHeldLibraryFiles::KeepModule(HMODULE module)
{
    if (module != nullptr) m_files->modules.emplace_back(module);
}

HANDLE CHeldLibraryFiles::File() const { return m_files->library.Get(); }

const wchar_t* CHeldLibraryFiles::Path() const { return m_files->path; }

void CHeldLibraryFiles::Clear()
{
    m_files->modules.clear();
    m_files->others.clear();
    m_files->library.Reset();
    m_files->path[0] = L'\0';
}
