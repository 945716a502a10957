#include "CriticalSectionEx.h"

CCriticalSectionEx::CCriticalSectionEx() = default;
CCriticalSectionEx::~CCriticalSectionEx() = default;
void CCriticalSectionEx::Await() { m_lock.lock(); }
void CCriticalSectionEx::Leave() { m_lock.unlock(); }
