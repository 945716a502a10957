#include "QuarantineTool.h"

#include "PluginCheckTool.h"
#include "PluginRequest.h"
#include "Quarantine.h"
#include "ToolOutput.h"

#include "PluginInterface.h"
#include "VarnelUtils.h"

#include <windows.h>

namespace {

using tooloutput::Fail;
using tooloutput::Print;

plugins::Quarantine Records() { return plugins::Quarantine(CPluginInterface::PluginsKey, CPluginInterface::SettingsKey); }

// The entry a name means: its registry entry's name, its library's full path or file name.
bool FindEntry(const std::wstring& name, pluginregistry::Entry& found)
{
    for (const pluginregistry::Entry& entry : pluginregistry::AllEntries())
        if (_wcsicmp(entry.subkey.c_str(), name.c_str()) == 0) {
            found = entry;
            return true;
        }
    if (NamingOf(name.c_str()) == PluginNaming::FullPath) return pluginregistry::FindByPath(name, false, found);
    return pluginregistry::FindByFileName(name, found);
}

}  // namespace

int ListQuarantine()
{
    const plugins::Quarantine records = Records();
    int listed = 0;
    for (const pluginregistry::Entry& entry : pluginregistry::AllEntries()) {
        std::wstring reason, since;
        if (!records.IsQuarantined(entry.subkey.c_str(), &reason, &since)) continue;
        Print(L"quarantined: " + entry.subkey + L" (" + entry.path + L") since " + since + L": " + reason);
        ++listed;
    }
    if (listed == 0) Print(L"no plug-in is in quarantine");
    Print(L"a plug-in goes into quarantine after " + std::to_wstring(records.OffencesAllowed()) +
          L" faults, hangs or process ends in its calls within " + std::to_wstring(records.WindowHours()) +
          L" hours (registry values QuarantineAfter and QuarantineHours under HKEY_LOCAL_MACHINE\\" +
          CPluginInterface::SettingsKey + L")");
    return 0;
}

int ClearQuarantine(const std::wstring& name)
{
    pluginregistry::Entry entry;
    if (!FindEntry(name, entry)) return Fail(L"no registered plug-in is named \"" + name + L"\"");
    const plugins::Quarantine records = Records();
    if (!records.IsQuarantined(entry.subkey.c_str())) return Fail(L"\"" + entry.subkey + L"\" is not in quarantine");
    if (!records.Clear(entry.subkey.c_str())) return Fail(L"the quarantine of \"" + entry.subkey + L"\" could not be lifted");
    Print(L"cleared: " + entry.subkey);
    HWND host = nullptr;
    if (!CVarnelUtils::Instance()->IsVarnelRunning(host)) {
        Print(L"no tray host runs on this desktop: the plug-in loads at its next start");
        return 0;
    }
    if (entry.doNotLoad) {
        Print(L"the plug-in has \"DoNotLoadMe\" set: the tray host does not load it");
        return 0;
    }
    if (!CVarnelUtils::Instance()->LoadPlugin(entry.path.c_str()))
        return Fail(L"the tray host did not load \"" + entry.subkey + L"\" (varnelctl check-plugin tells why)");
    Print(L"loaded: " + entry.path);
    return 0;
}
