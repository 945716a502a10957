// Access to the language module: numbered user-interface strings, menus and dialog templates.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CLocalize {
public:
    static CLocalize* Instance();

    // The language module, loaded on first use: the module of the user's user-interface language,
    // else of the system's, else the English one. Each is looked for in the application folder,
    // then in the folder of this support library. Null when none can be found.
    HINSTANCE GethInstance();
    // Copies string id into buffer (empty when the module has no such string); returns buffer.
    wchar_t* GetString(UINT id, wchar_t* buffer, int length);
    // first: the user's user-interface language; second: the system's.
    void GetLangIDs(WORD& first, WORD& second);
    // The language of the module GethInstance gives (0 when there is none).
    WORD GetModuleLanguage();
    // The file name of the module that holds a language's texts into buffer (the English module
    // for English, "ZerovaLanguage-<ISO 639 name>.dll" for any other); false when the language has
    // no ISO 639 name.
    static bool GetModuleName(WORD language, wchar_t* buffer, int length);

    // The English module, also the one used when no module of the user's languages is there.
    static const wchar_t* const ModuleName;

private:
    CLocalize() = default;
};
