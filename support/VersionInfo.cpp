#include "VersionInfo.h"
#include "MemoryManager.h"
#include "SafeString.h"

CVersionInfo::CVersionInfo(const wchar_t* path) : m_data(nullptr)
{
    if (zerova::IsEmpty(path)) return;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return;
    m_data = CMemoryManager::Alloc(size);
    if (m_data != nullptr && !GetFileVersionInfoW(path, 0, size, m_data)) {
        CMemoryManager::Free(m_data);
        m_data = nullptr;
    }
}

CVersionInfo::~CVersionInfo() { CMemoryManager::Free(m_data); }

bool CVersionInfo::GetValue(const wchar_t* name, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return false;
    buffer[0] = L'\0';
    if (m_data == nullptr || zerova::IsEmpty(name)) return false;

    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT bytes = 0;
    Translation fallbacks[] = {{0x0409, 0x04B0}, {0x0409, 0x04E4}, {0x0000, 0x04B0}};
    UINT count = 0;
    if (VerQueryValueW(m_data, L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &bytes) &&
        translations != nullptr)
        count = bytes / sizeof(Translation);

    for (UINT i = 0; i < count + 3; ++i) {
        const Translation& t = i < count ? translations[i] : fallbacks[i - count];
        wchar_t query[128];
        zerova::FormatString(query, 128, L"\\StringFileInfo\\%04x%04x\\%s", t.language, t.codePage, name);
        wchar_t* value = nullptr;
        UINT chars = 0;
        if (VerQueryValueW(m_data, query, reinterpret_cast<void**>(&value), &chars) && value != nullptr) {
            size_t n = zerova::BoundedLength(value, chars);
            if (static_cast<int>(n) >= length) n = static_cast<size_t>(length - 1);
            wmemcpy(buffer, value, n);
            buffer[n] = L'\0';
            return true;
        }
    }
    return false;
}
