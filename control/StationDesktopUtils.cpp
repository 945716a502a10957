// The walk over every window station and desktop of the machine, its five window procedures and
// the access-control helpers that let a started tray host use a user's station and desktop.
#include "StationDesktopUtils.h"

#include "DebugTrace.h"
#include "FindWindow.h"
#include "Handles.h"
#include "SafeString.h"
#include "ThreadValue.h"
#include "TrayHostProcess.h"
#include "VarnelPrivateInterface.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <vector>

namespace control {

enum class WalkKind { StartHosts, UnloadHosts, ShowHideTray, PluginMessage, TraceWindows };

// One walk over every window station and desktop: what it does, its parameters and where it
// stands. It reaches the enumeration callbacks through their LPARAM; a nested walk is an object of
// its own, so the walk it interrupted keeps its parameters, station and desktop.
struct StationWalk {
    StationWalk(CStationDesktopUtils& walker, WalkKind kind) : walker(walker), kind(kind) {}

    CStationDesktopUtils& walker;
    const WalkKind kind;
    bool show = true;
    wchar_t messageText[MAX_PATH] = L"";
    int messageValue = -1;
    // Where the walk stands: the window station and desktop open now, the desktop's name.
    zerova::UniqueWindowStation station;
    zerova::UniqueDesktop desktop;
    const wchar_t* desktopName = L"";
    int depth = 1;  // 1 for a walk that runs inside no other on its thread
};

}  // namespace control

namespace {
using control::StationWalk;
using control::WalkKind;

// The innermost walk of this thread, or null: a re-entrancy mark (see the lock table), which lets
// a walk started inside another on the same thread run without the walk lock the outer one holds.
zerova::ThreadValue<StationWalk*> t_walking;

const wchar_t kTaskbarClass[] = L"Shell_TrayWnd";
const wchar_t kNotifyIconClass[] = L"ZerovaFramework_NotifyIcon";
const wchar_t kMainWindowClass[] = L"Zerova_VarnelWindowClass";
const DWORD kWindowStationAllAccess = 0x000F037F;
const DWORD kDesktopAllAccess = 0x000F01FF;
const DWORD kGenericAll = 0xF0000000;
// Walks started from inside a walk on the same thread, beyond which one is not run: two tray hosts
// whose plug-ins answer each other's messages would otherwise nest until the stack is used up.
const int kMaxWalkDepth = 4;

// The low 32 bits of a handle or address, as the traces print them.
unsigned Low32(const void* value) { return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(value)); }

// A zeroed block of the process heap, freed when its owner goes.
zerova::UniqueHeapBlock ZeroedBlock(SIZE_T bytes)
{
    return zerova::UniqueHeapBlock(bytes > 0 ? ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes) : nullptr);
}

// An access-allowed entry: its inheritance flags and its access mask.
struct AllowedEntry {
    BYTE flags;
    DWORD mask;
};

// An access-allowed entry built by hand: header, mask, then the SID.
bool AddAllowedAce(PACL acl, const AllowedEntry& entry, PSID sid)
{
    if (entry.flags == 0) return ::AddAccessAllowedAce(acl, ACL_REVISION, entry.mask, sid) != FALSE;
    const DWORD sidLength = ::GetLengthSid(sid);
    const DWORD size = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sidLength;
    const zerova::UniqueHeapBlock block = ZeroedBlock(size);
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(block.Get());
    if (ace == nullptr) return false;
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = entry.flags;
    ace->Header.AceSize = static_cast<WORD>(size);
    ace->Mask = entry.mask;
    if (!::CopySid(sidLength, &ace->SidStart, sid)) return false;
    return ::AddAce(acl, ACL_REVISION, MAXDWORD, ace, size) != FALSE;
}

bool IsSameAllowedAce(const void* ace, const AllowedEntry& entry, PSID sid)
{
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    return allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && allowed->Header.AceFlags == entry.flags &&
           allowed->Mask == entry.mask && ::EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid);
}

