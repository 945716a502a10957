// Plug-ins that keep failing are kept out: a plug-in that faulted, hung past the limit or was in a
// call when the process ended as often as the limit allows within the window (3 times in 24 hours
// unless the library's key says otherwise) is not loaded at the next starts until it is cleared.
// What is known is kept under the plug-in's own registry entry.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace plugins {

class Quarantine {
public:
    // pluginsKey: the plug-in list under HKEY_LOCAL_MACHINE; settingsKey: where the limits are.
    Quarantine(std::wstring pluginsKey, std::wstring settingsKey);

    // One more offence of the plug-in (its registry subkey); true when this one put it in quarantine.
    bool RecordOffence(const wchar_t* subkey, const wchar_t* reason);
    // The plug-in is in quarantine; reason and when it was put there, if asked for.
    bool IsQuarantined(const wchar_t* subkey, std::wstring* reason = nullptr, std::wstring* since = nullptr) const;
    // Lifts the quarantine and forgets the offences; false when the plug-in is not registered.
    bool Clear(const wchar_t* subkey) const;

    DWORD OffencesAllowed() const;
    DWORD WindowHours() const;

private:
    std::wstring EntryOf(const wchar_t* subkey) const;

    std::wstring m_pluginsKey;
    std::wstring m_settingsKey;
};

}  // namespace plugins
