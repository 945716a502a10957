#include "PluginHandles.h"

#include <cstring>

namespace {
// Address space reserved at a time: 256 records. It is only address space; each record commits
// one page of it.
constexpr SIZE_T kChunkBytes = 256 * CPluginHandleArena::Stride;
constexpr unsigned kSlotCount = 0x10000;  // 2^32 / stride
}  // namespace

CPluginHandleArena& CPluginHandleArena::Instance()
{
    // Lives as long as the process: records outlive every registry that used them.
    static CPluginHandleArena* arena = new CPluginHandleArena();
    return *arena;
}

CPluginHandleArena::CPluginHandleArena() : m_taken(kSlotCount, false)
{
    // Slot 0 would give commands below 65536, where the host's own commands are.
    m_taken[0] = true;
}

unsigned CPluginHandleArena::SlotNumber(const void* address)
{
    return static_cast<unsigned>(static_cast<UINT32>(reinterpret_cast<UINT_PTR>(address)) / Stride);
}

bool CPluginHandleArena::ReserveChunk()
{
    // VirtualAlloc answers reservations on 64 KiB boundaries, so every slot of the chunk is aligned.
    void* chunk = VirtualAlloc(nullptr, kChunkBytes, MEM_RESERVE, PAGE_NOACCESS);
    if (chunk == nullptr) return false;
    m_next = static_cast<BYTE*>(chunk);
    m_chunkEnd = m_next + kChunkBytes;
    return true;
}

VARNEL_PLUGIN_DATA* CPluginHandleArena::Allocate()
{
    std::lock_guard<std::mutex> guard(m_lock);
    BYTE* slot = nullptr;
    if (!m_released.empty()) {
        slot = m_released.back();
        m_released.pop_back();
    }
    // On 64-bit builds two chunks can share low 32 bits; a slot whose number is taken is skipped.
    for (int chunksTried = 0; slot == nullptr && chunksTried < 64;) {
        if (m_next == m_chunkEnd) {
            if (!ReserveChunk()) return nullptr;
            ++chunksTried;
        }
        BYTE* candidate = m_next;
        m_next += Stride;
        if (!m_taken[SlotNumber(candidate)]) slot = candidate;
    }
    if (slot == nullptr) return nullptr;
    if (VirtualAlloc(slot, sizeof(VARNEL_PLUGIN_DATA), MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        m_released.push_back(slot);
        return nullptr;
    }
    m_taken[SlotNumber(slot)] = true;
    auto* record = reinterpret_cast<VARNEL_PLUGIN_DATA*>(slot);
    std::memset(record, 0, sizeof(*record));
    return record;
}

void CPluginHandleArena::Retire(VARNEL_PLUGIN_DATA* record)
{
    // The slot stays taken and its page committed: a walk on another thread may still read the
    // record through a copy of the plug-in list, and nothing is ever placed at this address again.
    (void)record;
}

void CPluginHandleArena::Release(VARNEL_PLUGIN_DATA* record)
{
    if (record == nullptr) return;
    std::lock_guard<std::mutex> guard(m_lock);
    VirtualFree(record, sizeof(VARNEL_PLUGIN_DATA), MEM_DECOMMIT);
    m_released.push_back(reinterpret_cast<BYTE*>(record));
}
