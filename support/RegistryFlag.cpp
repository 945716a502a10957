#include "RegistryFlag.h"

#include "RegistryEx.h"
#include "SafeString.h"

#include <cstring>
#include <string>
#include <vector>

CRegistryFlag::CRegistryFlag(HKEY root, const wchar_t* key, const wchar_t* value, bool defaultValue)
    : m_root(root), m_key(), m_value(), m_default(defaultValue), m_opened()
{
    zerova::CopyString(m_key, 260, key);
    zerova::CopyString(m_value, 64, value);
}

CRegistryFlag::~CRegistryFlag() = default;

bool CRegistryFlag::Read()
{
    bool flag = m_default;
    // A second try with a freshly opened key when the held one was deleted meanwhile.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_opened) {
            HKEY opened = nullptr;
            if (::RegOpenKeyExW(m_root, m_key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return m_default;
            m_opened.Reset(opened);
        }
        const LONG rc = CRegistryEx::GetFromOpenKey(m_opened.Get(), m_value, flag, m_default);
        if (rc != ERROR_KEY_DELETED && rc != ERROR_INVALID_HANDLE) return rc == ERROR_SUCCESS ? flag : m_default;
        m_opened.Reset();
    }
    return m_default;
}

namespace {

bool IsDecimal(const std::wstring& text)
{
    if (text.empty() || text.size() > 32) return false;
    for (wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    return true;
}

CRegistrySwitch::Reading ReadText(const std::wstring& text)
{
    using Reading = CRegistrySwitch::Reading;
    if (IsDecimal(text)) return text.find_first_not_of(L'0') == std::wstring::npos ? Reading::Off : Reading::On;
    if (zerova::EqualsNoCase(text.c_str(), L"false") || zerova::EqualsNoCase(text.c_str(), L"no")) return Reading::Off;
    if (zerova::EqualsNoCase(text.c_str(), L"true") || zerova::EqualsNoCase(text.c_str(), L"yes")) return Reading::On;
    return Reading::NotUnderstood;
}

template <typename Number>
CRegistrySwitch::Reading ReadNumber(const std::vector<BYTE>& data)
{
    Number number = 0;
    std::memcpy(&number, data.data(), sizeof(number));
    return number == 0 ? CRegistrySwitch::Reading::Off : CRegistrySwitch::Reading::On;
}

const wchar_t* TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ: return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    case REG_DWORD: return L"REG_DWORD";
    case REG_QWORD: return L"REG_QWORD";
    case REG_BINARY: return L"REG_BINARY";
    default: return L"a value of another type";
    }
}

CRegistrySwitch::Reading Interpret(DWORD type, const std::vector<BYTE>& data, wchar_t* seen, int seenLength)
{
    using Reading = CRegistrySwitch::Reading;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        const size_t units = data.size() / sizeof(wchar_t);
        const wchar_t* chars = reinterpret_cast<const wchar_t*>(data.data());
        const std::wstring text(chars, zerova::BoundedLength(chars, units));
        zerova::FormatString(seen, seenLength, L"%s \"%.64s\"", TypeName(type), text.c_str());
        return ReadText(text);
    }
    if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
        zerova::FormatString(seen, seenLength, L"REG_DWORD %u", *reinterpret_cast<const DWORD*>(data.data()));
        return ReadNumber<DWORD>(data);
    }
    if (type == REG_QWORD && data.size() == sizeof(ULONGLONG)) {
        zerova::FormatString(seen, seenLength, L"REG_QWORD %I64u", *reinterpret_cast<const ULONGLONG*>(data.data()));
        return ReadNumber<ULONGLONG>(data);
    }
    zerova::FormatString(seen, seenLength, L"%s, %u bytes", TypeName(type), static_cast<unsigned>(data.size()));
    return Reading::NotUnderstood;
}

}  // namespace

CRegistrySwitch::Reading CRegistrySwitch::Read(HKEY root, const wchar_t* key, const wchar_t* value, wchar_t* seen,
                                               int seenLength)
{
    zerova::CopyString(seen, seenLength, L"nothing");
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    const LONG rc = CRegistryEx::GetRaw(root, key, value, type, data);
    if (rc == ERROR_FILE_NOT_FOUND) return Reading::Off;
    if (rc != ERROR_SUCCESS) {
        zerova::FormatString(seen, seenLength, L"a value that could not be read (error %ld)", rc);
        return Reading::NotUnderstood;
    }
    return Interpret(type, data, seen, seenLength);
}
