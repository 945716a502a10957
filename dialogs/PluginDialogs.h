// The dialogs layer's side of the plug-in registry's dialog operations.
#pragma once

#include <memory>

class CThreadManager;
class IPluginDialogs;

namespace dialogs {
// About box, system health, a plug-in's dialogs closed, a health line removed, on the thread
// manager; the manager owns it and the module root connects it to the registry.
std::unique_ptr<IPluginDialogs> MakePluginDialogs(CThreadManager& manager);
}  // namespace dialogs
