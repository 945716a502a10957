// Registry reads and writes. Every function returns true on success; a value of the wrong type or
// one too long for the caller's buffer fails and leaves the buffer empty.
#pragma once
#include "SupportAPI.h"

#include <vector>

class ZEROVA_SUPPORT_API CRegistryEx {
public:
    // A flag: REG_DWORD or REG_QWORD (non-zero is true) or a decimal REG_SZ. On failure flag = defaultValue.
    static bool Get(HKEY root, const wchar_t* key, const wchar_t* value, bool& flag, bool defaultValue);
    // The same flag from a key the caller holds open: ERROR_SUCCESS, or why it could not be read
    // (ERROR_KEY_DELETED once the key was deleted, ERROR_INVALID_DATA for a value that is no flag).
    static LONG GetFromOpenKey(HKEY opened, const wchar_t* value, bool& flag, bool defaultValue);
    static bool Get(HKEY root, const wchar_t* key, const wchar_t* value, DWORD& number);
    // A value as stored, its type and bytes: ERROR_SUCCESS, or why it could not be read
    // (ERROR_FILE_NOT_FOUND when the key or the value is not there).
    static LONG GetRaw(HKEY root, const wchar_t* key, const wchar_t* value, DWORD& type, std::vector<BYTE>& data);
    // A REG_SZ or REG_EXPAND_SZ string, as stored.
    static bool Get(HKEY root, const wchar_t* key, const wchar_t* value, wchar_t* buffer, int length);
    // A string with its environment variables expanded.
    static bool GetPath(HKEY root, const wchar_t* key, const wchar_t* value, wchar_t* buffer, int length);

    // Writes, creating the key when needed.
    static bool Set(HKEY root, const wchar_t* key, const wchar_t* value, const wchar_t* text);
    static bool Set(HKEY root, const wchar_t* key, const wchar_t* value, DWORD number);
};
