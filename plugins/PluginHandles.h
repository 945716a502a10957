// Where plug-in records live. A plug-in's handle is its record's address, and a menu command is
// that address's low 32 bits plus the plug-in's item identifier. Records therefore stand on
// 64 KiB boundaries whose low 32 bits no other record shares, so that any 16-bit item identifier
// of one plug-in can never name a command of another, on 32- and 64-bit builds alike. The address
// of a plug-in that loaded is never handed out again while the plug-in registry lives; a failed
// load's record is freed once no code of its library can remain to use it.
#pragma once

#include "VarnelPluginContract.h"

#include <mutex>
#include <vector>

class CPluginHandleArena {
public:
    // Distance between two records: one more than the greatest 16-bit item identifier.
    static constexpr UINT_PTR Stride = 0x10000;

    static CPluginHandleArena& Instance();

    // A zeroed record at an address no live or retired record holds; null when the address space for
    // records is used up.
    VARNEL_PLUGIN_DATA* Allocate();
    // A record whose address must never be handed out again (an unloaded plug-in's, or a failed
    // load's whose library stayed mapped).
    void Retire(VARNEL_PLUGIN_DATA* record);
    // The record is freed: a failed load whose code is gone, or the registry itself going away.
    // The address may serve another record.
    void Release(VARNEL_PLUGIN_DATA* record);

    CPluginHandleArena(const CPluginHandleArena&) = delete;
    CPluginHandleArena& operator=(const CPluginHandleArena&) = delete;

private:
    CPluginHandleArena();
    bool ReserveChunk();
    static unsigned SlotNumber(const void* address);

    std::mutex m_lock;
    // Slot numbers (low 32 bits of an address, divided by the stride) that a record holds or held.
    std::vector<bool> m_taken;
    std::vector<BYTE*> m_released;
    BYTE* m_next = nullptr;
    BYTE* m_chunkEnd = nullptr;
};
