// Access to the language module: numbered user-interface strings, menus and dialog templates.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CLocalize {
public:
    static CLocalize* Instance();

    // The language module, loaded on first use from the application folder, else from the
    // folder of this support library. Null when it cannot be found.
    HINSTANCE GethInstance();
    // Copies string id into buffer (empty when the module has no such string); returns buffer.
    wchar_t* GetString(UINT id, wchar_t* buffer, int length);
    // first: the user's user-interface language; second: the system's.
    void GetLangIDs(WORD& first, WORD& second);

    static const wchar_t* const ModuleName;

private:
    CLocalize() = default;
};