// Grants the SID the entries on a user object: reads its DACL, builds a new descriptor with a copy
// of the old entries followed by those of the wanted entries it does not hold yet, and writes it
// back. An object that holds them all is left as it is, so repeated walks do not make its DACL grow.
bool GrantEntries(HANDLE object, PSID sid, std::initializer_list<AllowedEntry> wanted)
{
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    if (::GetUserObjectSecurity(object, &what, nullptr, 0, &needed) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return false;
    const zerova::UniqueHeapBlock old = ZeroedBlock(needed);
    const zerova::UniqueHeapBlock fresh = ZeroedBlock(needed);
    if (old.Get() == nullptr || fresh.Get() == nullptr) return false;
    if (!::GetUserObjectSecurity(object, &what, old.Get(), needed, &needed)) return false;
    if (!::InitializeSecurityDescriptor(fresh.Get(), SECURITY_DESCRIPTOR_REVISION)) return false;

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL oldAcl = nullptr;
    if (!::GetSecurityDescriptorDacl(old.Get(), &present, &oldAcl, &defaulted)) return false;
    const bool hasAcl = present && oldAcl != nullptr;
    ACL_SIZE_INFORMATION sizes{};
    sizes.AclBytesInUse = sizeof(ACL);
    if (hasAcl && !::GetAclInformation(oldAcl, &sizes, sizeof(sizes), AclSizeInformation)) return false;

    std::vector<void*> oldEntries;
    for (DWORD i = 0; hasAcl && i < sizes.AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(oldAcl, i, &ace)) return false;
        oldEntries.push_back(ace);
    }
    std::vector<AllowedEntry> missing;
    std::copy_if(wanted.begin(), wanted.end(), std::back_inserter(missing), [&](const AllowedEntry& entry) {
        return std::none_of(oldEntries.begin(), oldEntries.end(),
                            [&](const void* ace) { return IsSameAllowedAce(ace, entry, sid); });
    });
    if (missing.empty()) return true;

    const DWORD entryBytes = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(sid);
    const DWORD aclBytes = sizes.AclBytesInUse + static_cast<DWORD>(missing.size()) * entryBytes;
    const zerova::UniqueHeapBlock aclBlock = ZeroedBlock(aclBytes);
    auto* acl = static_cast<PACL>(aclBlock.Get());
    if (acl == nullptr || !::InitializeAcl(acl, aclBytes, ACL_REVISION)) return false;
    for (void* ace : oldEntries) {
        if (!::AddAce(acl, ACL_REVISION, MAXDWORD, ace, static_cast<PACE_HEADER>(ace)->AceSize)) return false;
    }
    for (const AllowedEntry& entry : missing) {
        if (!AddAllowedAce(acl, entry, sid)) return false;
    }
    if (!::SetSecurityDescriptorDacl(fresh.Get(), TRUE, acl, FALSE)) return false;
    return ::SetUserObjectSecurity(object, &what, fresh.Get()) != FALSE;
}

// The calling thread acts as a token's user for the life of the object, then gets back the identity
// it had before: its own earlier impersonation, or none.
class ImpersonationScope {
public:
    explicit ImpersonationScope(HANDLE token)
    {
        HANDLE previous = nullptr;
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &previous)) m_previous = zerova::UniqueKernelHandle(previous);
        m_active = ::ImpersonateLoggedOnUser(token) != FALSE;
    }
    ~ImpersonationScope()
    {
        if (!m_active) return;
        if (!m_previous || !::SetThreadToken(nullptr, m_previous.Get())) ::RevertToSelf();
    }
    ImpersonationScope(const ImpersonationScope&) = delete;
    ImpersonationScope& operator=(const ImpersonationScope&) = delete;
    bool Active() const { return m_active; }

private:
    zerova::UniqueKernelHandle m_previous;
    bool m_active = false;
};
}  // namespace

