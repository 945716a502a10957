// One plug-in: loading its library through the entry points of the plug-in contract, its state,
// its errors and its clean-up.
#include "Plugin.h"

#include "DebugTrace.h"
#include "ErrorMsg.h"
#include "FileIO.h"
#include "Handles.h"
#include "HeldLibraryFiles.h"
#include "Localize.h"
#include "OXSL_DllMain.h"
#include "CallerText.h"
#include "CallRecord.h"
#include "PluginFaultGuard.h"
#include "ThreadValue.h"
#include "PluginInterface.h"
#include "PluginStateHistory.h"
#include "RegistryEx.h"
#include "SafeString.h"
#include "ShellExecuteEx.h"
#include "VersionInfo.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <set>
#include <thread>
#include <vector>

namespace {
const int kMessageCapacity = 4096;
const UINT kReservedNameString = 1002;
const int kFaultString = 439;
const int kHangString = 445;
const int kDumpNoteString = 446;
const int kRespondsAgainString = 447;
const int kSlowStartString = 452;

// Seconds with one decimal, as the hang and slow-load messages show them.
std::wstring SecondsText(ULONGLONG milliseconds)
{
    wchar_t text[32];
    zerova::FormatString(text, 32, L"%llu.%llu", milliseconds / 1000, (milliseconds % 1000) / 100);
    return text;
}
const long long kCallDrainRecheckMs = 20;

// Set whenever the last call in flight into some plug-in returns. One for the process: a plug-in
// object outlives its unload, and an event of its own would be a handle kept per reload.
HANDLE CallsEndedEvent()
{
    static const zerova::UniqueKernelHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return event.Get();
}
const int kDisplayNameOverrunString = 440;
const int kGaveUpWaitingString = 441;
const int kStillMappedString = 442;

// Libraries of earlier instances whose clean-up waits for a call into them to return: a new load of
// the same library would be handed that instance's state, so it waits until the library is freed.
class LibrariesInUseSet {
public:
    void Add(HMODULE library)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_libraries.insert(library);
    }
    void Remove(HMODULE library)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto found = m_libraries.find(library);
        if (found != m_libraries.end()) m_libraries.erase(found);
    }
    bool Contains(HMODULE library)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_libraries.count(library) != 0;
    }

private:
    std::mutex m_lock;
    std::multiset<HMODULE> m_libraries;
};

LibrariesInUseSet& LibrariesInUse()
{
    static LibrariesInUseSet libraries;
    return libraries;
}
// How long an unload waits for calls into the plug-in that run on other threads.
const auto kCallDrainTimeout = std::chrono::seconds(10);


// Entry points print as eight hex digits: the low 32 bits of the address on every build.
unsigned Address(const void* entryPoint) { return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(entryPoint)); }

template <typename T>
T LookUp(HINSTANCE library, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

bool EqualsReservedName(const wchar_t* text)
{
    if (zerova::IsEmpty(text)) return false;
    wchar_t reserved[MAX_PATH] = L"";
    CLocalize::Instance()->GetString(kReservedNameString, reserved, MAX_PATH);
    return !zerova::IsEmpty(reserved) && zerova::EqualsNoCase(text, reserved);
}

}  // namespace

