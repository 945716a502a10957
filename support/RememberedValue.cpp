#include "RememberedValue.h"

#include "RegistryEx.h"

namespace zerova {

bool ReadRememberedValue(const wchar_t* key, const wchar_t* value, DWORD& number)
{
    return CRegistryEx::Get(HKEY_CURRENT_USER, key, value, number) ||
           CRegistryEx::Get(HKEY_LOCAL_MACHINE, key, value, number);
}

bool WriteRememberedValue(const wchar_t* key, const wchar_t* value, DWORD number)
{
    if (CRegistryEx::Set(HKEY_LOCAL_MACHINE, key, value, number)) {
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key, value);
        return true;
    }
    return CRegistryEx::Set(HKEY_CURRENT_USER, key, value, number);
}

}  // namespace zerova
