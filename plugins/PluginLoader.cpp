// Loading a plug-in's library through the entry points of the plug-in contract, step by step, and
// its clean-up.
#include "PluginObjectParts.h"

#include "CallerText.h"
#include "FileIO.h"
#include "Handles.h"
#include "HeldLibraryFiles.h"
#include "MissingLibrary.h"
#include "PluginInterface.h"
#include "RegistryEx.h"
#include "SafeString.h"
#include "ShellExecuteEx.h"
#include "VersionInfo.h"

#include <set>

namespace {
const int kDisplayNameOverrunString = 440;
const int kStillMappedString = 442;
const int kLibraryNotLoadedString = 423;
const int kWindowsErrorString = 455;
const int kMissingImportString = 456;
const int kOtherArchitectureString = 461;

// Libraries of earlier instances whose clean-up waits for a call into them to return: a new load of
// the same library would be handed that instance's state, so it waits until the library is freed.
class LibrariesInUseSet {
public:
    void Add(HMODULE library)
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        m_libraries.insert(library);
    }
    void Remove(HMODULE library)
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        const auto found = m_libraries.find(library);
        if (found != m_libraries.end()) m_libraries.erase(found);
    }
    bool Contains(HMODULE library)
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        return m_libraries.count(library) != 0;
    }

private:
    zerova::Mutex m_lock;  // m_libraries
    std::multiset<HMODULE> m_libraries;
};

LibrariesInUseSet& LibrariesInUse()
{
    static LibrariesInUseSet libraries;
    return libraries;
}

// Entry points print as eight hex digits: the low 32 bits of the address on every build.
unsigned Address(const void* entryPoint) { return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(entryPoint)); }

template <typename T>
T LookUp(HINSTANCE library, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}
}  // namespace

bool CPlugin::Load(void* pluginHandle, const wchar_t* registryRoot, const wchar_t* subkeyName, WORD language1,
                   WORD language2)
{
    if (zerova::IsEmpty(registryRoot) || zerova::IsEmpty(subkeyName)) return false;
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        handle = pluginHandle;
    }
    if (m_calls != nullptr) m_callName = m_calls->NameIndex(subkeyName);
    const bool loaded = LoadSteps(registryRoot, subkeyName, language1, language2);
    if (loaded) {
        // Every completed load leaves a history line, also when the plug-in was already in state 0
        // with no text (which on its own would count as no change).
        if (!SetState(VARNEL_PLUGIN_STATE_OK, nullptr, nullptr)) WriteHistory(VARNEL_PLUGIN_STATE_OK, L"", nullptr, nullptr);
        return true;
    }
    // The clean-up waits for calls that other threads made once the plug-in counted as loaded;
    // when one is still running, the registry finishes the clean-up after it has returned.
    if (m_library) {
        StopCalls();
        if (WaitForCallsToEnd()) {
            Cleanup(false);
            FreePluginLibrary();
        }
    }
    return false;
}

