// Where plug-in records live. A plug-in's handle is its record's address, and a menu command is
// that address's low 32 bits plus the plug-in's item identifier. Records therefore stand in slots
// 128 KiB apart, each record within the first 64 KiB of its slot, and at most one loaded plug-in
// has its record in a slot at a time: any 16-bit item identifier of one plug-in can never name a
// command of another, on 32- and 64-bit builds alike.
//
// The slots are reserved once and used round-robin, and within a slot each new record takes the
// next place after the last one: a handle value comes back only after every other place of every
// slot has served (more than a million loads), so a stale handle is answered as stale, never by
// another plug-in, while the address space stays what it was after the first loads.
#pragma once

#include "VarnelPluginContract.h"
#include "Lock.h"

#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

class CPluginHandleArena {
public:
    // Distance between two slots; a record lies within the first RecordSpan bytes of its slot.
    static constexpr UINT_PTR Stride = 0x20000;
    static constexpr UINT_PTR RecordSpan = 0x10000;
    // Distance between two places for a record within a slot.
    static constexpr UINT_PTR RecordStep = 16;
    static constexpr unsigned SlotsPerRegion = 256;

    static CPluginHandleArena& Instance();

    // A zeroed record at an address no live record holds, in a slot no loaded plug-in uses; null
    // when no address space can be had.
    VARNEL_PLUGIN_DATA* Allocate();
    // The record's plug-in is no longer loaded (unloaded, or its load failed): its slot may take the
    // record of another loaded plug-in. The record itself stays readable.
    void Unbind(VARNEL_PLUGIN_DATA* record);
    // The record is no longer read by anyone: its place may serve again, once its turn comes.
    void Release(VARNEL_PLUGIN_DATA* record);

    // Address space reserved for records, and records alive now.
    size_t ReservedBytes();
    size_t LiveRecords();

    CPluginHandleArena(const CPluginHandleArena&) = delete;
    CPluginHandleArena& operator=(const CPluginHandleArena&) = delete;

private:
    static constexpr unsigned PagesPerSpan = static_cast<unsigned>(RecordSpan / 0x1000);

    struct Slot {
        BYTE* base = nullptr;
        bool usable = true;  // false where its commands would fall below 65536 or share low 32 bits
        const void* bound = nullptr;  // the record of the loaded (or loading) plug-in in it
        UINT_PTR nextOffset = 0;
        uint16_t pageUse[PagesPerSpan] = {};
    };

    CPluginHandleArena() = default;
    bool ReserveRegion();
    Slot* SlotOf(const void* record);
    Slot* NextFreeSlot();
    BYTE* NextPlaceIn(Slot& slot);

    zerova::Mutex m_lock;
    std::vector<Slot> m_slots;
    std::vector<std::pair<BYTE*, BYTE*>> m_regions;
    std::unordered_set<uint32_t> m_slotNumbers;  // low 32 bits of each usable slot, divided by Stride
    std::unordered_set<const void*> m_live;
    size_t m_cursor = 0;
};
