// A helper process for the inter-process tests. Every line it writes goes to the UTF-8 file named
// by the environment variable VARNEL_PEER_LOG.
//   IpcPeer receive TITLE REPLY [main]   a tray host's notify-icon window (and, with "main", a main
//                                        window) that records every copy-data record and replies REPLY
//   IpcPeer taskbar [COUNT]              COUNT windows of the taskbar's class on this desktop
//   IpcPeer relay TITLE TARGET           a tray host's notify-icon window that records every record
//                                        and answers a plug-in message "hop N" (N > 0) by sending
//                                        "hop N-1" to the window TARGET (a decimal handle)
//   IpcPeer walk load|unload TITLE       runs that walk with its own window as the main window, then
//                                        says whether the walking thread still impersonates anyone
//   IpcPeer anything else                records its command line and desktop, then ends
#include "StationDesktopUtils.h"
#include "TestEnvironment.h"
#include "VarnelPrivateInterface.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {
int g_reply = 1;
HWND g_relayTarget = nullptr;

std::wstring ObjectName(HANDLE object)
{
    wchar_t name[MAX_PATH] = L"";
    DWORD needed = 0;
    GetUserObjectInformationW(object, UOI_NAME, name, sizeof(name), &needed);
    return name;
}

std::wstring Where()
{
    return ObjectName(GetProcessWindowStation()) + L"\\" + ObjectName(GetThreadDesktop(GetCurrentThreadId()));
}

void Log(const std::wstring& line)
{
    wchar_t path[MAX_PATH] = L"";
    if (GetEnvironmentVariableW(L"VARNEL_PEER_LOG", path, MAX_PATH) == 0) return;
    const std::wstring text = line + L"\n";
    char utf8[8192];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8,
                                          sizeof(utf8), nullptr, nullptr);
    // Peers on several desktops write at once (every main window closes at the same moment); an
    // append is a seek to the end and a write under Wine, so without the mutex one line can land
    // over another.
    HANDLE writers = CreateMutexW(nullptr, FALSE, L"Local\\VarnelIpcPeerLog");
    if (writers != nullptr) WaitForSingleObject(writers, 10000);
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, utf8, static_cast<DWORD>(bytes), &written, nullptr);
        CloseHandle(file);
    }
    if (writers != nullptr) {
        ReleaseMutex(writers);
        CloseHandle(writers);
    }
}

std::wstring Number(UINT_PTR value) { return std::to_wstring(static_cast<unsigned long long>(value)); }

void RecordCopyData(HWND window, WPARAM sender, const COPYDATASTRUCT* data)
{
    wchar_t title[MAX_PATH] = L"";
    GetWindowTextW(window, title, MAX_PATH);
    std::wstring line = L"copydata|to=" + std::wstring(title) + L"|where=" + Where() + L"|sender=" + Number(sender) +
                        L"|bytes=" + std::to_wstring(data->cbData);
    if (data->cbData == sizeof(CVarnelPrivateInterface::IPC_DATA) && data->lpData != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(data->lpData);
        unsigned int reason = 0;
        int value = 0;
        memcpy(&reason, bytes, 4);
        memcpy(&value, bytes + 2052, 4);
        const auto* units = reinterpret_cast<const wchar_t*>(bytes + 4);
        size_t length = 0;
        while (length < 1024 && units[length] != L'\0') ++length;
        bool zeroAfter = true;
        for (size_t i = length; i < 1024; ++i) zeroAfter = zeroAfter && units[i] == L'\0';
        line += L"|reason=" + std::to_wstring(reason) + L"|length=" + std::to_wstring(length) +
                L"|zeroAfter=" + (zeroAfter ? L"1" : L"0") + L"|value=" + std::to_wstring(value) + L"|string=" +
                std::wstring(units, length);
    }
    Log(line);
}

void CALLBACK QuitLater(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); }

