#include "PeFile.h"

#include "Handles.h"

#include <cstring>

namespace {

const LONGLONG kMaxFileBytes = 64ll * 1024 * 1024;
const size_t kMaxName = 512;
const DWORD kMaxEntries = 65536;

// The file's bytes with bounded reads of plain structures and of names.
class Image {
public:
    explicit Image(std::vector<BYTE> bytes) : m_bytes(std::move(bytes)) {}

    template <typename T>
    bool Read(size_t offset, T& value) const
    {
        if (offset > m_bytes.size() || sizeof(T) > m_bytes.size() - offset) return false;
        std::memcpy(&value, m_bytes.data() + offset, sizeof(T));
        return true;
    }
    bool ReadName(size_t offset, std::string& name) const
    {
        name.clear();
        for (size_t at = offset; at < m_bytes.size() && name.size() < kMaxName; ++at) {
            if (m_bytes[at] == 0) return !name.empty();
            name += static_cast<char>(m_bytes[at]);
        }
        return false;
    }

private:
    std::vector<BYTE> m_bytes;
};

struct Layout {
    std::vector<IMAGE_SECTION_HEADER> sections;
    DWORD headersSize = 0;
    ULONGLONG imageBase = 0;
    IMAGE_DATA_DIRECTORY exports{}, imports{}, delayed{};
};

// The file offset of a relative virtual address; false when no section holds it.
bool OffsetOf(const Layout& layout, DWORD rva, size_t& offset)
{
    if (rva < layout.headersSize) {
        offset = rva;
        return true;
    }
    for (const IMAGE_SECTION_HEADER& section : layout.sections) {
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData) {
            offset = static_cast<size_t>(section.PointerToRawData) + (rva - section.VirtualAddress);
            return true;
        }
    }
    return false;
}

bool ReadFileBytes(const std::wstring& path, std::vector<BYTE>& bytes, std::wstring& problem)
{
    zerova::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.Get(), &size)) {
        problem = L"the file cannot be read (Windows error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    if (size.QuadPart > kMaxFileBytes) {
        problem = L"the file is larger than 64 MiB, which no plug-in is";
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                           got != bytes.size())) {
        problem = L"the file cannot be read whole";
        return false;
    }
    return true;
}

template <typename OptionalHeader>
bool ReadLayout(const Image& image, size_t optionalAt, WORD sectionCount, WORD optionalSize, Layout& layout)
{
    OptionalHeader header{};
    if (!image.Read(optionalAt, header)) return false;
    layout.headersSize = header.SizeOfHeaders;
    layout.imageBase = header.ImageBase;
    auto directory = [&](DWORD index) {
        return index < header.NumberOfRvaAndSizes && index < IMAGE_NUMBEROF_DIRECTORY_ENTRIES ? header.DataDirectory[index]
                                                                                              : IMAGE_DATA_DIRECTORY{};
    };
    layout.exports = directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    layout.imports = directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    layout.delayed = directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
    const size_t sectionsAt = optionalAt + optionalSize;
    for (WORD i = 0; i < sectionCount; ++i) {
        IMAGE_SECTION_HEADER section{};
        if (!image.Read(sectionsAt + i * sizeof(section), section)) return false;
        layout.sections.push_back(section);
    }
    return true;
}

void ReadExports(const Image& image, const Layout& layout, std::vector<std::string>& names)
{
    size_t at = 0;
    IMAGE_EXPORT_DIRECTORY directory{};
    if (layout.exports.VirtualAddress == 0 || !OffsetOf(layout, layout.exports.VirtualAddress, at) ||
        !image.Read(at, directory))
        return;
    size_t namesAt = 0;
    if (!OffsetOf(layout, directory.AddressOfNames, namesAt)) return;
    for (DWORD i = 0; i < directory.NumberOfNames && i < kMaxEntries; ++i) {
        DWORD nameRva = 0;
        size_t nameAt = 0;
        std::string name;
        if (image.Read(namesAt + i * sizeof(DWORD), nameRva) && OffsetOf(layout, nameRva, nameAt) &&
            image.ReadName(nameAt, name))
            names.push_back(name);
    }
}

