#include "MemoryManager.h"

void* CMemoryManager::Alloc(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes == 0 ? 1 : bytes);
}

void CMemoryManager::Free(void* block)
{
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}
