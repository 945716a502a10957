// A critical section object.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CCriticalSectionEx {
public:
    CCriticalSectionEx();
    ~CCriticalSectionEx();
    CCriticalSectionEx(const CCriticalSectionEx&) = delete;
    CCriticalSectionEx& operator=(const CCriticalSectionEx&) = delete;

    void Await();
    void Leave();

private:
    CRITICAL_SECTION m_section;
};
