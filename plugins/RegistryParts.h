// What the files of the plug-in registry share. Private to the registry's files
// (PluginInterface.cpp, RegistryLoading.cpp, RegistryUnloading.cpp, RegistryLookups.cpp).
#pragma once

#include "PluginInterface.h"
#include "Plugin.h"

#include "DebugTrace.h"

#include <atomic>

// Every line of the registry names its source file, whichever of its files writes it.
#undef ZEROVA_SOURCE_FILE
#define ZEROVA_SOURCE_FILE L"PluginInterface.cpp"

namespace plugins {
namespace registry {

// The activity mask that reaches every loaded plug-in.
const int kBroadcastToAll = 0xFFFF;

// A thread timer carries no context: the registry that set the timer for its deferred unloads.
extern std::atomic<CPluginInterface*> g_timerRegistry;

inline CPlugin* PluginOf(CPluginInterface::PLUGIN_DATA* record)
{
    return record != nullptr ? static_cast<CPlugin*>(record->plugin) : nullptr;
}

}  // namespace registry
}  // namespace plugins
