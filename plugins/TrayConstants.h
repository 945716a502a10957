// The numbers the library's layers share, each defined here once: commands of the tray menu
// template, texts of the language module that several layers show, and the agent's registry key.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace tray {

// The tray menu template of the language module and the commands the library relies on.
const UINT kTrayMenuTemplate = 100;
const UINT kSystemHealthCommand = 4000;
const UINT kUpdateCommand = 4002;
const UINT kAgentCommand = 4004;
const UINT kLegacyOptionsCommand = 4005;
// The three category flyouts, in the order they stand in the menu.
const UINT kFlyoutCommands[3] = {7000, 7005, 7010};

// Texts of the language module.
const UINT kEverythingWorkingString = 57;
const UINT kAttentionTitleString = 326;
const UINT kStateTitleFormatString = 328;

// The agent's key: "AgentMode", "VarnelAllowUpdate" and "ComputerName".
const wchar_t kFrameworkKey[] = L"SOFTWARE\\Brightmoor\\RLX\\Shared Components\\Framework";

}  // namespace tray
