// A flag read again and again, from a key held open between reads: one registry call per read
// instead of four. A deleted key is opened again, so every read sees the value as it stands.
#pragma once

#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CRegistryFlag {
public:
    CRegistryFlag(HKEY root, const wchar_t* key, const wchar_t* value, bool defaultValue);
    ~CRegistryFlag();
    CRegistryFlag(const CRegistryFlag&) = delete;
    CRegistryFlag& operator=(const CRegistryFlag&) = delete;

    // The flag as CRegistryEx::Get reads it: the default when the key or value is missing or is no
    // flag. Not for several threads at once.
    bool Read();

private:
    void Close();

    HKEY m_root;
    wchar_t m_key[260];
    wchar_t m_value[64];
    bool m_default;
    HKEY m_opened;
};
