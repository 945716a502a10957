#include "RegistryEx.h"
#include "Handles.h"
#include "SafeString.h"

#include <string>
#include <vector>

namespace {

zerova::UniqueRegKey OpenForReading(HKEY root, const wchar_t* key)
{
    zerova::UniqueRegKey opened;
    if (root == nullptr || key == nullptr) return opened;
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, opened.Put()) != ERROR_SUCCESS) opened.Release();
    return opened;
}

// Reads a value of an open key whole. Small values take one call; a larger one is asked for its
// size first. The status of the last call (ERROR_KEY_DELETED for a key deleted since it was opened).
LONG QueryOpenKey(HKEY opened, const wchar_t* value, DWORD& type, std::vector<BYTE>& data)
{
    BYTE small[256];
    DWORD size = sizeof(small);
    LONG rc = RegQueryValueExW(opened, value, nullptr, &type, small, &size);
    if (rc == ERROR_SUCCESS) {
        data.assign(small, small + size);
        return rc;
    }
    for (int attempt = 0; attempt < 3 && rc == ERROR_MORE_DATA; ++attempt) {  // the value may grow meanwhile
        data.assign(size + sizeof(wchar_t), 0);
        DWORD got = size;
        rc = RegQueryValueExW(opened, value, nullptr, &type, data.data(), &got);
        if (rc == ERROR_SUCCESS) data.resize(got);
        size = got;
    }
    return rc;
}

// Reads a value whole; false when it is absent or cannot be read.
bool QueryRaw(HKEY root, const wchar_t* key, const wchar_t* value, DWORD& type, std::vector<BYTE>& data)
{
    zerova::UniqueRegKey opened = OpenForReading(root, key);
    return opened && QueryOpenKey(opened.Get(), value, type, data) == ERROR_SUCCESS;
}

bool ParseFlag(DWORD type, const std::vector<BYTE>& data, bool& flag)
{
    if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
        flag = *reinterpret_cast<const DWORD*>(data.data()) != 0;
        return true;
    }
    if (type == REG_QWORD && data.size() == sizeof(ULONGLONG)) {
        flag = *reinterpret_cast<const ULONGLONG*>(data.data()) != 0;
        return true;
    }
    if (type == REG_SZ) {
        size_t units = data.size() / sizeof(wchar_t);
        const wchar_t* chars = reinterpret_cast<const wchar_t*>(data.data());
        std::wstring text(chars, zerova::BoundedLength(chars, units));
        if (text.empty() || text.size() > 32) return false;
        wchar_t* end = nullptr;
        long number = wcstol(text.c_str(), &end, 10);
        if (end == text.c_str() || *end != L'\0') return false;
        flag = number != 0;
        return true;
    }
    return false;
}

bool ReadString(HKEY root, const wchar_t* key, const wchar_t* value, std::wstring& text)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!QueryRaw(root, key, value, type, data)) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    size_t units = data.size() / sizeof(wchar_t);
    const wchar_t* chars = reinterpret_cast<const wchar_t*>(data.data());
    text.assign(chars, zerova::BoundedLength(chars, units));
    return true;
}

bool StoreInBuffer(const std::wstring& text, wchar_t* buffer, int length)
{
    if (text.size() >= static_cast<size_t>(length)) {
        buffer[0] = L'\0';
        return false;
    }
    zerova::CopyString(buffer, length, text.c_str());
    return true;
}

bool WriteValue(HKEY root, const wchar_t* key, const wchar_t* value, DWORD type, const void* data, DWORD bytes)
{
    if (root == nullptr || key == nullptr) return false;
    zerova::UniqueRegKey opened;
    if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, opened.Put(), nullptr) != ERROR_SUCCESS) {
        opened.Release();
        return false;
    }
    return RegSetValueExW(opened.Get(), value, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

}  // namespace

bool CRegistryEx::Get(HKEY root, const wchar_t* key, const wchar_t* value, bool& flag, bool defaultValue)
{
    flag = defaultValue;
    DWORD type = 0;
    std::vector<BYTE> data;
    return QueryRaw(root, key, value, type, data) && ParseFlag(type, data, flag);
}

LONG CRegistryEx::GetFromOpenKey(HKEY opened, const wchar_t* value, bool& flag, bool defaultValue)
{
    flag = defaultValue;
    DWORD type = 0;
    std::vector<BYTE> data;
    const LONG rc = QueryOpenKey(opened, value, type, data);
    if (rc == ERROR_SUCCESS && !ParseFlag(type, data, flag)) return ERROR_INVALID_DATA;
    return rc;
}

LONG CRegistryEx::GetRaw(HKEY root, const wchar_t* key, const wchar_t* value, DWORD& type, std::vector<BYTE>& data)
{
    if (root == nullptr || key == nullptr) return ERROR_INVALID_PARAMETER;
    zerova::UniqueRegKey opened;
    const LONG rc = RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, opened.Put());
    if (rc != ERROR_SUCCESS) {
        opened.Release();
        return rc;
    }
    return QueryOpenKey(opened.Get(), value, type, data);
}

bool CRegistryEx::Get(HKEY root, const wchar_t* key, const wchar_t* value, DWORD& number)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!QueryRaw(root, key, value, type, data)) return false;
    if (type != REG_DWORD || data.size() != sizeof(DWORD)) return false;
    number = *reinterpret_cast<const DWORD*>(data.data());
    return true;
}

bool CRegistryEx::Get(HKEY root, const wchar_t* key, const wchar_t* value, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return false;
    buffer[0] = L'\0';
    std::wstring text;
    if (!ReadString(root, key, value, text)) return false;
    return StoreInBuffer(text, buffer, length);
}

bool CRegistryEx::GetPath(HKEY root, const wchar_t* key, const wchar_t* value, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return false;
    buffer[0] = L'\0';
    std::wstring text;
    if (!ReadString(root, key, value, text)) return false;
    DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0) return false;
    std::wstring expanded(needed, L'\0');
    DWORD got = ExpandEnvironmentStringsW(text.c_str(), &expanded[0], needed);
    if (got == 0 || got > needed) return false;
    expanded.resize(zerova::BoundedLength(expanded.c_str(), expanded.size()));
    return StoreInBuffer(expanded, buffer, length);
}

bool CRegistryEx::Set(HKEY root, const wchar_t* key, const wchar_t* value, const wchar_t* text)
{
    const wchar_t* safe = text != nullptr ? text : L"";
    DWORD bytes = static_cast<DWORD>((wcslen(safe) + 1) * sizeof(wchar_t));
    return WriteValue(root, key, value, REG_SZ, safe, bytes);
}

bool CRegistryEx::Set(HKEY root, const wchar_t* key, const wchar_t* value, DWORD number)
{
    return WriteValue(root, key, value, REG_DWORD, &number, sizeof(number));
}
