// The menu layer's side of the plug-in registry's tray menu and icon work.
#pragma once

class IPluginMenu;

namespace menu {
// Suite entries, a plug-in's items at unload, the flyouts' availability and the tray's look, on
// the tray menu model. Lives as long as the process.
IPluginMenu& PluginMenu();
}  // namespace menu
