#include "Quarantine.h"

#include "Handles.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <cwchar>
#include <vector>

namespace plugins {

namespace {
const wchar_t kAllowedValue[] = L"QuarantineAfter";
const wchar_t kHoursValue[] = L"QuarantineHours";
const DWORD kDefaultAllowed = 3;
const DWORD kDefaultHours = 24;

const wchar_t kQuarantinedValue[] = L"Quarantined";
const wchar_t kReasonValue[] = L"QuarantineReason";
const wchar_t kSinceValue[] = L"QuarantineTime";
const wchar_t kCountValue[] = L"OffenceCount";
const wchar_t kTimesValue[] = L"OffenceTimes";
const wchar_t kLastReasonValue[] = L"LastOffence";

const ULONGLONG kTicksPerHour = 36000000000ull;  // FILETIME units

ULONGLONG Now()
{
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::wstring LocalTimeText()
{
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t text[32];
    zerova::FormatString(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                         now.wMinute, now.wSecond);
    return text;
}

std::vector<ULONGLONG> ReadTimes(const std::wstring& entry)
{
    std::vector<ULONGLONG> times;
    wchar_t text[1024] = L"";
    if (!CRegistryEx::Get(HKEY_LOCAL_MACHINE, entry.c_str(), kTimesValue, text, 1024)) return times;
    for (wchar_t* next = text; *next != L'\0';) {
        wchar_t* end = nullptr;
        const ULONGLONG time = std::wcstoull(next, &end, 10);
        if (end == next) break;
        times.push_back(time);
        next = end;
    }
    return times;
}

bool KeyExists(const std::wstring& entry)
{
    zerova::UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, entry.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}
}  // namespace

Quarantine::Quarantine(std::wstring pluginsKey, std::wstring settingsKey)
    : m_pluginsKey(std::move(pluginsKey)), m_settingsKey(std::move(settingsKey))
{
}

std::wstring Quarantine::EntryOf(const wchar_t* subkey) const { return m_pluginsKey + L"\\" + subkey; }

DWORD Quarantine::OffencesAllowed() const
{
    DWORD allowed = kDefaultAllowed;
    if (!CRegistryEx::Get(HKEY_LOCAL_MACHINE, m_settingsKey.c_str(), kAllowedValue, allowed) || allowed == 0)
        allowed = kDefaultAllowed;
    return allowed;
}

DWORD Quarantine::WindowHours() const
{
    DWORD hours = kDefaultHours;
    if (!CRegistryEx::Get(HKEY_LOCAL_MACHINE, m_settingsKey.c_str(), kHoursValue, hours) || hours == 0)
        hours = kDefaultHours;
    return hours;
}

bool Quarantine::RecordOffence(const wchar_t* subkey, const wchar_t* reason)
{
    if (subkey == nullptr || subkey[0] == L'\0') return false;
    const std::wstring entry = EntryOf(subkey);
    if (!KeyExists(entry)) return false;  // an entry that went meanwhile is not made again
    const ULONGLONG now = Now();
    const ULONGLONG window = WindowHours() * kTicksPerHour;
    std::vector<ULONGLONG> kept;
    for (ULONGLONG time : ReadTimes(entry))
        if (time <= now && now - time < window) kept.push_back(time);
    kept.push_back(now);
    const DWORD allowed = OffencesAllowed();
    // Only the offences that can still count are kept.
    while (kept.size() > allowed) kept.erase(kept.begin());
    std::wstring times;
    for (ULONGLONG time : kept) times += std::to_wstring(time) + L" ";
    CRegistryEx::Set(HKEY_LOCAL_MACHINE, entry.c_str(), kTimesValue, times.c_str());
    CRegistryEx::Set(HKEY_LOCAL_MACHINE, entry.c_str(), kCountValue, static_cast<DWORD>(kept.size()));
    CRegistryEx::Set(HKEY_LOCAL_MACHINE, entry.c_str(), kLastReasonValue, reason != nullptr ? reason : L"");
    if (kept.size() < allowed || IsQuarantined(subkey)) return false;
    CRegistryEx::Set(HKEY_LOCAL_MACHINE, entry.c_str(), kReasonValue, reason != nullptr ? reason : L"");
    CRegistryEx::Set(HKEY_LOCAL_MACHINE, entry.c_str(), kSinceValue, LocalTimeText().c_str());
    CRegistryEx::Set(HKEY_LOCAL_MACHINE, entry.c_str(), kQuarantinedValue, 1);
    return true;
}

bool Quarantine::IsQuarantined(const wchar_t* subkey, std::wstring* reason, std::wstring* since) const
{
    if (subkey == nullptr || subkey[0] == L'\0') return false;
    const std::wstring entry = EntryOf(subkey);
    DWORD quarantined = 0;
    if (!CRegistryEx::Get(HKEY_LOCAL_MACHINE, entry.c_str(), kQuarantinedValue, quarantined) || quarantined == 0)
        return false;
    wchar_t text[1024] = L"";
    if (reason != nullptr && CRegistryEx::Get(HKEY_LOCAL_MACHINE, entry.c_str(), kReasonValue, text, 1024)) *reason = text;
    if (since != nullptr && CRegistryEx::Get(HKEY_LOCAL_MACHINE, entry.c_str(), kSinceValue, text, 1024)) *since = text;
    return true;
}

bool Quarantine::Clear(const wchar_t* subkey) const
{
    if (subkey == nullptr || subkey[0] == L'\0') return false;
    zerova::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EntryOf(subkey).c_str(), 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS)
        return false;
    for (const wchar_t* value : {kQuarantinedValue, kReasonValue, kSinceValue, kCountValue, kTimesValue, kLastReasonValue})
        ::RegDeleteValueW(key.Get(), value);
    return true;
}

}  // namespace plugins