// ---------------------------------------------------------------- life

CStationDesktopUtils::CStationDesktopUtils(const zerova::SupportServices& support, CVarnelUtils& utils)
    : m_support(support), m_utils(utils), m_mainAppWindow(nullptr), m_mainAppName()
{
}

CStationDesktopUtils::~CStationDesktopUtils() = default;

void CStationDesktopUtils::SetMainAppHwnd(HWND window, const wchar_t* name)
{
    m_mainAppWindow = window;
    if (!zerova::IsEmpty(name)) zerova::CopyString(m_mainAppName, MAX_PATH, name);
}

HWND CStationDesktopUtils::GetMainAppHwnd() { return m_mainAppWindow; }

// ---------------------------------------------------------------- the walks

void CStationDesktopUtils::LoadUnloadOnAllStationsAndDesktops(bool load)
{
    StationWalk walk(*this, load ? WalkKind::StartHosts : WalkKind::UnloadHosts);
    Walk(walk);
}

void CStationDesktopUtils::ShowHideTrayOnAllStationsAndDesktops(bool show)
{
    StationWalk walk(*this, WalkKind::ShowHideTray);
    walk.show = show;
    Walk(walk);
}

void CStationDesktopUtils::PluginComm(const wchar_t* text, int value)
{
    StationWalk walk(*this, WalkKind::PluginMessage);
    if (!zerova::IsEmpty(text)) zerova::CopyString(walk.messageText, MAX_PATH, text);
    walk.messageValue = value;
    Walk(walk);
}

void CStationDesktopUtils::DebugTrace()
{
    StationWalk walk(*this, WalkKind::TraceWindows);
    Walk(walk);
}

void CStationDesktopUtils::Walk(StationWalk& walk)
{
    StationWalk* const outer = t_walking.Get();
    if (outer != nullptr) {
        // Two tray hosts whose plug-ins answer each other's messages would otherwise nest until
        // the stack is used up.
        walk.depth = outer->depth + 1;
        if (walk.depth > kMaxWalkDepth) {
            ZEROVA_TRACE(4, L"CStationDesktopUtils - a walk nested %d deep on one thread is not run", walk.depth);
            return;
        }
    }
    std::unique_lock<zerova::Mutex> oneAtATime(m_walkLock, std::defer_lock);
    if (outer == nullptr) oneAtATime.lock();
    t_walking.Set(&walk);
    ::EnumWindowStationsW(&CStationDesktopUtils::EnumWindowStationProc, reinterpret_cast<LPARAM>(&walk));
    t_walking.Set(outer);
}

BOOL CALLBACK CStationDesktopUtils::EnumWindowStationProc(LPWSTR station, LPARAM walkParameter)
{
    ZEROVA_TRACE(0, L"EnumWindowStationProc: lpszWindowStation: %s", station != nullptr ? station : L"");
    if (zerova::IsEmpty(station)) return TRUE;
    auto& walk = *reinterpret_cast<StationWalk*>(walkParameter);
    walk.station.Reset(::OpenWindowStationW(station, FALSE, MAXIMUM_ALLOWED));
    if (!walk.station) return TRUE;
    HWINSTA own = ::GetProcessWindowStation();
    ::SetProcessWindowStation(walk.station.Get());
    ::EnumDesktopsW(walk.station.Get(), &CStationDesktopUtils::EnumDesktopProc, walkParameter);
    ::SetProcessWindowStation(own);
    walk.station.Reset();
    return TRUE;
}

