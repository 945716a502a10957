#include "ImageManager.h"
#include "Handles.h"
#include "Lock.h"

#include "SafeString.h"

#include <map>
#include <mutex>
#include <tuple>

namespace {
zerova::Mutex g_folderLock;
wchar_t g_guiFolder[MAX_PATH] = L"";

using IconKey = std::tuple<HINSTANCE, UINT, int, int>;

struct IconStore {
    zerova::Mutex lock;
    std::map<IconKey, zerova::UniqueIcon> icons;
};

IconStore& Icons()
{
    static IconStore store;
    return store;
}
}  // namespace

CImageManager* CImageManager::Instance()
{
    static CImageManager instance;
    return &instance;
}

void CImageManager::SetGUIFolder(const wchar_t* folder)
{
    std::lock_guard<zerova::Mutex> guard(g_folderLock);
    zerova::CopyString(g_guiFolder, MAX_PATH, folder);
}

wchar_t* CImageManager::GetGUIFolder(wchar_t* buffer, int length)
{
    std::lock_guard<zerova::Mutex> guard(g_folderLock);
    return zerova::CopyString(buffer, length, g_guiFolder);
}

CIconCache* CIconCache::Instance()
{
    static CIconCache instance;
    return &instance;
}

HICON CIconCache::Load(HINSTANCE module, UINT id, int width, int height)
{
    IconStore& store = Icons();
    std::lock_guard<zerova::Mutex> guard(store.lock);
    const IconKey key(module, id, width, height);
    auto found = store.icons.find(key);
    if (found != store.icons.end()) return found->second.Get();
    zerova::UniqueIcon icon(static_cast<HICON>(
        LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_ICON, width, height, LR_DEFAULTCOLOR)));
    if (!icon) return nullptr;  // a missing icon is looked up again next time
    return store.icons.emplace(key, std::move(icon)).first->second.Get();
}
