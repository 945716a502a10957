// String values of a file's version resource.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CVersionInfo {
public:
    explicit CVersionInfo(const wchar_t* path);
    ~CVersionInfo();
    CVersionInfo(const CVersionInfo&) = delete;
    CVersionInfo& operator=(const CVersionInfo&) = delete;

    // A value such as "FileDescription" or "FileVersion"; false (buffer empty) when absent.
    bool GetValue(const wchar_t* name, wchar_t* buffer, int length);

private:
    void* m_data;
};
