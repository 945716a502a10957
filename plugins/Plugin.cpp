// One plug-in as the tray sees it: its names, state and errors, what it can do, and the fields
// other threads read. Its load and clean-up are in PluginLoader.cpp, the calls into its code in
// PluginCalls.cpp.
#include "PluginObjectParts.h"

#include "HistoryFile.h"
#include "TrayConstants.h"

#include "CallerText.h"
#include "FileIO.h"
#include "PluginInterface.h"
#include "PluginStateHistory.h"
#include "SafeString.h"

#include <string>

using plugins::kMessageCapacity;

namespace {
const UINT kReservedNameString = 1002;

bool EqualsReservedName(const zerova::SupportServices& support, const wchar_t* text)
{
    if (zerova::IsEmpty(text)) return false;
    wchar_t reserved[MAX_PATH] = L"";
    support.Text(kReservedNameString, reserved, MAX_PATH);
    return !zerova::IsEmpty(reserved) && zerova::EqualsNoCase(text, reserved);
}

template <typename EntryPoint>
const void* EntryAddress(EntryPoint entryPoint)
{
    return reinterpret_cast<const void*>(entryPoint);
}
}  // namespace

CPlugin::CPlugin(CPluginInterface& registry)
    : m_registry(registry), m_support(registry.Support()), pfnGetVersionInfo(nullptr), pfnInit(nullptr),
      pfnActivity(nullptr), pfnCleanup(nullptr),
      pfnCreateMainWindow(nullptr), pfnCreateMenus(nullptr), pfnGetAboutBoxText(nullptr), pfnLogError(nullptr),
      pfnUpdate(nullptr), pfnGetPluginHealth(nullptr), pfnGetOrvikIconStatus(nullptr), pfnSuiteRegister(nullptr),
      pfnSuiteMenuAction(nullptr), pfnCanUnload(nullptr), hWnd(nullptr), registrySubkey(), path(), name(),
      displayName(), flags(PLUGIN_FLAG_CREATED), context(nullptr), handle(nullptr), state(VARNEL_PLUGIN_STATE_OK),
      stateText(), menuItems(), m_library(), interfaceMajor(-1), interfaceMinor(-1), lastError(0),
      legacyTrayExe(), legacyTrayArgs(), legacyTrayShow(false), suiteMenuText(), suiteMenuId(0),
      suiteCookie(nullptr), m_callsInFlight(0), m_faulted(false), m_everLoaded(false), m_awaitingRelease(false), m_unloading(false), m_stateNow(VARNEL_PLUGIN_STATE_OK), m_leavingName()
{
}

CPlugin::~CPlugin()
{
    // A library that was never unloaded may still run threads of its own: it stays mapped.
    m_library.Release();
}

// ---------------------------------------------------------------- errors and states

void CPlugin::RecordError(int code, const wchar_t* message)
{
    if (zerova::IsEmpty(message)) return;
    ZEROVA_TRACE(4, L"CPlugin::RecordError:\r\n    code=%d\r\n    msg=\"%s\"", code, message);
    if (code != 0) lastError = code;
    m_support.errors->Error(code, message);
    // The state text is cut in place, so hand over a copy of the caller's message.
    wchar_t text[kMessageCapacity];
    zerova::CopyString(text, kMessageCapacity, message);
    SetState(VARNEL_PLUGIN_STATE_ERROR, text, nullptr);
    AddFlags(PLUGIN_FLAG_ERROR);
}

void CPlugin::RecordError(int code)
{
    wchar_t message[MAX_PATH] = L"";
    m_support.Text(static_cast<UINT>(code), message, MAX_PATH);
    RecordError(code, message);
}

bool CPlugin::FormatMessageOf(int code, wchar_t* message, int capacity, const wchar_t* first, const wchar_t* second,
                              const wchar_t* third) const
{
    return m_support.Format(static_cast<UINT>(code), message, capacity, first, second, third);
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
    wchar_t traced[MAX_PATH] = L"";
    std::wstring stored;
    bool putAside = false;
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        if (newState == state && stateText.Equals(given)) return false;
        // A stopped plug-in stays in the error state, whatever its own threads still report.
        if (m_faulted && newState < VARNEL_PLUGIN_STATE_ERROR) return false;
        zerova::CopyString(sourceName, MAX_PATH, zerova::IsEmpty(source) ? displayName.Get() : source);
        // The text is cut in a copy; the caller's buffer is cut too, as the contract says, but
        // only where it can be written (a plug-in may pass a string literal).
        const size_t cut = plugins::StateTextCut(given);
        stored.assign(given, cut);
        if (given[cut] != L'\0' && plugins::IsWritable(text + cut, sizeof(wchar_t))) text[cut] = L'\0';
        // While a call hangs the plug-in shows the hang; what it sets meanwhile is taken and written
        // to the history, and shown when the call returns.
        putAside = m_hung && PutAsideWhileHung(newState, stored.c_str());
        if (!putAside) {
            state = newState;
            m_stateNow = newState;
            stateText.Assign(stored.c_str());
            stateText.CopyTo(traced, MAX_PATH);
        }
    }
    if (traced[0] != L'\0') ZEROVA_TRACE(4, static_cast<const wchar_t*>(traced));
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    WriteHistory(newState, stored.c_str(), sourceName, &now);
    if (putAside) return true;
    if (!IsErrorLogger() && !EqualsReservedName(m_support, sourceName))
        PublishStateChange(sourceName, newState, stored.c_str(), now);
    return true;
}