void ReadImports(const Image& image, const Layout& layout, std::vector<std::string>& names)
{
    size_t at = 0;
    if (layout.imports.VirtualAddress == 0 || !OffsetOf(layout, layout.imports.VirtualAddress, at)) return;
    for (DWORD i = 0; i < kMaxEntries; ++i) {
        IMAGE_IMPORT_DESCRIPTOR descriptor{};
        if (!image.Read(at + i * sizeof(descriptor), descriptor) || descriptor.Name == 0) return;
        size_t nameAt = 0;
        std::string name;
        if (OffsetOf(layout, descriptor.Name, nameAt) && image.ReadName(nameAt, name)) names.push_back(name);
    }
}

void ReadDelayedImports(const Image& image, const Layout& layout, std::vector<std::string>& names)
{
    size_t at = 0;
    if (layout.delayed.VirtualAddress == 0 || !OffsetOf(layout, layout.delayed.VirtualAddress, at)) return;
    for (DWORD i = 0; i < kMaxEntries; ++i) {
        IMAGE_DELAYLOAD_DESCRIPTOR descriptor{};
        if (!image.Read(at + i * sizeof(descriptor), descriptor) || descriptor.DllNameRVA == 0) return;
        // Old linkers wrote addresses instead of relative ones (attribute bit 0 clear).
        ULONGLONG rva = descriptor.DllNameRVA;
        if ((descriptor.Attributes.AllAttributes & 1) == 0 && rva >= layout.imageBase) rva -= layout.imageBase;
        size_t nameAt = 0;
        std::string name;
        if (rva <= MAXDWORD && OffsetOf(layout, static_cast<DWORD>(rva), nameAt) && image.ReadName(nameAt, name))
            names.push_back(name);
    }
}

}  // namespace

bool ReadPeFacts(const std::wstring& path, PeFacts& facts, std::wstring& problem)
{
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(path, bytes, problem)) return false;
    const Image image(std::move(bytes));
    IMAGE_DOS_HEADER dos{};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    WORD magic = 0;
    if (!image.Read(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !image.Read(static_cast<size_t>(dos.e_lfanew), signature) || signature != IMAGE_NT_SIGNATURE ||
        !image.Read(static_cast<size_t>(dos.e_lfanew) + sizeof(signature), header)) {
        problem = L"the file is no Windows program or library (no \"MZ\" and \"PE\" headers where they belong)";
        return false;
    }
    const size_t optionalAt = static_cast<size_t>(dos.e_lfanew) + sizeof(signature) + sizeof(header);
    Layout layout;
    const bool read = image.Read(optionalAt, magic) &&
                      (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
                           ? ReadLayout<IMAGE_OPTIONAL_HEADER64>(image, optionalAt, header.NumberOfSections,
                                                                 header.SizeOfOptionalHeader, layout)
                           : magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC &&
                                 ReadLayout<IMAGE_OPTIONAL_HEADER32>(image, optionalAt, header.NumberOfSections,
                                                                     header.SizeOfOptionalHeader, layout));
    if (!read) {
        problem = L"the file's PE headers are damaged";
        return false;
    }
    facts.machine = header.Machine;
    facts.isLibrary = (header.Characteristics & IMAGE_FILE_DLL) != 0;
    ReadExports(image, layout, facts.exports);
    ReadImports(image, layout, facts.imports);
    ReadDelayedImports(image, layout, facts.delayed);
    return true;
}

std::wstring MachineName(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return L"i686 (32-bit x86)";
    case IMAGE_FILE_MACHINE_AMD64:
        return L"x86_64 (64-bit x64)";
    case IMAGE_FILE_MACHINE_ARM64:
        return L"ARM64";
    case IMAGE_FILE_MACHINE_ARMNT:
        return L"ARM (32-bit)";
    default: {
        wchar_t text[32];
        swprintf(text, 32, L"machine 0x%04X", static_cast<unsigned>(machine));
        return text;
    }
    }
}

WORD OwnMachine()
{
#ifdef _WIN64
    return IMAGE_FILE_MACHINE_AMD64;
#else
    return IMAGE_FILE_MACHINE_I386;
#endif
}
