#include "CriticalSectionEx.h"

CCriticalSectionEx::CCriticalSectionEx() { InitializeCriticalSection(&m_section); }
CCriticalSectionEx::~CCriticalSectionEx() { DeleteCriticalSection(&m_section); }
void CCriticalSectionEx::Await() { EnterCriticalSection(&m_section); }
void CCriticalSectionEx::Leave() { LeaveCriticalSection(&m_section); }
