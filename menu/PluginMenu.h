// The menu layer's side of the plug-in registry's tray menu and icon work.
#pragma once

#include <memory>

class CVarnelMenuUtils;
class IPluginMenu;

namespace menu {
class TrayResources;

// Suite entries, a plug-in's items at unload, the flyouts' availability and the tray's look, on
// the tray menu model; the model owns it and the module root connects it to the registry.
std::unique_ptr<IPluginMenu> MakePluginMenu(CVarnelMenuUtils& model, TrayResources& tray);
}  // namespace menu
