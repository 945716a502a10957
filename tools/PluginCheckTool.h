// varnelctl check-plugin PATH [FOLDER]: what a tray host would make of a plug-in library. Read from
// the file: its architecture against the host's, the entry points it exports, the libraries it
// needs and where they would be found; from the registry: whether and how it is registered; then a
// dry run of its load and unload in a separate host process (Varnel.exe --check-plugin), and a
// verdict with the exact error.
#pragma once

#include <string>
#include <vector>

// Registry views and plug-in entries as the tray host of this program's bitness reads them.
namespace pluginregistry {

struct Entry {
    std::wstring subkey;
    std::wstring name;
    std::wstring path;
    bool doNotLoad = false;
};

// The first entry whose "Path" names the file; otherView: in the registry view the host does not read.
bool FindByPath(const std::wstring& path, bool otherView, Entry& entry);
// The first entry whose library has the file name, else the entry of that name.
bool FindByFileName(const std::wstring& fileName, Entry& entry);
// Every entry of the plug-in list in the view the host reads, in the registry's order.
std::vector<Entry> AllEntries();
// "32-bit view (WOW6432Node)" or "64-bit view", for this program's view or the other one.
std::wstring ViewName(bool otherView);

}  // namespace pluginregistry

// The exit code: 0 the plug-in loads and unloads cleanly, 1 it would be refused or does not unload
// cleanly, 3 the check could not be made.
int CheckPlugin(const std::wstring& path, const std::wstring& hostFolder);
