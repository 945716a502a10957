// The support library's process-wide services, as the parts of the interface library use them:
// the module root takes them once and hands each part what it needs through its constructor.
#pragma once

#include "ErrorMsg.h"
#include "ImageManager.h"
#include "Localize.h"
#include "OXSL_DllMain.h"

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
};

}  // namespace zerova
