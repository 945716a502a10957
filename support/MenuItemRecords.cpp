#include "MenuItemRecords.h"
#include "Lock.h"

#include "MemoryManager.h"

#include <cstring>
#include <mutex>
#include <unordered_set>

namespace zerova {

namespace {
struct MadeRecords {
    zerova::Mutex lock;
    std::unordered_set<const void*> records;
};

MadeRecords& Made()
{
    static MadeRecords made;
    return made;
}
}  // namespace

CMenuXP::MENU_ITEM_DATA* MakeItemRecord()
{
    auto* record = static_cast<CMenuXP::MENU_ITEM_DATA*>(CMemoryManager::Alloc(sizeof(CMenuXP::MENU_ITEM_DATA)));
    if (record == nullptr) return nullptr;
    std::memset(record, 0, sizeof(*record));
    std::lock_guard<zerova::Mutex> guard(Made().lock);
    Made().records.insert(record);
    return record;
}

void FreeItemRecord(void* record)
{
    if (record == nullptr) return;
    {
        std::lock_guard<zerova::Mutex> guard(Made().lock);
        if (Made().records.erase(record) == 0) return;
    }
    CMemoryManager::Free(record);
}

CMenuXP::MENU_ITEM_DATA* OwnItemRecord(const void* itemData)
{
    if (itemData == nullptr) return nullptr;
    std::lock_guard<zerova::Mutex> guard(Made().lock);
    return Made().records.count(itemData) != 0
               ? static_cast<CMenuXP::MENU_ITEM_DATA*>(const_cast<void*>(itemData))
               : nullptr;
}

}  // namespace zerova