BOOL CALLBACK CStationDesktopUtils::EnumDesktopProc(LPWSTR desktop, LPARAM walkParameter)
{
    ZEROVA_TRACE(0, L"EnumDesktopProc: lpszDesktop: %s", desktop != nullptr ? desktop : L"");
    if (zerova::IsEmpty(desktop)) return TRUE;
    auto& walk = *reinterpret_cast<StationWalk*>(walkParameter);
    walk.desktop.Reset(::OpenDesktopW(desktop, 0, FALSE, MAXIMUM_ALLOWED));
    if (!walk.desktop) return TRUE;
    walk.desktopName = desktop;
    ::EnumDesktopWindows(walk.desktop.Get(), &CStationDesktopUtils::EnumWindowProc, walkParameter);
    walk.desktopName = L"";
    walk.desktop.Reset();
    return TRUE;
}

BOOL CALLBACK CStationDesktopUtils::EnumWindowProc(HWND window, LPARAM walkParameter)
{
    auto& walk = *reinterpret_cast<StationWalk*>(walkParameter);
    switch (walk.kind) {
    case WalkKind::StartHosts:
        return Load_EnumWindowsProc(window, walk) ? TRUE : FALSE;
    case WalkKind::UnloadHosts:
        return Unload_EnumWindowsProc(window, walk) ? TRUE : FALSE;
    case WalkKind::ShowHideTray:
        return ShowHideTray_EnumWindowsProc(window, walk) ? TRUE : FALSE;
    case WalkKind::PluginMessage:
        return PluginComm_EnumWindowsProc(window, walk) ? TRUE : FALSE;
    case WalkKind::TraceWindows:
        return DebugTrace_EnumWindowsProc(window, walk) ? TRUE : FALSE;
    }
    return TRUE;
}

bool CStationDesktopUtils::IsTrayHostNotifyWindow(HWND window)
{
    CFindWindow finder;
    bool titleMatched = false;
    bool classMatched = false;
    finder.Match(window, m_mainAppName, titleMatched, kNotifyIconClass, classMatched);
    return titleMatched && classMatched;
}

// The main application window and every other window of this process: a tray host never messages
// or closes itself, whichever of its windows receives requests.
bool CStationDesktopUtils::IsWindowToSkip(HWND window)
{
    return window == nullptr || window == m_mainAppWindow || control::IsOwnProcessWindow(window);
}

bool CStationDesktopUtils::Load_EnumWindowsProc(HWND window, StationWalk& walk)
{
    ZEROVA_TRACE(0, L"Load_EnumWindowsProc: lpszDesktop: %s", walk.desktopName);
    if (window == nullptr || window == walk.walker.m_mainAppWindow) return true;
    wchar_t className[MAX_PATH] = L"";
    if (::GetClassNameW(window, className, MAX_PATH) == 0) {
        ZEROVA_TRACE(4, L"Load_EnumWindowsProc::GetClassName failed for hWnd %.8X", Low32(window));
        return true;
    }
    ZEROVA_TRACE(0, L"Load_EnumWindowsProc: window class name %s", className);
    if (!zerova::EqualsNoCase(className, kTaskbarClass)) return true;
    walk.walker.StartTrayHostFor(window, className, walk);
    return false;  // one start attempt per desktop
}

