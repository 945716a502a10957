// The folder the GUI images are loaded from, and a cache of icons loaded from resources.
#pragma once
#include "SupportAPI.h"

class ZEROVA_SUPPORT_API CImageManager {
public:
    static CImageManager* Instance();
    void SetGUIFolder(const wchar_t* folder);
    wchar_t* GetGUIFolder(wchar_t* buffer, int length);

private:
    CImageManager() = default;
};

class ZEROVA_SUPPORT_API CIconCache {
public:
    static CIconCache* Instance();
    // The icon resource id of module at the given size; the cache keeps it, callers do not destroy
    // it. Null when the module has no such icon.
    HICON Load(HINSTANCE module, UINT id, int width, int height);

private:
    CIconCache() = default;
};