bool CPlugin::IsLibraryForThisArchitecture(HANDLE file)
{
#ifdef _WIN64
    const WORD expected = IMAGE_FILE_MACHINE_AMD64;
#else
    const WORD expected = IMAGE_FILE_MACHINE_I386;
#endif
    auto readAt = [&](LONG offset, void* target, DWORD bytes) {
        DWORD got = 0;
        return ::SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
               ::ReadFile(file, target, bytes, &got, nullptr) && got == bytes;
    };
    IMAGE_DOS_HEADER dos{};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    if (!readAt(0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !readAt(dos.e_lfanew, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE ||
        !readAt(dos.e_lfanew + static_cast<LONG>(sizeof(signature)), &header, sizeof(header))) {
        ZEROVA_TRACE(4, L"CPlugin::Load - \"%s\" is not a library file", path.Get());
        return false;
    }
    if (header.Machine != expected) {
        ZEROVA_TRACE(4, L"CPlugin::Load - \"%s\" is a library of another architecture (machine 0x%04X)", path.Get(),
                    static_cast<unsigned>(header.Machine));
        return false;
    }
    return true;
}

// The load's steps in their order; each reports what refused the plug-in.
bool CPlugin::LoadSteps(const wchar_t* registryRoot, const wchar_t* subkeyName, WORD language1, WORD language2)
{
    ReadRegistryEntry(registryRoot, subkeyName);
    if (!CheckLibraryFile() || !LoadTrustedLibrary()) return false;
    if (!LookUpRequiredEntryPoints()) {
        RecordFormattedError(424, name.Get());
        return false;
    }
    if (!AskInterfaceVersion() || !CallInit(language1, language2)) return false;
    if (!TakeOptionalEntryPoints()) return false;
    return CreateMainWindowAndMenus();
}

// The plug-in list's entry: the subkey, the name (also the display name until PluginInit gives
// one) and the library's path.
void CPlugin::ReadRegistryEntry(const wchar_t* registryRoot, const wchar_t* subkeyName)
{
    {
        wchar_t subkey[MAX_PATH] = L"", registryName[MAX_PATH] = L"", libraryPath[MAX_PATH] = L"";
        if (CFileIO::CombinePath(registryRoot, subkeyName, subkey, MAX_PATH) == nullptr) subkey[0] = L'\0';
        if (!CRegistryEx::Get(HKEY_LOCAL_MACHINE, subkey, L"Name", registryName, MAX_PATH)) registryName[0] = L'\0';
        if (!CRegistryEx::GetPath(HKEY_LOCAL_MACHINE, subkey, L"Path", libraryPath, MAX_PATH)) libraryPath[0] = L'\0';
        std::lock_guard<zerova::Mutex> guard(m_lock);
        registrySubkey.Assign(subkey);
        name.Assign(registryName);
        displayName.Assign(registryName);
        path.Assign(libraryPath);
    }
    // This thread is the only one that writes the names and the path while the load runs.
    ZEROVA_TRACE(4, L"\r\n\r\n-------------------------------------------------\r\n");
    ZEROVA_TRACE(4, L"\r\n\r\nLoading plugin:\r\n    registry subfolder: %s\r\n    name: %s\r\n    path: %s",
                registrySubkey.Get(), name.Get(), path.Get());
}

bool CPlugin::CheckLibraryFile()
{
    if (!CFileIO::FileExists(path.Get())) {
        RecordFormattedError(422, registrySubkey.Get());
        return false;
    }
    TraceVersionInfo();
    if (name.IsEmpty()) {
        RecordFormattedError(438, registrySubkey.Get());
        return false;
    }
    return true;
}

// The trust test opens the file once and holds it (under the signing policy with the libraries the
// load takes from its folder) until the load has returned: the probe and the load get the bytes
// that were checked.
bool CPlugin::LoadTrustedLibrary()
{
    DWORD loadError = ERROR_SUCCESS;
    {
        CHeldLibraryFiles held;
        bool untrustedA = false;
        bool untrustedB = false;
        if (!m_support.library->IsTrustedDLL(path.Get(), untrustedA, untrustedB, held)) {
            if (untrustedA) RecordError(435);
            if (untrustedB) RecordFormattedError(434, name.Get());
            return false;
        }
        // A library of the other architecture, or a file that is no library at all, is refused
        // before it is loaded.
        if (!IsLibraryForThisArchitecture(held.File())) {
            RecordLibraryNotLoaded(OtherArchitectureText());
            return false;
        }
        ZEROVA_TRACE(4, L"CPlugin::Load - loading \"%s\", held open since its trust test", path.Get());
        m_library.Reset(::LoadLibraryExW(path.Get(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        loadError = ::GetLastError();
    }
    if (!m_library) {
        RecordLibraryNotLoaded(LoadFailureText(loadError));
        return false;
    }
    if (LibrariesInUse().Contains(m_library.Get())) {
        m_library.Reset();  // gives back this load's reference only
        RecordFormattedError(kStillMappedString, name.Get());
        return false;
    }
    return true;
}

// 423 with its cause after it: an author reads why without a tool of his own.
void CPlugin::RecordLibraryNotLoaded(const std::wstring& cause)
{
    wchar_t message[plugins::kMessageCapacity];
    if (!FormatMessageOf(kLibraryNotLoadedString, message, plugins::kMessageCapacity, name.Get())) return;
    if (!cause.empty()) {
        zerova::AppendString(message, plugins::kMessageCapacity, L" ");
        zerova::AppendString(message, plugins::kMessageCapacity, cause.c_str());
    }
    RecordError(kLibraryNotLoadedString, message);
}

std::wstring CPlugin::OtherArchitectureText() const
{
    wchar_t text[MAX_PATH];
    FormatMessageOf(kOtherArchitectureString, text, MAX_PATH, sizeof(void*) == 8 ? L"64-bit" : L"32-bit");
    return text;
}

std::wstring CPlugin::LoadFailureText(DWORD error) const
{
    wchar_t text[plugins::kMessageCapacity];
    wchar_t system[512];
    FormatMessageOf(kWindowsErrorString, text, plugins::kMessageCapacity, std::to_wstring(error).c_str(),
                    CErrorMsg::SystemErrorText(error, system, 512));
    std::wstring cause = text;
    const std::wstring missing = error == ERROR_MOD_NOT_FOUND ? plugins::FirstMissingImport(path.Get()) : L"";
    if (!missing.empty() && FormatMessageOf(kMissingImportString, text, plugins::kMessageCapacity, missing.c_str()))
        cause += std::wstring(L" ") + text;
    return cause;
}

bool CPlugin::AskInterfaceVersion()
{
    int major = -1, minor = -1;
    CallIntoPlugin(L"PluginGetVersionInfo", &CPlugin::pfnGetVersionInfo, CallRule::WhileMapped,
                   [&](VARNEL_GET_VERSION_INFO_CALLBACK_PROC proc, const CallArguments& call) {
                       proc(call.handle, &major, &minor);
                   });
    if (m_faulted) return false;
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        interfaceMajor = major;
        interfaceMinor = minor;
    }
    if (interfaceMajor != 2 || (interfaceMinor != 1 && interfaceMinor != 2)) {
        RecordFormattedError(425, displayName.Get());
        return false;
    }
    return true;
}

bool CPlugin::CallInit(WORD language1, WORD language2)
{
    int result = 0;
    {
        // The plug-in writes its display name into a buffer of its own, not into the field that
        // other threads read while the call runs; the buffer's guard shows a plug-in that writes past
        // its 260 characters, and stops one that writes far past them, before anything of the host
        // is overwritten.
        plugins::GuardedTextBuffer nameBuffer(MAX_PATH);
        wchar_t* newDisplayName = nameBuffer.Data();
        if (newDisplayName == nullptr) {
            RecordFormattedError(423, name.Get());
            return false;
        }
        displayName.CopyTo(newDisplayName, MAX_PATH);
        // The plug-in is handed a buffer of its own for the subkey path too: it is not const.
        wchar_t subkeyPath[MAX_PATH];
        registrySubkey.CopyTo(subkeyPath, MAX_PATH);
        void* newContext = nullptr;
        int major = interfaceMajor, minor = interfaceMinor;
        CallIntoPlugin(L"PluginInit", &CPlugin::pfnInit, CallRule::WhileMapped,
                       [&](VARNEL_INIT_CALLBACK_PROC proc, const CallArguments& call) {
                           result = proc(call.handle, language2, language1, &major, &minor, &newContext,
                                         subkeyPath, newDisplayName, MAX_PATH);
                       });
        newDisplayName[MAX_PATH - 1] = L'\0';
        if (!nameBuffer.MarksIntact()) {
            RecordFormattedError(kDisplayNameOverrunString, name.Get());
            return false;
        }
        std::lock_guard<zerova::Mutex> guard(m_lock);
        interfaceMajor = major;
        interfaceMinor = minor;
        context = newContext;
        displayName.Assign(newDisplayName);
    }
    if (m_faulted) return false;
    ZEROVA_TRACE(4, L"Plugin returned \"%d\" from plugin Init", result);
    return AcceptInitResult(result);
}

bool CPlugin::AcceptInitResult(int result)
{
    if (result != 0) {
        if (result == 1) RecordFormattedError(429, name.Get());
        else if (result == 2) RecordFormattedError(430, name.Get());
        else if (result == 3) RecordFormattedError(431, name.Get(), registrySubkey.Get(), path.Get());
        return false;
    }
    if (displayName.IsEmpty()) {
        RecordFormattedError(436, name.Get());
        return false;
    }
    return true;
}

// The plug-in counts as loaded from here on; its optional entry points and its suite entry.
bool CPlugin::TakeOptionalEntryPoints()
{
    AddFlags(PLUGIN_FLAG_LOADED);
    LookUpOptionalEntryPoints();
    if (pfnSuiteRegister != nullptr) RegisterSuiteEntry();
    if (m_faulted) return false;
    ZEROVA_TRACE(4, L"\r\n\r\nPlugin OPTIONAL exports:\r\n    VARNEL_CREATE_MAIN_WINDOW_CALLBACK_PROC: %.8X\r\n"
                L"    VARNEL_CREATE_MENUS_CALLBACK_PROC: %.8X\r\n    VARNEL_GET_ABOUT_BOX_TEXT_CALLBACK_PROC: %.8X\r\n"
                L"    VARNEL_LOG_ERROR_CALLBACK_PROC: %.8X\r\n    VARNEL_UPDATE_CALLBACK_PROC: %.8X\r\n"
                L"    VARNEL_GET_PLUGIN_HEALTH_CALLBACK_PROC: %.8X VARNEL_SUITE_REGISTER_CALLBACK: %.8X",
                Address(reinterpret_cast<void*>(pfnCreateMainWindow)), Address(reinterpret_cast<void*>(pfnCreateMenus)),
                Address(reinterpret_cast<void*>(pfnGetAboutBoxText)), Address(reinterpret_cast<void*>(pfnLogError)),
                Address(reinterpret_cast<void*>(pfnUpdate)), Address(reinterpret_cast<void*>(pfnGetPluginHealth)),
                Address(reinterpret_cast<void*>(pfnSuiteRegister)));
    return true;
}

bool CPlugin::CreateMainWindowAndMenus()
{
    if (!HasMainWindow()) return true;
    HWND window = nullptr;
    CallIntoPlugin(L"PluginCreateMainWindow", &CPlugin::pfnCreateMainWindow, CallRule::WhileMapped,
                   [&](VARNEL_CREATE_MAIN_WINDOW_CALLBACK_PROC proc, const CallArguments& call) {
                       window = proc(call.context);
                   });
    if (m_faulted) return false;
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        hWnd = window;
    }
    if (window == nullptr) {
        RecordFormattedError(427, displayName.Get());
        return false;
    }
    CallIntoPlugin(L"PluginCreateMenus", &CPlugin::pfnCreateMenus, CallRule::WhileMapped,
                   [](VARNEL_CREATE_MENUS_CALLBACK_PROC proc, const CallArguments& call) { proc(call.context); });
    return !m_faulted;
}

void CPlugin::TraceVersionInfo()
{
    // Reading the version resource maps the file once more: only for a trace line someone reads.
    if (!CDebugTrace::IsWanted(4)) return;
    wchar_t description[MAX_PATH] = L"";
    wchar_t version[MAX_PATH] = L"";
    wchar_t built[MAX_PATH] = L"";
    CVersionInfo info(path.Get());
    info.GetValue(L"FileDescription", description, MAX_PATH);
    info.GetValue(L"FileVersion", version, MAX_PATH);
    CFileIO::GetFileDateTimeString(path.Get(), built, MAX_PATH);
    ZEROVA_TRACE(4, L"\r\n\r\nPlugin version info:\r\n    description: %s\r\n    version number: %s\r\n"
                L"    build date/time: %s\r\n\r\n",
                description, version, built);
}

bool CPlugin::LookUpRequiredEntryPoints()
{
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        pfnGetVersionInfo = LookUp<VARNEL_GET_VERSION_INFO_CALLBACK_PROC>(m_library.Get(), "PluginGetVersionInfo");
        pfnInit = LookUp<VARNEL_INIT_CALLBACK_PROC>(m_library.Get(), "PluginInit");
        pfnActivity = LookUp<VARNEL_ACTIVITY_CALLBACK_PROC>(m_library.Get(), "PluginActivity");
        pfnCleanup = LookUp<VARNEL_CLEANUP_CALLBACK_PROC>(m_library.Get(), "PluginCleanup");
    }
    // Only this thread writes the entry points while the load runs.
    ZEROVA_TRACE(4, L"\r\n\r\nPlugin REQUIRED exports:\r\n    VARNEL_GET_VERSION_INFO_CALLBACK_PROC: %.8X\r\n"
                L"    VARNEL_INIT_CALLBACK_PROC: %.8X\r\n    VARNEL_ACTIVITY_CALLBACK_PROC: %.8X\r\n"
                L"    VARNEL_CLEANUP_CALLBACK_PROC: %.8X",
                Address(reinterpret_cast<void*>(pfnGetVersionInfo)), Address(reinterpret_cast<void*>(pfnInit)),
                Address(reinterpret_cast<void*>(pfnActivity)), Address(reinterpret_cast<void*>(pfnCleanup)));
    return pfnGetVersionInfo != nullptr && pfnInit != nullptr && pfnActivity != nullptr && pfnCleanup != nullptr;
}

void CPlugin::LookUpOptionalEntryPoints()
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    pfnCreateMainWindow = LookUp<VARNEL_CREATE_MAIN_WINDOW_CALLBACK_PROC>(m_library.Get(), "PluginCreateMainWindow");
    pfnCreateMenus = LookUp<VARNEL_CREATE_MENUS_CALLBACK_PROC>(m_library.Get(), "PluginCreateMenus");
    if (pfnCreateMainWindow != nullptr && pfnCreateMenus != nullptr) AddFlags(PLUGIN_FLAG_MAIN_WINDOW);
    pfnGetAboutBoxText = LookUp<VARNEL_GET_ABOUT_BOX_TEXT_CALLBACK_PROC>(m_library.Get(), "PluginGetAboutBoxText");
    if (pfnGetAboutBoxText != nullptr) AddFlags(PLUGIN_FLAG_ABOUT_BOX);
    pfnLogError = LookUp<VARNEL_LOG_ERROR_CALLBACK_PROC>(m_library.Get(), "PluginLogError");
    if (pfnLogError != nullptr) AddFlags(PLUGIN_FLAG_ERROR_LOGGER);
    pfnUpdate = LookUp<VARNEL_UPDATE_CALLBACK_PROC>(m_library.Get(), "PluginUpdate");
    if (pfnUpdate != nullptr) AddFlags(PLUGIN_FLAG_UPDATER);
    pfnGetPluginHealth = LookUp<VARNEL_GET_PLUGIN_HEALTH_CALLBACK_PROC>(m_library.Get(), "PluginGetPluginHealth");
    if (pfnGetPluginHealth != nullptr) AddFlags(PLUGIN_FLAG_HEALTH);
    pfnGetOrvikIconStatus = LookUp<VARNEL_GET_ORVIK_ICON_STATUS_CALLBACK_PROC>(m_library.Get(), "PluginGetOrvikIconStatus");
    if (pfnGetOrvikIconStatus != nullptr) AddFlags(PLUGIN_FLAG_ORVIK_ICON_STATUS);
    pfnCanUnload = LookUp<VARNEL_CAN_UNLOAD_CALLBACK_PROC>(m_library.Get(), "PluginCanUnload");
    if (pfnCanUnload != nullptr) AddFlags(PLUGIN_FLAG_CAN_UNLOAD);
    pfnSuiteRegister = LookUp<VARNEL_SUITE_REGISTER_CALLBACK>(m_library.Get(), "PluginSuiteRegister");
}

void CPlugin::RegisterSuiteEntry()
{
    const int id = m_registry.PeekNextMenuId();
    wchar_t text[MAX_PATH] = L"";
    int capacity = MAX_PATH;
    VARNEL_SUITE_MENU_ACTION_CALLBACK action = nullptr;
    void* cookie = nullptr;
    bool claimed = false;
    CallIntoPlugin(L"PluginSuiteRegister", &CPlugin::pfnSuiteRegister, CallRule::WhileMapped,
                   [&](VARNEL_SUITE_REGISTER_CALLBACK proc, const CallArguments& call) {
                       claimed = proc(call.handle, static_cast<UINT>(id), text, &capacity, &action, &cookie);
                   });
    text[MAX_PATH - 1] = L'\0';
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        suiteMenuText.Assign(text);
        pfnSuiteMenuAction = action;
        suiteCookie = cookie;
    }
    if (!claimed || zerova::IsEmpty(text) || action == nullptr) return;
    if (!m_registry.TakeMenuId(id)) {
        ZEROVA_TRACE(4, L"There was some mismatch with the Menu ID that was consumed.");
        return;
    }
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        suiteMenuId = static_cast<UINT>(id);
        AddFlags(PLUGIN_FLAG_SUITE);
    }
    if (IPluginMenu* menu = m_registry.Menu())
        menu->ShowSuiteEntryState(handle, suiteMenuId, VARNEL_PLUGIN_STATE_OK, true);
}