// Starts this process's executable as the user who owns the taskbar, on the taskbar's desktop.
void CStationDesktopUtils::StartTrayHostFor(HWND taskbar, const wchar_t* className, const StationWalk& walk)
{
    const wchar_t* desktop = walk.desktopName;
    wchar_t executable[MAX_PATH] = L"";
    const DWORD got = ::GetModuleFileNameW(nullptr, executable, MAX_PATH);
    if (got == 0 || got >= MAX_PATH) {
        ZEROVA_TRACE(4, L"Load_EnumWindowsProc::GetModuleFileName failed");
        return;
    }
    DWORD processId = 0;
    if (::GetWindowThreadProcessId(taskbar, &processId) == 0 || processId == 0) {
        ZEROVA_TRACE(4, L"Load_EnumWindowsProc::GetWindowThreadProcessId failed for hWnd %.8X", Low32(taskbar));
        return;
    }
    zerova::UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
    if (!process) {
        ZEROVA_TRACE(4, L"Load_EnumWindowsProc::OpenProcess failed for process ID %.8X", processId);
        return;
    }
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(process.Get(), TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY, &rawToken)) {
        ZEROVA_TRACE(4, L"Load_EnumWindowsProc::OpenProcessToken failed for process handle %.8X", Low32(process.Get()));
        return;
    }
    zerova::UniqueKernelHandle token(rawToken);
    PSID sid = nullptr;
    if (!GetLogonSid(token.Get(), &sid)) return;
    const zerova::UniqueHeapBlock sidBlock(sid);  // GetLogonSid's copy, freed as FreeLogonSid frees it

    if (!AddAceToWindowStation(walk.station.Get(), sid)) {
        ZEROVA_TRACE(4, L"Load_EnumWindowsProc::AddAceToWindowStation failed for pSID %.8X", Low32(sid));
        return;
    }
    if (!AddAceToDesktop(walk.desktop.Get(), sid)) {
        ZEROVA_TRACE(4, L"Load_EnumWindowsProc::AddAceToDesktop failed for pSID %.8X", Low32(sid));
        return;
    }
    const ImpersonationScope impersonation(token.Get());
    if (!impersonation.Active()) {
        ZEROVA_TRACE(4, L"Load_EnumWindowsProc::ImpersonateLoggedOnUser failed for process token %.8X",
                    Low32(token.Get()));
        return;
    }

    wchar_t commandLine[MAX_PATH];
    zerova::FormatString(commandLine, MAX_PATH, L"%s=%d", L"ignorehwnd",
                         static_cast<int>(reinterpret_cast<INT_PTR>(m_mainAppWindow)));
    wchar_t desktopName[MAX_PATH];
    zerova::CopyString(desktopName, MAX_PATH, desktop);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktopName;
    PROCESS_INFORMATION started{};
    if (::CreateProcessAsUserW(token.Get(), executable, commandLine, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE,
                               nullptr, nullptr, &startup, &started)) {
        const zerova::UniqueKernelHandle thread(started.hThread), process(started.hProcess);
        return;
    }
    wchar_t error[MAX_PATH] = L"";
    m_support.errors->GetLastErrorString(L"CreateProcessAsUser", error, MAX_PATH);
    ZEROVA_TRACE(4,
                L"Load_EnumWindowsProc::CreateProcessAsUser failed for window class \"%s\", desktop \"%s\", process "
                L"token %.8X, executable name \"%s\", command line \"%s\"\r\n    Last error: %s",
                className, desktop, Low32(token.Get()), executable, commandLine, error);
}

bool CStationDesktopUtils::Unload_EnumWindowsProc(HWND window, StationWalk& walk)
{
    CStationDesktopUtils& self = walk.walker;
    if (self.IsWindowToSkip(window)) return true;
    ZEROVA_TRACE(0, L"Unload_EnumWindowsProc");
    if (self.IsTrayHostNotifyWindow(window)) {
        ZEROVA_TRACE(0, L"Unload_EnumWindowsProc - calling CVarnelPrivateInterface::CopyDataIPC");
        CVarnelPrivateInterface::CopyDataIPC(window, self.m_mainAppWindow, CVarnelPrivateInterface::IPC_UNLOAD,
                                             nullptr, -1);
    }
    CFindWindow finder;
    bool titleMatched = false;
    bool classMatched = false;
    finder.Match(window, nullptr, titleMatched, kMainWindowClass, classMatched);
    if (classMatched) ::PostMessageW(window, WM_CLOSE, 0, 0);
    return true;
}

bool CStationDesktopUtils::ShowHideTray_EnumWindowsProc(HWND window, StationWalk& walk)
{
    CStationDesktopUtils& self = walk.walker;
    if (self.IsWindowToSkip(window)) return true;
    ZEROVA_TRACE(0, L"ShowHideTray_EnumWindowsProc");
    if (self.IsTrayHostNotifyWindow(window)) {
        ZEROVA_TRACE(0, L"ShowHideTray_EnumWindowsProc - calling CVarnelPrivateInterface::CopyDataIPC");
        CVarnelPrivateInterface::CopyDataIPC(
            window, self.m_mainAppWindow,
            walk.show ? CVarnelPrivateInterface::IPC_SHOW : CVarnelPrivateInterface::IPC_HIDE, nullptr, -1);
    }
    return true;
}