// Marks a call into the plug-in, so that its library is not freed while the call runs. The calls
// a thread is inside of are a chain of these scopes on its own stack, innermost first. The chain's
// head is a plain pointer in a slot of the thread (see ThreadValue.h).
class CPlugin::CallScope {
public:
    CallScope(CPlugin& plugin, const wchar_t* entry) : m_plugin(plugin), m_outer(s_innermost.Get())
    {
        ++m_plugin.m_callsInFlight;
        s_innermost.Set(this);
        if (m_plugin.m_calls != nullptr) m_plugin.m_calls->Begin(m_mark, m_plugin.m_callName, entry, &m_plugin);
    }
    ~CallScope()
    {
        if (m_plugin.m_calls != nullptr) m_plugin.m_calls->End(m_mark);
        s_innermost.Set(m_outer);
        if (--m_plugin.m_callsInFlight == 0) ::SetEvent(CallsEndedEvent());
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    static bool IsInside(const CPlugin* plugin)
    {
        for (const CallScope* scope = s_innermost.Get(); scope != nullptr; scope = scope->m_outer)
            if (&scope->m_plugin == plugin) return true;
        return false;
    }

private:
    static zerova::ThreadValue<const CallScope*> s_innermost;
    CPlugin& m_plugin;
    const CallScope* const m_outer;
    plugins::CallRecord::Mark m_mark;
};

zerova::ThreadValue<const CPlugin::CallScope*> CPlugin::CallScope::s_innermost;

struct CPlugin::HungCall {
    VARNEL_PLUGIN_STATE stateBefore = VARNEL_PLUGIN_STATE_OK;
    std::wstring textBefore;
    bool errorFlagBefore = false;
    std::wstring entry;
    ULONGLONG since = 0;
};

CPlugin::CPlugin()
    : pfnGetVersionInfo(nullptr), pfnInit(nullptr), pfnActivity(nullptr), pfnCleanup(nullptr),
      pfnCreateMainWindow(nullptr), pfnCreateMenus(nullptr), pfnGetAboutBoxText(nullptr), pfnLogError(nullptr),
      pfnUpdate(nullptr), pfnGetPluginHealth(nullptr), pfnGetOrvikIconStatus(nullptr), pfnSuiteRegister(nullptr),
      pfnSuiteMenuAction(nullptr), pfnCanUnload(nullptr), hWnd(nullptr), registrySubkey(), path(), name(),
      displayName(), flags(PLUGIN_FLAG_CREATED), context(nullptr), handle(nullptr), state(VARNEL_PLUGIN_STATE_OK),
      stateText(), menuItems(), m_library(), interfaceMajor(-1), interfaceMinor(-1), lastError(0),
      legacyTrayExe(), legacyTrayArgs(), legacyTrayShow(false), suiteMenuText(), suiteMenuId(0),
      suiteCookie(nullptr), m_callsInFlight(0), m_faulted(false), m_everLoaded(false), m_awaitingRelease(false), m_unloading(false), m_stateNow(VARNEL_PLUGIN_STATE_OK), m_leavingName()
{
}

template <typename Proc, typename Call>
bool CPlugin::CallIntoPlugin(const wchar_t* entryName, Proc CPlugin::*entry, CallRule rule, Call&& call)
{
    std::unique_lock<zerova::RecursiveMutex> guard(m_lock);
    const Proc proc = this->*entry;
    if (proc == nullptr || !m_library) return false;
    // After a fault only the clean-up is still made, once and guarded like every call.
    if (m_faulted && rule != CallRule::Once) return false;
    // A plug-in being unloaded takes no new call but its clean-up.
    if (rule == CallRule::WhileLoaded && !IsLoaded()) return false;
    if (rule == CallRule::Once) this->*entry = nullptr;  // also when the call re-enters
    const CallArguments arguments{context, handle, suiteCookie};
    // Counted before the lock goes: an unload on another thread either waits for this call or
    // finds the plug-in no longer loaded.
    plugins::PluginFault fault;
    bool firstFault = false;
    std::wstring dumpPath;
    // Named after the plug-in's registry key, which stays while the call runs.
    plugins::FaultDump dump{m_dumps, registrySubkey.Get(), &dumpPath};
    {
        CallScope scope(*this, entryName);
        guard.unlock();
        auto invoke = [&] { call(proc, arguments); };
        if (plugins::RunGuarded(invoke, &fault, m_dumps != nullptr ? &dump : nullptr)) return true;
        firstFault = MarkFaulted();
    }
    // Reported once the call no longer counts as running, so that an unload waiting for it is not
    // held up by the report (which changes the menu and the dialogs).
    if (firstFault) OnFault(entryName, fault.code, dumpPath);
    return false;
}

// The fault, the error state and the error's number become visible together: whoever sees the
// plug-in as faulted sees it in state 2 with error 439.
bool CPlugin::MarkFaulted()
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    if (m_faulted) return false;
    lastError = kFaultString;
    state = VARNEL_PLUGIN_STATE_ERROR;
    m_stateNow = VARNEL_PLUGIN_STATE_ERROR;
    flags.fetch_or(PLUGIN_FLAG_ERROR);
    m_faulted = true;
    return true;
}

void CPlugin::OnFault(const wchar_t* entryName, DWORD code, const std::wstring& dumpPath)
{
    wchar_t shownName[MAX_PATH], exception[16];
    GetDisplayName(shownName, MAX_PATH);
    zerova::FormatString(exception, 16, L"0x%08X", static_cast<unsigned>(code));
    ZEROVA_TRACE(0, L"CPlugin::OnFault - \"%s\" faulted in %s with exception %s", shownName, entryName, exception);
    CPluginInterface::Instance()->PluginFaulted(handle);
    wchar_t message[kMessageCapacity];
    FormatMessageOf(kFaultString, message, kMessageCapacity, shownName, entryName, exception);
    // The dump's file name goes into the error and the history line; the folder is documented.
    if (!dumpPath.empty()) {
        const size_t slash = dumpPath.find_last_of(L'\\');
        const std::wstring file = slash == std::wstring::npos ? dumpPath : dumpPath.substr(slash + 1);
        wchar_t dumpNote[MAX_PATH];
        FormatMessageOf(kDumpNoteString, dumpNote, MAX_PATH, file.c_str());
        zerova::AppendString(message, kMessageCapacity, L" ");
        zerova::AppendString(message, kMessageCapacity, dumpNote);
    }
    CPluginInterface::Instance()->RecordOffence(EntryName().c_str(), message);
    RecordError(kFaultString, message);
    CPluginInterface::Instance()->RefreshTrayState();
}