void CPlugin::Cleanup(bool noLegacyLaunch)
{
    CallIntoPlugin(L"PluginCleanup", &CPlugin::pfnCleanup, CallRule::Once,
                   [this](VARNEL_CLEANUP_CALLBACK_PROC proc, const CallArguments& call) {
                       ZEROVA_TRACE(4, L"CPlugin::Cleanup - about to call \"PluginCleanup\" proc inside \"%s\"", name.Get());
                       proc(call.context);
                   });
    if (!noLegacyLaunch) LaunchLegacyTrayExe();

    std::lock_guard<zerova::Mutex> guard(m_lock);
    m_leavingName.Assign(displayName.Get());
    flags = PLUGIN_FLAG_CREATED;
    path.Clear();
    name.Clear();
    displayName.Clear();
}

void CPlugin::LaunchLegacyTrayExe()
{
    // The program may be set from a plug-in's thread at any time: the launch works on a copy.
    wchar_t program[MAX_PATH], arguments[MAX_PATH], pluginName[MAX_PATH];
    bool show = false;
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        legacyTrayExe.CopyTo(program, MAX_PATH);
        legacyTrayArgs.CopyTo(arguments, MAX_PATH);
        name.CopyTo(pluginName, MAX_PATH);
        show = legacyTrayShow;
    }
    if (!CFileIO::FileExists(program)) return;
    ZEROVA_TRACE(4, L"CPlugin::Cleanup\r\n    about to launch legacy tray EXE\r\n    \"%s\"\r\n    for \"%s\"", program,
                pluginName);
    wchar_t folder[MAX_PATH] = L"";
    CFileIO::GetFolder(program, folder, MAX_PATH);
    DWORD processId = 0;
    if (!CShellExecuteEx::CreateProcessW(nullptr, program, arguments, folder, show, false, &processId))
        ZEROVA_TRACE(4, L"CPlugin::Cleanup\r\n    unable to launch legacy tray EXE\r\n    \"%s\"\r\n    for \"%s\"",
                    program, pluginName);
}

void CPlugin::FreePluginLibrary()
{
    if (!m_library) return;
    if (WaitForCallsToEnd()) {
        ReleaseLibrary();
        return;
    }
    ZEROVA_TRACE(4, L"CPlugin::FreePluginLibrary - calls into the plugin are still running; the library stays loaded "
                    L"until they return");
    HoldLibraryForRunningCalls();
}

void CPlugin::HoldLibraryForRunningCalls()
{
    // A new load of the library would be handed this instance's state: it waits for the release.
    std::lock_guard<zerova::Mutex> guard(m_lock);
    if (m_library && !m_awaitingRelease.exchange(true)) LibrariesInUse().Add(m_library.Get());
}

void CPlugin::ReleaseLibrary()
{
    if (m_awaitingRelease.exchange(false)) LibrariesInUse().Remove(m_library.Get());
    m_library.Reset();
}
