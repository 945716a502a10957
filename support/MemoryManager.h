// Zero-filled blocks from the process heap.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CMemoryManager {
public:
    static void* Alloc(size_t bytes);
    static void Free(void* block);
};