bool CPlugin::HasFaulted() const { return m_faulted; }

CPlugin::~CPlugin()
{
    // A library that was never unloaded may still run threads of its own: it stays mapped.
    m_library.Release();
}

// ---------------------------------------------------------------- loading

bool CPlugin::Load(void* pluginHandle, const wchar_t* registryRoot, const wchar_t* subkeyName, WORD language1,
                   WORD language2)
{
    if (zerova::IsEmpty(registryRoot) || zerova::IsEmpty(subkeyName)) return false;
    {
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
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

bool CPlugin::LoadSteps(const wchar_t* registryRoot, const wchar_t* subkeyName, WORD language1, WORD language2)
{
    {
        wchar_t subkey[MAX_PATH] = L"", registryName[MAX_PATH] = L"", libraryPath[MAX_PATH] = L"";
        if (CFileIO::CombinePath(registryRoot, subkeyName, subkey, MAX_PATH) == nullptr) subkey[0] = L'\0';
        if (!CRegistryEx::Get(HKEY_LOCAL_MACHINE, subkey, L"Name", registryName, MAX_PATH)) registryName[0] = L'\0';
        if (!CRegistryEx::GetPath(HKEY_LOCAL_MACHINE, subkey, L"Path", libraryPath, MAX_PATH)) libraryPath[0] = L'\0';
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        registrySubkey.Assign(subkey);
        name.Assign(registryName);
        displayName.Assign(registryName);
        path.Assign(libraryPath);
    }
    // This thread is the only one that writes the names and the path while the load runs.
    ZEROVA_TRACE(4, L"\r\n\r\n-------------------------------------------------\r\n");
    ZEROVA_TRACE(4, L"\r\n\r\nLoading plugin:\r\n    registry subfolder: %s\r\n    name: %s\r\n    path: %s",
                registrySubkey.Get(), name.Get(), path.Get());

    if (!CFileIO::FileExists(path.Get())) {
        RecordFormattedError(422, registrySubkey.Get());
        return false;
    }
    TraceVersionInfo();
    if (name.IsEmpty()) {
        RecordFormattedError(438, registrySubkey.Get());
        return false;
    }

    {
        // The trust test opens the file once and holds it (under the signing policy with the
        // libraries the load takes from its folder) until the load has returned: the probe and
        // the load get the bytes that were checked.
        CHeldLibraryFiles held;
        bool untrustedA = false;
        bool untrustedB = false;
        if (!COXSL_DllMain::Instance()->IsTrustedDLL(path.Get(), untrustedA, untrustedB, held)) {
            if (untrustedA) RecordError(435);
            if (untrustedB) RecordFormattedError(434, name.Get());
            return false;
        }
        // A library of the other architecture, or a file that is no library at all, is refused
        // before it is loaded.
        if (!IsLibraryForThisArchitecture(held.File())) {
            RecordFormattedError(423, name.Get());
            return false;
        }
        ZEROVA_TRACE(4, L"CPlugin::Load - loading \"%s\", held open since its trust test", path.Get());
        m_library.Reset(::LoadLibraryExW(path.Get(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    }
    if (!m_library) {
        RecordFormattedError(423, name.Get());
        return false;
    }
    if (LibrariesInUse().Contains(m_library.Get())) {
        m_library.Reset();  // gives back this load's reference only
        RecordFormattedError(kStillMappedString, name.Get());
        return false;
    }

    if (!LookUpRequiredEntryPoints()) {
        RecordFormattedError(424, name.Get());
        return false;
    }

    int major = -1, minor = -1;
    CallIntoPlugin(L"PluginGetVersionInfo", &CPlugin::pfnGetVersionInfo, CallRule::WhileMapped,
                   [&](VARNEL_GET_VERSION_INFO_CALLBACK_PROC proc, const CallArguments& call) {
                       proc(call.handle, &major, &minor);
                   });
    if (m_faulted) return false;
    {
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        interfaceMajor = major;
        interfaceMinor = minor;
    }
    if (interfaceMajor != 2 || (interfaceMinor != 1 && interfaceMinor != 2)) {
        RecordFormattedError(425, displayName.Get());
        return false;
    }

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
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        interfaceMajor = major;
        interfaceMinor = minor;
        context = newContext;
        displayName.Assign(newDisplayName);
    }
    if (m_faulted) return false;
    ZEROVA_TRACE(4, L"Plugin returned \"%d\" from plugin Init", result);
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

    if (!HasMainWindow()) return true;
    HWND window = nullptr;
    CallIntoPlugin(L"PluginCreateMainWindow", &CPlugin::pfnCreateMainWindow, CallRule::WhileMapped,
                   [&](VARNEL_CREATE_MAIN_WINDOW_CALLBACK_PROC proc, const CallArguments& call) {
                       window = proc(call.context);
                   });
    if (m_faulted) return false;
    {
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
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
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    pfnGetVersionInfo = LookUp<VARNEL_GET_VERSION_INFO_CALLBACK_PROC>(m_library.Get(), "PluginGetVersionInfo");
    pfnInit = LookUp<VARNEL_INIT_CALLBACK_PROC>(m_library.Get(), "PluginInit");
    pfnActivity = LookUp<VARNEL_ACTIVITY_CALLBACK_PROC>(m_library.Get(), "PluginActivity");
    pfnCleanup = LookUp<VARNEL_CLEANUP_CALLBACK_PROC>(m_library.Get(), "PluginCleanup");
    ZEROVA_TRACE(4, L"\r\n\r\nPlugin REQUIRED exports:\r\n    VARNEL_GET_VERSION_INFO_CALLBACK_PROC: %.8X\r\n"
                L"    VARNEL_INIT_CALLBACK_PROC: %.8X\r\n    VARNEL_ACTIVITY_CALLBACK_PROC: %.8X\r\n"
                L"    VARNEL_CLEANUP_CALLBACK_PROC: %.8X",
                Address(reinterpret_cast<void*>(pfnGetVersionInfo)), Address(reinterpret_cast<void*>(pfnInit)),
                Address(reinterpret_cast<void*>(pfnActivity)), Address(reinterpret_cast<void*>(pfnCleanup)));
    return pfnGetVersionInfo != nullptr && pfnInit != nullptr && pfnActivity != nullptr && pfnCleanup != nullptr;
}

void CPlugin::LookUpOptionalEntryPoints()
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
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
    CPluginInterface* registry = CPluginInterface::Instance();
    const int id = registry->PeekNextMenuId();
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
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        suiteMenuText.Assign(text);
        pfnSuiteMenuAction = action;
        suiteCookie = cookie;
    }
    if (!claimed || zerova::IsEmpty(text) || action == nullptr) return;
    if (!registry->TakeMenuId(id)) {
        ZEROVA_TRACE(4, L"There was some mismatch with the Menu ID that was consumed.");
        return;
    }
    {
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        suiteMenuId = static_cast<UINT>(id);
        AddFlags(PLUGIN_FLAG_SUITE);
    }
    if (IPluginMenu* menu = CPluginInterface::Menu())
        menu->ShowSuiteEntryState(handle, suiteMenuId, VARNEL_PLUGIN_STATE_OK, true);
}

// ---------------------------------------------------------------- clean-up

void CPlugin::Cleanup(bool noLegacyLaunch)
{
    CallIntoPlugin(L"PluginCleanup", &CPlugin::pfnCleanup, CallRule::Once,
                   [this](VARNEL_CLEANUP_CALLBACK_PROC proc, const CallArguments& call) {
                       ZEROVA_TRACE(4, L"CPlugin::Cleanup - about to call \"PluginCleanup\" proc inside \"%s\"", name.Get());
                       proc(call.context);
                   });
    if (!noLegacyLaunch) LaunchLegacyTrayExe();

    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
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
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
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
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    if (m_library && !m_awaitingRelease.exchange(true)) LibrariesInUse().Add(m_library.Get());
}

void CPlugin::ReleaseLibrary()
{
    if (m_awaitingRelease.exchange(false)) LibrariesInUse().Remove(m_library.Get());
    m_library.Reset();
}

void CPlugin::StopCalls()
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    m_unloading = true;
}

bool CPlugin::IsUnloading() const { return m_unloading; }

bool CPlugin::CallsRunning() const { return m_callsInFlight.load() > 0; }

bool CPlugin::IsCalledOnThisThread() const
{
    return CallScope::IsInside(this);
}

bool CPlugin::WaitForCallsToEnd()
{
    // A call on this very thread (an unload from inside a call into the plug-in) cannot end first.
    if (IsCalledOnThisThread()) return !CallsRunning();
    const auto deadline = std::chrono::steady_clock::now() + kCallDrainTimeout;
    while (CallsRunning()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        // Shared by every plug-in, so a wake may be another's: the count is looked at again at
        // least every kCallDrainRecheckMs.
        HANDLE ended = CallsEndedEvent();
        const DWORD wait = static_cast<DWORD>(std::min<long long>(left.count(), kCallDrainRecheckMs));
        // A call in flight may be sending a message to this thread and wait for the answer.
        if (::MsgWaitForMultipleObjectsEx(1, &ended, wait, QS_SENDMESSAGE, 0) ==
            WAIT_OBJECT_0 + 1) {
            MSG message;
            ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
    return true;
}

void CPlugin::ReportUnloadWaiting()
{
    wchar_t format[kMessageCapacity] = L"", message[kMessageCapacity], shownName[MAX_PATH];
    CLocalize::Instance()->GetString(kGaveUpWaitingString, format, kMessageCapacity);
    GetDisplayName(shownName, MAX_PATH);
    zerova::FormatString(message, kMessageCapacity, format, shownName);
    CErrorMsg::Instance()->Error(kGaveUpWaitingString, message);
}

// ---------------------------------------------------------------- errors and states

void CPlugin::RecordError(int code, const wchar_t* message)
{
    if (zerova::IsEmpty(message)) return;
    ZEROVA_TRACE(4, L"CPlugin::RecordError:\r\n    code=%d\r\n    msg=\"%s\"", code, message);
    if (code != 0) lastError = code;
    CErrorMsg::Instance()->Error(code, message);
    // The state text is cut in place, so hand over a copy of the caller's message.
    wchar_t text[kMessageCapacity];
    zerova::CopyString(text, kMessageCapacity, message);
    SetState(VARNEL_PLUGIN_STATE_ERROR, text, nullptr);
    AddFlags(PLUGIN_FLAG_ERROR);
}

void CPlugin::RecordError(int code)
{
    wchar_t message[MAX_PATH] = L"";
    CLocalize::Instance()->GetString(static_cast<UINT>(code), message, MAX_PATH);
    RecordError(code, message);
}

bool CPlugin::FormatMessageOf(int code, wchar_t* message, int capacity, const wchar_t* first, const wchar_t* second,
                              const wchar_t* third)
{
    message[0] = L'\0';
    wchar_t format[kMessageCapacity] = L"";
    CLocalize::Instance()->GetString(static_cast<UINT>(code), format, kMessageCapacity);
    if (zerova::IsEmpty(format)) return false;
    zerova::FormatString(message, capacity, format, first != nullptr ? first : L"", second != nullptr ? second : L"",
                         third != nullptr ? third : L"");
    return true;
}

void CPlugin::RecordFormattedError(int code, const wchar_t* first, const wchar_t* second, const wchar_t* third)
{
    wchar_t message[kMessageCapacity];
    if (FormatMessageOf(code, message, kMessageCapacity, first, second, third)) RecordError(code, message);
}

bool CPlugin::SetState(VARNEL_PLUGIN_STATE newState, wchar_t* text, const wchar_t* source)
{
    const wchar_t* given = text != nullptr ? text : L"";
    wchar_t sourceName[MAX_PATH];
    std::wstring stored;
    {
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        if (newState == state && stateText.Equals(given)) return false;
        // A stopped plug-in stays in the error state, whatever its own threads still report.
        if (m_faulted && newState < VARNEL_PLUGIN_STATE_ERROR) return false;
        // While a call hangs the plug-in shows the hang; what it sets meanwhile comes back after.
        if (m_hung && m_hungCall != nullptr) {
            m_hungCall->stateBefore = newState;
            m_hungCall->textBefore.assign(given, plugins::StateTextCut(given));
            return false;
        }
        zerova::CopyString(sourceName, MAX_PATH, zerova::IsEmpty(source) ? displayName.Get() : source);
        // The text is cut in a copy; the caller's buffer is cut too, as the contract says, but
        // only where it can be written (a plug-in may pass a string literal).
        const size_t cut = plugins::StateTextCut(given);
        stored.assign(given, cut);
        if (given[cut] != L'\0' && plugins::IsWritable(text + cut, sizeof(wchar_t))) text[cut] = L'\0';
        state = newState;
        m_stateNow = newState;
        SetStateText(stored.c_str());
    }
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    WriteHistory(newState, stored.c_str(), sourceName, &now);
    if (!IsErrorLogger() && !EqualsReservedName(sourceName))
        PublishStateChange(sourceName, newState, stored.c_str(), now);
    return true;
}

void CPlugin::WriteHistory(VARNEL_PLUGIN_STATE newState, const wchar_t* text, const wchar_t* source,
                           const SYSTEMTIME* when)
{
    wchar_t sourceName[MAX_PATH];
    if (zerova::IsEmpty(source)) GetDisplayName(sourceName, MAX_PATH);
    else zerova::CopyString(sourceName, MAX_PATH, source);
    CPluginStateHistory history(sourceName);
    history.SetState(newState, text, when, true);
}

// Observers (an open system health dialog) learn of the change.
void CPlugin::PublishStateChange(const wchar_t* source, VARNEL_PLUGIN_STATE newState, const wchar_t* text,
                                     const SYSTEMTIME& when)
{
    const VarnelPluginStateChange change{this, source, newState, text, when};
    CPluginInterface::Instance()->PublishStateChange(change);
}

void CPlugin::SetStateText(const wchar_t* text)
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    stateText.Assign(text);
    if (!stateText.IsEmpty()) ZEROVA_TRACE(4, stateText.Get());
}

bool CPlugin::SetLegacyTrayEXE(const wchar_t* exePath, const wchar_t* arguments, bool show)
{
    if (!CFileIO::FileExists(exePath)) return false;
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    legacyTrayExe.Assign(exePath);
    legacyTrayArgs.Assign(zerova::IsEmpty(arguments) ? L" " : arguments);
    legacyTrayShow = show;
    return true;
}

// ---------------------------------------------------------------- calls into the plug-in

bool CPlugin::CanUnload()
{
    bool result = true;
    CallIntoPlugin(L"PluginCanUnload", &CPlugin::pfnCanUnload, CallRule::WhileLoaded,
                   [&](VARNEL_CAN_UNLOAD_CALLBACK_PROC proc, const CallArguments& call) { proc(&result, call.context); });
    return result;
}

void CPlugin::NotifySuiteMenuAction()
{
    CallIntoPlugin(L"its suite menu callback", &CPlugin::pfnSuiteMenuAction, CallRule::WhileLoaded,
                   [](VARNEL_SUITE_MENU_ACTION_CALLBACK proc, const CallArguments& call) {
                       proc(call.handle, call.context, call.cookie);
                   });
}

void CPlugin::CallActivity(VARNEL_ACTIVITY activity, int first, INT_PTR second)
{
    CallIntoPlugin(L"PluginActivity", &CPlugin::pfnActivity, CallRule::WhileLoaded,
                   [&](VARNEL_ACTIVITY_CALLBACK_PROC proc, const CallArguments& call) {
                       proc(activity, first, second, call.context);
                   });
}

void CPlugin::CallUpdate()
{
    CallIntoPlugin(L"PluginUpdate", &CPlugin::pfnUpdate, CallRule::WhileLoaded,
                   [](VARNEL_UPDATE_CALLBACK_PROC proc, const CallArguments& call) { proc(call.context); });
}

void CPlugin::CallLogError(HWND window, const wchar_t* firstText, const wchar_t* secondText, int number)
{
    CallIntoPlugin(L"PluginLogError", &CPlugin::pfnLogError, CallRule::WhileLoaded,
                   [&](VARNEL_LOG_ERROR_CALLBACK_PROC proc, const CallArguments& call) {
                       proc(window, firstText, secondText, number, call.context);
                   });
}

bool CPlugin::GetAboutInfo(VARNEL_ABOUT_INFO* info, wchar_t** pairs, wchar_t** extra, bool* more)
{
    if (info == nullptr) return false;
    std::memset(info, 0, sizeof(*info));
    if (pairs == nullptr || extra == nullptr) return false;
    *pairs = nullptr;
    *extra = nullptr;
    const bool called = CallIntoPlugin(L"PluginGetAboutBoxText", &CPlugin::pfnGetAboutBoxText, CallRule::WhileLoaded,
                                       [&](VARNEL_GET_ABOUT_BOX_TEXT_CALLBACK_PROC proc, const CallArguments& call) {
                                           proc(info, pairs, extra, call.context, more);
                                       });
    if (!called) {
        if (more != nullptr) *more = false;
        return false;
    }
    // The record's texts end within their fields whatever the plug-in wrote.
    info->productName[259] = info->version[259] = info->furtherLine[259] = L'\0';
    return true;
}

bool CPlugin::GetHealth(VARNEL_PLUGIN_STATE* state, wchar_t* name, int nameCapacity, wchar_t* text, int textCapacity,
                        bool* more)
{
    if (state == nullptr || name == nullptr || text == nullptr || nameCapacity < 1 || textCapacity < 1) return false;
    *state = VARNEL_PLUGIN_STATE_OK;
    // A plug-in whose call hangs is not asked: its line says that it does not respond.
    const bool called = !m_hung &&
                        CallIntoPlugin(L"PluginGetPluginHealth", &CPlugin::pfnGetPluginHealth, CallRule::WhileLoaded,
                                       [&](VARNEL_GET_PLUGIN_HEALTH_CALLBACK_PROC proc, const CallArguments& call) {
                                           proc(state, name, nameCapacity, text, textCapacity, call.context, more);
                                       });
    if (called) {
        name[nameCapacity - 1] = L'\0';
        text[textCapacity - 1] = L'\0';
    } else {
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        displayName.CopyTo(name, nameCapacity);
        *state = this->state;
        stateText.CopyTo(text, textCapacity);
        if (more != nullptr) *more = false;
    }
    if (text[0] == L'\0') {
        CLocalize::Instance()->GetString(57, text, textCapacity);
        SetStateText(text);
    }
    return true;
}

bool CPlugin::SlowStartNote(wchar_t* note, int capacity) const
{
    const DWORD slow = m_slowLoadMs.load();
    return slow != 0 && FormatMessageOf(kSlowStartString, note, capacity, SecondsText(slow).c_str());
}

// ---------------------------------------------------------------- hangs and slow loads

void CPlugin::UseFaultRecords(plugins::CallRecord* calls, const plugins::CrashDumps* dumps)
{
    m_calls = calls;
    m_dumps = dumps;
}

void CPlugin::PinForReport() { ++m_callsInFlight; }

void CPlugin::UnpinReport()
{
    if (--m_callsInFlight == 0) ::SetEvent(CallsEndedEvent());
}

void CPlugin::ReportHang(const wchar_t* entry, DWORD runningMs)
{
    wchar_t shownName[MAX_PATH];
    {
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        if (m_hung || m_faulted) return;
        m_hungCall = std::make_unique<HungCall>();
        m_hungCall->stateBefore = state;
        m_hungCall->textBefore = stateText.Get();
        m_hungCall->errorFlagBefore = (flags.load() & PLUGIN_FLAG_ERROR) != 0;
        m_hungCall->entry = entry != nullptr ? entry : L"";
        m_hungCall->since = ::GetTickCount64() - runningMs;
        displayName.CopyTo(shownName, MAX_PATH);
    }
    wchar_t message[kMessageCapacity];
    FormatMessageOf(kHangString, message, kMessageCapacity, shownName, entry, SecondsText(runningMs).c_str());
    ZEROVA_TRACE(0, L"CPlugin::ReportHang - %s", message);
    CPluginInterface::Instance()->RecordOffence(EntryName().c_str(), message);
    RecordError(kHangString, message);
    m_hung = true;
    CPluginInterface::Instance()->RefreshTrayState();
}

// The state from before the hang comes back, with a history line that says the plug-in responds
// again; what the plug-in set meanwhile is what comes back.
void CPlugin::HangEnded()
{
    wchar_t shownName[MAX_PATH], entry[MAX_PATH], restoredText[MAX_PATH];
    VARNEL_PLUGIN_STATE restored = VARNEL_PLUGIN_STATE_OK;
    ULONGLONG hungFor = 0;
    {
        std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
        if (!m_hung || m_hungCall == nullptr) return;
        m_hung = false;
        const std::unique_ptr<HungCall> hung = std::move(m_hungCall);
        if (m_faulted) return;
        displayName.CopyTo(shownName, MAX_PATH);
        zerova::CopyString(entry, MAX_PATH, hung->entry.c_str());
        hungFor = ::GetTickCount64() - hung->since;
        restored = hung->stateBefore;
        zerova::CopyString(restoredText, MAX_PATH, hung->textBefore.c_str());
        state = restored;
        m_stateNow = restored;
        SetStateText(restoredText);
        if (!hung->errorFlagBefore) flags.fetch_and(~static_cast<unsigned>(PLUGIN_FLAG_ERROR));
    }
    wchar_t message[kMessageCapacity];
    FormatMessageOf(kRespondsAgainString, message, kMessageCapacity, shownName, entry, SecondsText(hungFor).c_str());
    ZEROVA_TRACE(0, L"CPlugin::HangEnded - %s", message);
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    WriteHistory(restored, message, nullptr, &now);
    if (!IsErrorLogger()) PublishStateChange(shownName, restored, restoredText, now);
    CPluginInterface::Instance()->RefreshTrayState();
}

void CPlugin::NoteSlowLoad(DWORD loadMs) { m_slowLoadMs = loadMs; }

std::wstring CPlugin::EntryName() const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    const std::wstring key = registrySubkey.Get();
    return key.substr(key.find_last_of(L'\\') + 1);
}

// ---------------------------------------------------------------- tests

bool CPlugin::HasCapability(unsigned bit, const void* entryPoint) const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return (flags.load() & bit) != 0 && entryPoint != nullptr;
}

template <typename EntryPoint>
static const void* EntryAddress(EntryPoint entryPoint)
{
    return reinterpret_cast<const void*>(entryPoint);
}

bool CPlugin::IsLoaded() const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return !m_unloading && (flags.load() & PLUGIN_FLAG_LOADED) != 0 && pfnGetVersionInfo != nullptr && pfnInit != nullptr &&
           pfnActivity != nullptr && pfnCleanup != nullptr;
}

