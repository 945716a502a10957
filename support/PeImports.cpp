#include "PeImports.h"

#include <algorithm>
#include <cstring>

namespace zerova {
namespace {

const WORD kMaxSections = 96;
const DWORD kMaxImportedLibraries = 4096;
const DWORD kMaxExports = 65536;
const size_t kMaxNameLength = MAX_PATH;

// Reads at offsets through the caller's handle, never past the end of the file; the handle's file
// pointer is left alone.
class FileReader {
public:
    explicit FileReader(HANDLE file) : m_file(file), m_size(0)
    {
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(file, &size) && size.QuadPart > 0) m_size = static_cast<ULONGLONG>(size.QuadPart);
    }

    bool Read(ULONGLONG offset, void* target, DWORD bytes) const
    {
        if (offset > m_size || bytes > m_size - offset) return false;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        return ::ReadFile(m_file, target, bytes, &got, &at) && got == bytes;
    }

    // A printable ASCII name ended by a zero within kMaxNameLength characters.
    bool ReadName(ULONGLONG offset, std::wstring& name) const
    {
        char text[kMaxNameLength + 1] = {};
        const ULONGLONG left = offset < m_size ? m_size - offset : 0;
        const DWORD bytes = static_cast<DWORD>(std::min<ULONGLONG>(left, kMaxNameLength + 1));
        if (bytes == 0 || !Read(offset, text, bytes)) return false;
        const size_t length = strnlen(text, bytes);
        if (length == 0 || length == bytes) return false;
        name.clear();
        for (size_t i = 0; i < length; ++i) {
            if (text[i] < 0x20 || text[i] > 0x7E) return false;
            name.push_back(static_cast<wchar_t>(text[i]));
        }
        return true;
    }

private:
    HANDLE m_file;
    ULONGLONG m_size;
};

// The headers of a PE image that say where its tables lie in the file.
class ImageLayout {
public:
    explicit ImageLayout(const FileReader& reader) : m_reader(reader), m_sizeOfHeaders(0), m_directories() {}

    bool Load()
    {
        IMAGE_DOS_HEADER dos{};
        if (!m_reader.Read(0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return false;
        const ULONGLONG nt = static_cast<ULONGLONG>(dos.e_lfanew);
        DWORD signature = 0;
        IMAGE_FILE_HEADER header{};
        if (!m_reader.Read(nt, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE ||
            !m_reader.Read(nt + sizeof(signature), &header, sizeof(header)) || header.NumberOfSections > kMaxSections)
            return false;
        const ULONGLONG optional = nt + sizeof(signature) + sizeof(header);
        return LoadOptionalHeader(optional, header.SizeOfOptionalHeader) &&
               LoadSections(optional + header.SizeOfOptionalHeader, header.NumberOfSections);
    }

    const IMAGE_DATA_DIRECTORY& Directory(int index) const { return m_directories[index]; }

    // Where the byte at a relative virtual address lies in the file.
    bool OffsetOf(DWORD rva, ULONGLONG& offset) const
    {
        if (rva < m_sizeOfHeaders) {
            offset = rva;
            return true;
        }
        for (const IMAGE_SECTION_HEADER& section : m_sections) {
            const DWORD start = section.VirtualAddress;
            if (rva >= start && rva - start < section.SizeOfRawData) {
                offset = static_cast<ULONGLONG>(section.PointerToRawData) + (rva - start);
                return true;
            }
        }
        return false;
    }

private:
    // PE32 and PE32+ differ here only in where the data directories begin.
    bool LoadOptionalHeader(ULONGLONG offset, WORD size)
    {
        union {
            WORD magic;
            IMAGE_OPTIONAL_HEADER32 pe32;
            IMAGE_OPTIONAL_HEADER64 pe64;
        } header;
        std::memset(&header, 0, sizeof(header));
        const DWORD bytes = std::min<DWORD>(size, sizeof(header));
        if (bytes < sizeof(WORD) || !m_reader.Read(offset, &header, bytes)) return false;
        const IMAGE_DATA_DIRECTORY* directories = nullptr;
        DWORD count = 0;
        if (header.magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC && bytes >= offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)) {
            directories = header.pe32.DataDirectory;
            count = std::min<DWORD>(header.pe32.NumberOfRvaAndSizes,
                                    (bytes - offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)) / sizeof(IMAGE_DATA_DIRECTORY));
            m_sizeOfHeaders = header.pe32.SizeOfHeaders;
        } else if (header.magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC &&
                   bytes >= offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)) {
            directories = header.pe64.DataDirectory;
            count = std::min<DWORD>(header.pe64.NumberOfRvaAndSizes,
                                    (bytes - offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)) / sizeof(IMAGE_DATA_DIRECTORY));
            m_sizeOfHeaders = header.pe64.SizeOfHeaders;
        } else {
            return false;
        }
        for (DWORD i = 0; i < count && i < IMAGE_NUMBEROF_DIRECTORY_ENTRIES; ++i) m_directories[i] = directories[i];
        return true;
    }

