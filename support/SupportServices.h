// The support library's process-wide services, as the parts of the interface library use them:
// the module root takes them once and hands each part what it needs through its constructor.
#pragma once

#include "ErrorMsg.h"
#include "ImageManager.h"
#include "Localize.h"
#include "OXSL_DllMain.h"
#include "SafeString.h"

#include <string>

namespace zerova {

struct SupportServices {
    CLocalize* texts;          // the language module's numbered texts and templates
    CErrorMsg* errors;         // the numbered error reports
    COXSL_DllMain* library;    // application folder, trust test, the modeless dialog list
    CIconCache* icons;
    CImageManager* images;

    // The services of this process: the one place that asks the support library's accessors.
    static SupportServices OfProcess()
    {
        return {CLocalize::Instance(), CErrorMsg::Instance(), COXSL_DllMain::Instance(), CIconCache::Instance(),
                CImageManager::Instance()};
    }

    // Numbered text id into buffer (empty when the language module has none); returns buffer.
    wchar_t* Text(UINT id, wchar_t* buffer, int length) const { return texts->GetString(id, buffer, length); }

    // Numbered text id used as the format of up to three texts (null counts as empty), into buffer;
    // false, with buffer empty, when the language module has no such text.
    bool Format(UINT id, wchar_t* buffer, int length, const wchar_t* first = L"", const wchar_t* second = L"",
                const wchar_t* third = L"") const
    {
        if (buffer == nullptr || length < 1) return false;
        buffer[0] = L'\0';
        wchar_t format[kFormatCapacity] = L"";
        Text(id, format, kFormatCapacity);
        if (IsEmpty(format)) return false;
        FormatString(buffer, length, format, first != nullptr ? first : L"", second != nullptr ? second : L"",
                     third != nullptr ? third : L"");
        return true;
    }
    // The same as a string; empty when the text is missing.
    std::wstring Formatted(UINT id, const wchar_t* first = L"", const wchar_t* second = L"",
                           const wchar_t* third = L"") const
    {
        wchar_t text[kFormatCapacity];
        return Format(id, text, kFormatCapacity, first, second, third) ? std::wstring(text) : std::wstring();
    }

    // The longest numbered text and the longest text formatted from one.
    static const int kFormatCapacity = 4096;
};

}  // namespace zerova
