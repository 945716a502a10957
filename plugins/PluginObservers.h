// The registry's observer list, made and read where its type is known.
#pragma once

#include "PluginEvents.h"

#include <memory>
#include <vector>

namespace plugins {
std::shared_ptr<ObserverList> MakeObserverList();
// A copy of the observers, to be told without the list's lock.
std::vector<std::shared_ptr<IPluginObserver>> ObserversOf(ObserverList& list);
}  // namespace plugins