    bool LoadSections(ULONGLONG offset, WORD count)
    {
        m_sections.resize(count);
        return count == 0 || m_reader.Read(offset, m_sections.data(), count * sizeof(IMAGE_SECTION_HEADER));
    }

    const FileReader& m_reader;
    DWORD m_sizeOfHeaders;
    IMAGE_DATA_DIRECTORY m_directories[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
    std::vector<IMAGE_SECTION_HEADER> m_sections;
};

bool ReadImportedLibraries(const FileReader& reader, const ImageLayout& image, std::vector<std::wstring>& names)
{
    const IMAGE_DATA_DIRECTORY& imports = image.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (imports.VirtualAddress == 0) return true;
    for (DWORD i = 0; i < kMaxImportedLibraries; ++i) {
        IMAGE_IMPORT_DESCRIPTOR descriptor{};
        ULONGLONG at = 0, nameAt = 0;
        const DWORD rva = imports.VirtualAddress + i * static_cast<DWORD>(sizeof(descriptor));
        if (!image.OffsetOf(rva, at) || !reader.Read(at, &descriptor, sizeof(descriptor))) return false;
        if (descriptor.Name == 0 && descriptor.FirstThunk == 0) return true;
        std::wstring name;
        if (!image.OffsetOf(descriptor.Name, nameAt) || !reader.ReadName(nameAt, name)) return false;
        names.push_back(name);
    }
    return false;
}

// An export whose address lies inside the export table is a forwarder "LIBRARY.Function".
bool ReadForwardedLibraries(const FileReader& reader, const ImageLayout& image, std::vector<std::wstring>& names)
{
    const IMAGE_DATA_DIRECTORY& exports = image.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (exports.VirtualAddress == 0) return true;
    IMAGE_EXPORT_DIRECTORY directory{};
    ULONGLONG at = 0;
    if (!image.OffsetOf(exports.VirtualAddress, at) || !reader.Read(at, &directory, sizeof(directory)) ||
        directory.NumberOfFunctions > kMaxExports)
        return false;
    std::vector<DWORD> addresses(directory.NumberOfFunctions);
    if (!addresses.empty() && (!image.OffsetOf(directory.AddressOfFunctions, at) ||
                               !reader.Read(at, addresses.data(), static_cast<DWORD>(addresses.size() * sizeof(DWORD)))))
        return false;
    for (DWORD address : addresses) {
        if (address < exports.VirtualAddress || address - exports.VirtualAddress >= exports.Size) continue;
        std::wstring forwarder;
        if (!image.OffsetOf(address, at) || !reader.ReadName(at, forwarder)) return false;
        const size_t dot = forwarder.rfind(L'.');
        if (dot == std::wstring::npos || dot == 0) return false;
        names.push_back(forwarder.substr(0, dot));
    }
    return true;
}

}  // namespace

bool ReadLoadTimeLibraries(HANDLE file, std::vector<std::wstring>& names)
{
    names.clear();
    const FileReader reader(file);
    ImageLayout image(reader);
    return image.Load() && ReadImportedLibraries(reader, image, names) && ReadForwardedLibraries(reader, image, names);
}

bool IsApiSetName(const wchar_t* name)
{
    return name != nullptr && (::_wcsnicmp(name, L"api-ms-", 7) == 0 || ::_wcsnicmp(name, L"ext-ms-", 7) == 0);
}

}  // namespace zerova
