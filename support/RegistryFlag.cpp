#include "RegistryFlag.h"

#include "RegistryEx.h"
#include "SafeString.h"

CRegistryFlag::CRegistryFlag(HKEY root, const wchar_t* key, const wchar_t* value, bool defaultValue)
    : m_root(root), m_key(), m_value(), m_default(defaultValue), m_opened(nullptr)
{
    zerova::CopyString(m_key, 260, key);
    zerova::CopyString(m_value, 64, value);
}

CRegistryFlag::~CRegistryFlag() { Close(); }

void CRegistryFlag::Close()
{
    if (m_opened != nullptr) ::RegCloseKey(m_opened);
    m_opened = nullptr;
}

bool CRegistryFlag::Read()
{
    bool flag = m_default;
    // A second try with a freshly opened key when the held one was deleted meanwhile.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_opened == nullptr && ::RegOpenKeyExW(m_root, m_key, 0, KEY_QUERY_VALUE, &m_opened) != ERROR_SUCCESS) {
            m_opened = nullptr;
            return m_default;
        }
        const LONG rc = CRegistryEx::GetFromOpenKey(m_opened, m_value, flag, m_default);
        if (rc != ERROR_KEY_DELETED && rc != ERROR_INVALID_HANDLE) return rc == ERROR_SUCCESS ? flag : m_default;
        Close();
    }
    return m_default;
}