bool CPlugin::HasMainWindow() const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return HasCapability(PLUGIN_FLAG_MAIN_WINDOW, reinterpret_cast<const void*>(pfnCreateMainWindow)) &&
           pfnCreateMenus != nullptr;
}

bool CPlugin::HasAboutBox() const { return HasCapability(PLUGIN_FLAG_ABOUT_BOX, EntryAddress(pfnGetAboutBoxText)); }

bool CPlugin::IsErrorLogger() const { return HasCapability(PLUGIN_FLAG_ERROR_LOGGER, EntryAddress(pfnLogError)); }

bool CPlugin::IsUpdater() const { return HasCapability(PLUGIN_FLAG_UPDATER, EntryAddress(pfnUpdate)); }

bool CPlugin::HasHealth() const { return HasCapability(PLUGIN_FLAG_HEALTH, EntryAddress(pfnGetPluginHealth)); }

bool CPlugin::HasReservedName() const
{
    wchar_t shown[MAX_PATH];
    GetDisplayName(shown, MAX_PATH);
    return EqualsReservedName(shown);
}

bool CPlugin::IsReservedSource(const wchar_t* source) const { return EqualsReservedName(source); }

// ---------------------------------------------------------------- accessors

HINSTANCE CPlugin::GetHinstance() const { return m_library.Get(); }

