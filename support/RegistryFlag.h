// A flag read again and again, from a key held open between reads: one registry call per read
// instead of four. A deleted key is opened again, so every read sees the value as it stands.
#pragma once

#include "SupportAPI.h"
#include "Handles.h"

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
    HKEY m_root;
    wchar_t m_key[260];
    wchar_t m_value[64];
    bool m_default;
    zerova::UniqueRegKey m_opened;
};

// A security switch that fails closed. Absent (no key or no value) is off; so are a DWORD or QWORD
// 0 and the texts "0", "false" and "no". Other numbers and the texts "true" and "yes" are on. Any
// other value that is there (another type or text, an empty text, a value that cannot be read) is
// on too, and counts as not understood.
class ZEROVA_SUPPORT_API CRegistrySwitch {
public:
    enum class Reading { Off, On, NotUnderstood };

    // seen: what was found, for a report ("REG_SZ \"yes please\"", "REG_BINARY, 3 bytes", ...).
    static Reading Read(HKEY root, const wchar_t* key, const wchar_t* value, wchar_t* seen, int seenLength);
};
