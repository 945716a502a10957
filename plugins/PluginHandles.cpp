#include "PluginHandles.h"
#include "Lock.h"

#include <cstring>

namespace {
constexpr UINT_PTR kPageBytes = 0x1000;
constexpr SIZE_T kRegionBytes = CPluginHandleArena::SlotsPerRegion * CPluginHandleArena::Stride;

uint32_t Low32(const void* address) { return static_cast<uint32_t>(reinterpret_cast<UINT_PTR>(address)); }
}  // namespace

CPluginHandleArena& CPluginHandleArena::Instance()
{
    // Lives as long as the process: records outlive every registry that used them.
    static CPluginHandleArena* arena = new CPluginHandleArena();
    return *arena;
}

bool CPluginHandleArena::ReserveRegion()
{
    // VirtualAlloc answers reservations on 64 KiB boundaries, so every slot is aligned.
    auto* region = static_cast<BYTE*>(VirtualAlloc(nullptr, kRegionBytes, MEM_RESERVE, PAGE_NOACCESS));
    if (region == nullptr) return false;
    m_regions.emplace_back(region, region + kRegionBytes);
    for (unsigned i = 0; i < SlotsPerRegion; ++i) {
        Slot slot;
        slot.base = region + i * Stride;
        // Commands are the low 32 bits of the record plus a 16-bit identifier: they must neither
        // fall among the host's own (below 65536) nor wrap past 2^32, nor meet another slot's.
        const uint32_t low = Low32(slot.base);
        const uint32_t number = low / static_cast<uint32_t>(Stride);
        slot.usable = low >= RecordSpan && low <= 0xFFFFFFFFu - Stride && m_slotNumbers.insert(number).second;
        m_slots.push_back(slot);
    }
    return true;
}

CPluginHandleArena::Slot* CPluginHandleArena::SlotOf(const void* record)
{
    const auto* address = static_cast<const BYTE*>(record);
    size_t first = 0;
    for (const auto& region : m_regions) {
        if (address >= region.first && address < region.second)
            return &m_slots[first + static_cast<size_t>(address - region.first) / Stride];
        first += SlotsPerRegion;
    }
    return nullptr;
}

CPluginHandleArena::Slot* CPluginHandleArena::NextFreeSlot()
{
    for (size_t tried = 0; tried < m_slots.size(); ++tried) {
        const size_t index = (m_cursor + tried) % m_slots.size();
        if (m_slots[index].usable && m_slots[index].bound == nullptr) {
            m_cursor = index + 1;
            return &m_slots[index];
        }
    }
    if (!ReserveRegion()) return nullptr;
    m_cursor = m_slots.size() - SlotsPerRegion;
    return NextFreeSlot();
}

// The next place of the slot that no live record holds (an old record may still be read there).
BYTE* CPluginHandleArena::NextPlaceIn(Slot& slot)
{
    for (UINT_PTR tried = 0; tried < RecordSpan / RecordStep; ++tried) {
        BYTE* place = slot.base + slot.nextOffset;
        slot.nextOffset = (slot.nextOffset + RecordStep) % RecordSpan;
        if (m_live.count(place) == 0) return place;
    }
    return nullptr;
}

VARNEL_PLUGIN_DATA* CPluginHandleArena::Allocate()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    for (size_t attempts = 0; attempts <= m_slots.size(); ++attempts) {
        Slot* slot = NextFreeSlot();
        if (slot == nullptr) return nullptr;
        BYTE* place = NextPlaceIn(*slot);
        if (place == nullptr) continue;  // every place of the slot holds a record still read
        const size_t page = static_cast<size_t>(place - slot->base) / kPageBytes;
        if (slot->pageUse[page] == 0 &&
            VirtualAlloc(slot->base + page * kPageBytes, kPageBytes, MEM_COMMIT, PAGE_READWRITE) == nullptr)
            return nullptr;
        ++slot->pageUse[page];
        slot->bound = place;
        m_live.insert(place);
        auto* record = reinterpret_cast<VARNEL_PLUGIN_DATA*>(place);
        std::memset(record, 0, sizeof(*record));
        return record;
    }
    return nullptr;
}

void CPluginHandleArena::Unbind(VARNEL_PLUGIN_DATA* record)
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    Slot* slot = SlotOf(record);
    if (slot != nullptr && slot->bound == record) slot->bound = nullptr;
}

void CPluginHandleArena::Release(VARNEL_PLUGIN_DATA* record)
{
    if (record == nullptr) return;
    std::lock_guard<zerova::Mutex> guard(m_lock);
    Slot* slot = SlotOf(record);
    if (slot == nullptr || m_live.erase(record) == 0) return;
    const size_t page = static_cast<size_t>(reinterpret_cast<BYTE*>(record) - slot->base) / kPageBytes;
    std::memset(record, 0, sizeof(*record));
    if (slot->bound == record) slot->bound = nullptr;
    if (--slot->pageUse[page] == 0) VirtualFree(slot->base + page * kPageBytes, kPageBytes, MEM_DECOMMIT);
}

size_t CPluginHandleArena::ReservedBytes()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return m_regions.size() * kRegionBytes;
}

size_t CPluginHandleArena::LiveRecords()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return m_live.size();
}
