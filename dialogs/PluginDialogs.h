// The dialogs layer's side of the plug-in registry's dialog operations.
#pragma once

class IPluginDialogs;

namespace dialogs {
// Opens the about box and system health on threads of the dialog thread manager, closes a
// plug-in's dialogs and removes lines from an open system health dialog. Lives as long as the
// process.
IPluginDialogs& PluginDialogs();
}  // namespace dialogs