// A plug-in message "hop N" with N > 0 is answered with "hop N-1" to the relay target.
void RelayHop(HWND window, const COPYDATASTRUCT* data)
{
    if (g_relayTarget == nullptr || data->cbData != sizeof(CVarnelPrivateInterface::IPC_DATA)) return;
    const auto* request = static_cast<const CVarnelPrivateInterface::IPC_DATA*>(data->lpData);
    int hop = 0;
    if (request->reason != CVarnelPrivateInterface::IPC_PLUGIN_COMM || swscanf(request->stringValue, L"hop %d", &hop) != 1 ||
        hop <= 0)
        return;
    const std::wstring answer = L"hop " + std::to_wstring(hop - 1);
    CVarnelPrivateInterface::CopyDataIPC(g_relayTarget, window, CVarnelPrivateInterface::IPC_PLUGIN_COMM, answer.c_str(), 0);
}

LRESULT CALLBACK PeerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COPYDATA:
        RecordCopyData(window, wParam, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        RelayHop(window, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        return g_reply;
    case WM_CLOSE: {
        wchar_t className[MAX_PATH] = L"";
        GetClassNameW(window, className, MAX_PATH);
        Log(L"close|class=" + std::wstring(className) + L"|where=" + Where());
        // A walk closes main windows and sends requests to notify-icon windows in the order the
        // desktop lists them; the peer stays a moment, so that a request sent right after the
        // close still finds it, as it finds a host that is shutting down.
        SetTimer(nullptr, 0, 1500, &QuitLater);
        return 0;
    }
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND MakeWindow(const wchar_t* className, const wchar_t* title)
{
    return testenv::MakePopupWindow(className, title, &PeerWindowProc);
}

int Pump()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

int Receive(int argc, wchar_t** argv)
{
    if (argc < 4) return 2;
    g_reply = _wtoi(argv[3]);
    HWND notify = MakeWindow(L"ZerovaFramework_NotifyIcon", argv[2]);
    HWND main = argc > 4 ? MakeWindow(L"Zerova_VarnelWindowClass", L"a main window") : nullptr;
    Log(L"ready|title=" + std::wstring(argv[2]) + L"|where=" + Where() + L"|notify=" +
        Number(reinterpret_cast<UINT_PTR>(notify)) + L"|main=" + Number(reinterpret_cast<UINT_PTR>(main)));
    return Pump();
}

int Relay(int argc, wchar_t** argv)
{
    if (argc < 4) return 2;
    g_relayTarget = reinterpret_cast<HWND>(static_cast<INT_PTR>(_wtoi64(argv[3])));
    HWND notify = MakeWindow(L"ZerovaFramework_NotifyIcon", argv[2]);
    Log(L"ready|relay|title=" + std::wstring(argv[2]) + L"|where=" + Where() + L"|notify=" +
        Number(reinterpret_cast<UINT_PTR>(notify)));
    return Pump();
}

bool ThreadImpersonates()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
    CloseHandle(token);
    return true;
}

int Taskbar(int argc, wchar_t** argv)
{
    const int count = argc > 2 ? _wtoi(argv[2]) : 1;
    for (int i = 0; i < count; ++i) MakeWindow(L"Shell_TrayWnd", L"");
    Log(L"ready|taskbar|where=" + Where());
    return Pump();
}

int Walk(int argc, wchar_t** argv)
{
    if (argc < 4) return 2;
    HWND own = MakeWindow(L"VarnelPeerWalker", L"walker");
    CStationDesktopUtils::Instance()->SetMainAppHwnd(own, argv[3]);
    Log(L"walker|main=" + std::to_wstring(static_cast<long long>(reinterpret_cast<INT_PTR>(own))));
    const bool load = wcscmp(argv[2], L"load") == 0;
    CStationDesktopUtils::Instance()->LoadUnloadOnAllStationsAndDesktops(load);
    Log(std::wstring(L"walked|impersonating=") + (ThreadImpersonates() ? L"1" : L"0"));
    return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"receive") return Receive(argc, argv);
    if (mode == L"relay") return Relay(argc, argv);
    if (mode == L"taskbar") return Taskbar(argc, argv);
    if (mode == L"walk") return Walk(argc, argv);
    // Started by a load walk or a proxy request: only the command line and the desktop matter.
    const wchar_t* commandLine = GetCommandLineW();
    Log(L"started|cmdline=" + std::wstring(commandLine) + L"|where=" + Where());
    return 0;
}