HWND CPlugin::GetHwnd() const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return hWnd;
}

void* CPlugin::GetHandle() const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return handle;
}

void* CPlugin::GetContext() const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return context;
}

unsigned CPlugin::GetFlags() const { return flags.load(); }
void CPlugin::AddFlags(unsigned bits)
{
    flags.fetch_or(bits);
    if ((bits & PLUGIN_FLAG_LOADED) != 0) m_everLoaded = true;
    // An error recorded against an unloaded plug-in (a stale handle used) makes it count again; a
    // plug-in whose load is failing is not counted at all.
    if ((bits & PLUGIN_FLAG_ERROR) != 0 && m_everLoaded && !IsLoaded() && handle != nullptr)
        CPluginInterface::Instance()->CountAgain(handle);
}

VARNEL_PLUGIN_STATE CPlugin::GetState() const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return state;
}

wchar_t* CPlugin::CopyField(const PathText& field, wchar_t* buffer, int length) const
{
    if (buffer == nullptr || length < 1) return buffer;
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return field.CopyTo(buffer, length);
}

wchar_t* CPlugin::GetStateText(wchar_t* buffer, int length) const { return CopyField(stateText, buffer, length); }
wchar_t* CPlugin::GetName(wchar_t* buffer, int length) const { return CopyField(name, buffer, length); }
wchar_t* CPlugin::GetDisplayName(wchar_t* buffer, int length) const { return CopyField(displayName, buffer, length); }
wchar_t* CPlugin::GetPath(wchar_t* buffer, int length) const { return CopyField(path, buffer, length); }
wchar_t* CPlugin::GetRegistrySubkey(wchar_t* buffer, int length) const
{
    return CopyField(registrySubkey, buffer, length);
}
wchar_t* CPlugin::GetSuiteMenuText(wchar_t* buffer, int length) const
{
    return CopyField(suiteMenuText, buffer, length);
}

UINT CPlugin::GetSuiteMenuId() const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    return suiteMenuId;
}

std::list<void*>& CPlugin::GetMenuItems() { return menuItems; }
zerova::Mutex& CPlugin::MenuItemsLock() { return m_menuItemsLock; }

void CPlugin::GetInterfaceVersion(int* major, int* minor) const
{
    std::lock_guard<zerova::RecursiveMutex> guard(m_lock);
    if (major != nullptr) *major = interfaceMajor;
    if (minor != nullptr) *minor = interfaceMinor;
}


int CPlugin::GetLastError() const { return lastError.load(); }
void CPlugin::ClearLastError() { lastError = 0; }
