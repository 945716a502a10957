// The menu item records the libraries make. A host may keep item data of its own in the tray
// menu: only data that is one of these records is ever read or written as one.
#pragma once

#include "MenuXP.h"
#include "SupportAPI.h"

namespace zerova {

// A zeroed record, known as the model's own until it is freed; null when memory is short.
ZEROVA_SUPPORT_API CMenuXP::MENU_ITEM_DATA* MakeItemRecord();
// Frees a record the model made; anything else is left alone.
ZEROVA_SUPPORT_API void FreeItemRecord(void* record);
// The item data as the model's record, or null when the model did not make it.
ZEROVA_SUPPORT_API CMenuXP::MENU_ITEM_DATA* OwnItemRecord(const void* itemData);

}  // namespace zerova