void CPlugin::WriteHistory(VARNEL_PLUGIN_STATE newState, const wchar_t* text, const wchar_t* source,
                           const SYSTEMTIME* when)
{
    wchar_t sourceName[MAX_PATH];
    if (zerova::IsEmpty(source)) GetDisplayName(sourceName, MAX_PATH);
    else zerova::CopyString(sourceName, MAX_PATH, source);
    CPluginStateHistory history(m_registry.History(), sourceName);
    history.SetState(newState, text, when, true);
}

// Observers (an open system health dialog) learn of the change.
void CPlugin::PublishStateChange(const wchar_t* source, VARNEL_PLUGIN_STATE newState, const wchar_t* text,
                                     const SYSTEMTIME& when)
{
    const VarnelPluginStateChange change{this, source, newState, text, when};
    m_registry.PublishStateChange(change);
}

void CPlugin::SetStateText(const wchar_t* text)
{
    wchar_t stored[MAX_PATH];
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        stateText.Assign(text);
        stateText.CopyTo(stored, MAX_PATH);
    }
    if (stored[0] != L'\0') ZEROVA_TRACE(4, static_cast<const wchar_t*>(stored));
}

bool CPlugin::SetLegacyTrayEXE(const wchar_t* exePath, const wchar_t* arguments, bool show)
{
    if (!CFileIO::FileExists(exePath)) return false;
    std::lock_guard<zerova::Mutex> guard(m_lock);
    legacyTrayExe.Assign(exePath);
    legacyTrayArgs.Assign(zerova::IsEmpty(arguments) ? L" " : arguments);
    legacyTrayShow = show;
    return true;
}

// ---------------------------------------------------------------- tests

bool CPlugin::HasCapability(unsigned bit, const void* entryPoint) const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return (flags.load() & bit) != 0 && entryPoint != nullptr;
}

bool CPlugin::IsLoaded() const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return IsLoadedLocked();
}

bool CPlugin::IsLoadedLocked() const
{
    return !m_unloading && (flags.load() & PLUGIN_FLAG_LOADED) != 0 && pfnGetVersionInfo != nullptr && pfnInit != nullptr &&
           pfnActivity != nullptr && pfnCleanup != nullptr;
}

bool CPlugin::HasMainWindow() const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return (flags.load() & PLUGIN_FLAG_MAIN_WINDOW) != 0 && pfnCreateMainWindow != nullptr && pfnCreateMenus != nullptr;
}

bool CPlugin::HasAboutBox() const { return HasCapability(PLUGIN_FLAG_ABOUT_BOX, EntryAddress(pfnGetAboutBoxText)); }

bool CPlugin::IsErrorLogger() const { return HasCapability(PLUGIN_FLAG_ERROR_LOGGER, EntryAddress(pfnLogError)); }

bool CPlugin::IsUpdater() const { return HasCapability(PLUGIN_FLAG_UPDATER, EntryAddress(pfnUpdate)); }

bool CPlugin::HasHealth() const { return HasCapability(PLUGIN_FLAG_HEALTH, EntryAddress(pfnGetPluginHealth)); }

bool CPlugin::HasReservedName() const
{
    wchar_t shown[MAX_PATH];
    GetDisplayName(shown, MAX_PATH);
    return EqualsReservedName(m_support, shown);
}

bool CPlugin::IsReservedSource(const wchar_t* source) const { return EqualsReservedName(m_support, source); }

// ---------------------------------------------------------------- accessors

HINSTANCE CPlugin::GetHinstance() const { return m_library.Get(); }

HWND CPlugin::GetHwnd() const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return hWnd;
}

void* CPlugin::GetHandle() const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return handle;
}

void* CPlugin::GetContext() const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
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
        m_registry.CountAgain(handle);
}

VARNEL_PLUGIN_STATE CPlugin::GetState() const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return state;
}

wchar_t* CPlugin::CopyField(const PathText& field, wchar_t* buffer, int length) const
{
    if (buffer == nullptr || length < 1) return buffer;
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return field.CopyTo(buffer, length);
}

wchar_t* CPlugin::GetStateText(wchar_t* buffer, int length) const { return CopyField(stateText, buffer, length); }

wchar_t* CPlugin::GetName(wchar_t* buffer, int length) const { return CopyField(name, buffer, length); }

wchar_t* CPlugin::GetDisplayName(wchar_t* buffer, int length) const { return CopyField(displayName, buffer, length); }

wchar_t* CPlugin::GetNameForReports(wchar_t* buffer, int length) const
{
    CopyField(name, buffer, length);
    if (buffer != nullptr && length > 0 && buffer[0] == L'\0') CopyField(m_leavingName, buffer, length);
    return buffer;
}

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
    std::lock_guard<zerova::Mutex> guard(m_lock);
    return suiteMenuId;
}

std::list<void*>& CPlugin::GetMenuItems() { return menuItems; }

zerova::Mutex& CPlugin::MenuItemsLock() { return m_menuItemsLock; }

void CPlugin::GetInterfaceVersion(int* major, int* minor) const
{
    std::lock_guard<zerova::Mutex> guard(m_lock);
    if (major != nullptr) *major = interfaceMajor;
    if (minor != nullptr) *minor = interfaceMinor;
}

int CPlugin::GetLastError() const { return lastError.load(); }

void CPlugin::ClearLastError() { lastError = 0; }
