#include "CallerText.h"

#include <cwchar>

namespace plugins {

namespace {
bool IsWritableProtection(DWORD protection)
{
    if ((protection & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
    return (protection & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}
}  // namespace

bool IsWritable(const void* address, size_t bytes)
{
    if (address == nullptr) return false;
    auto next = static_cast<const char*>(address);
    const char* const end = next + bytes;
    while (next < end) {
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQuery(next, &region, sizeof(region)) == 0) return false;
        if (region.State != MEM_COMMIT || !IsWritableProtection(region.Protect)) return false;
        next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

size_t StateTextCut(const wchar_t* text)
{
    const size_t length = wcslen(text);
    if (length < MAX_PATH) return length;
    if (const wchar_t* cr = wcschr(text, L'\r')) return static_cast<size_t>(cr - text);
    if (const wchar_t* lf = wcschr(text, L'\n')) return static_cast<size_t>(lf - text);
    return MAX_PATH - 1;
}

std::wstring WithoutLineBreaks(const wchar_t* text)
{
    std::wstring copy = text != nullptr ? text : L"";
    for (wchar_t& c : copy)
        if (c == L'\r' || c == L'\n') c = L' ';
    return copy;
}

}  // namespace plugins