bool CStationDesktopUtils::PluginComm_EnumWindowsProc(HWND window, StationWalk& walk)
{
    CStationDesktopUtils& self = walk.walker;
    if (self.IsWindowToSkip(window)) return true;
    ZEROVA_TRACE(0, L"PluginComm_EnumWindowsProc");
    if (!self.IsTrayHostNotifyWindow(window)) return true;
    // A plug-in message goes only to a process that runs a tray host executable.
    if (!control::IsTrayHostProcessWindow(window, self.m_utils)) {
        ZEROVA_TRACE(4, L"PluginComm_EnumWindowsProc - window %.8X belongs to no tray host executable", Low32(window));
        return true;
    }
    ZEROVA_TRACE(0, L"PluginComm_EnumWindowsProc - calling CVarnelPrivateInterface::CopyDataIPC");
    CVarnelPrivateInterface::CopyDataIPC(window, self.m_mainAppWindow, CVarnelPrivateInterface::IPC_PLUGIN_COMM,
                                         walk.messageText, walk.messageValue);
    return true;
}

bool CStationDesktopUtils::DebugTrace_EnumWindowsProc(HWND window, StationWalk&)
{
    if (window == nullptr) return true;
    wchar_t title[MAX_PATH] = L"";
    wchar_t className[MAX_PATH] = L"";
    ::GetWindowTextW(window, title, MAX_PATH);
    ::GetClassNameW(window, className, MAX_PATH);
    ZEROVA_TRACE(0, L"DebugTrace_EnumWindowsProc: hWnd = %.8X, name = \"%s\", class = \"%s\"", Low32(window), title,
                className);
    return true;
}

// ---------------------------------------------------------------- security helpers

bool CStationDesktopUtils::GetLogonSid(HANDLE token, PSID* sid)
{
    if (sid == nullptr) return false;
    *sid = nullptr;
    DWORD needed = 0;
    if (::GetTokenInformation(token, TokenGroups, nullptr, 0, &needed) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return false;
    const zerova::UniqueHeapBlock groupsBlock = ZeroedBlock(needed);
    auto* groups = static_cast<TOKEN_GROUPS*>(groupsBlock.Get());
    if (groups == nullptr || !::GetTokenInformation(token, TokenGroups, groups, needed, &needed)) return false;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) != SE_GROUP_LOGON_ID) continue;
        const DWORD length = ::GetLengthSid(groups->Groups[i].Sid);
        zerova::UniqueHeapBlock copy = ZeroedBlock(length);
        if (copy.Get() == nullptr || !::CopySid(length, copy.Get(), groups->Groups[i].Sid)) return false;
        *sid = copy.Release();
        return true;
    }
    return false;
}

void CStationDesktopUtils::FreeLogonSid(PSID sid)
{
    if (sid != nullptr) ::HeapFree(::GetProcessHeap(), 0, sid);
}

bool CStationDesktopUtils::AddAceToWindowStation(HWINSTA station, PSID sid)
{
    if (station == nullptr || sid == nullptr || !::IsValidSid(sid)) return false;
    return GrantEntries(station, sid,
                        {{CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE, kGenericAll},
                         {NO_PROPAGATE_INHERIT_ACE, kWindowStationAllAccess}});
}

bool CStationDesktopUtils::AddAceToDesktop(HDESK desktop, PSID sid)
{
    if (desktop == nullptr || sid == nullptr || !::IsValidSid(sid)) return false;
    return GrantEntries(desktop, sid, {{0, kDesktopAllAccess}});
}
