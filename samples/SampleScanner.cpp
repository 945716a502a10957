// A scanner: a plug-in message "scanner:scan" starts a scan on a thread of its own, which shows a
// progress dialog with a detail line per file and ends with an advisory message. The answer to the
// message arrives later as activity 5. Its texts are in English and German (SampleScanner.rc).
//   plug-in message: "scanner:overflow" walks a folder tree whose link leads back into itself,
//                    without a depth limit, as a buggy scanner would: its stack runs out and the
//                    tray process ends (a supervised tray starts again without it).
#include "SampleLanguage.h"
#include "SampleTexts.h"
#include "VarnelPluginAPI.h"

#include <cwchar>

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {
void* g_handle = nullptr;
int g_context = 0;
volatile LONG g_scanning = 0;
volatile LONG g_cancelled = 0;
HANDLE g_scanThread = nullptr;

const wchar_t* const kFiles[] = {L"C:\\Users\\Public\\Documents\\report.docx", L"C:\\Users\\Public\\Music\\track.mp3",
                                 L"C:\\Program Files\\Tools\\setup.exe", L"C:\\Windows\\Temp\\cache.tmp",
                                 L"C:\\Users\\Public\\Pictures\\holiday.jpg"};

void Pump(DWORD milliseconds)
{
    const DWORD end = GetTickCount() + milliseconds;
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    } while (static_cast<LONG>(GetTickCount() - end) < 0);
}

void OnCancel(void*) { InterlockedExchange(&g_cancelled, 1); }

DWORD WINAPI Scan(LPVOID)
{
    // The progress dialog's window belongs to this thread, which keeps its messages moving.
    wchar_t title[MAX_PATH];
    CProgressDlg* dialog = VarnelCreateProgressDlg(g_handle, nullptr, SampleText(IDS_SCANNER_TITLE, title, MAX_PATH),
                                                   PROGRESS_BAR_DLG_CANCEL, &OnCancel, nullptr, 0);
    const int count = static_cast<int>(sizeof(kFiles) / sizeof(kFiles[0]));
    wchar_t statusFormat[MAX_PATH], detailFormat[MAX_PATH];
    SampleText(IDS_SCANNER_STATUS, statusFormat, MAX_PATH);
    SampleText(IDS_SCANNER_DETAIL, detailFormat, MAX_PATH);
    int scanned = 0;
    for (; scanned < count && dialog != nullptr && g_cancelled == 0; ++scanned) {
        wchar_t status[MAX_PATH];
        wchar_t detail[MAX_PATH];
        swprintf(status, MAX_PATH, statusFormat, scanned + 1, count);
        swprintf(detail, MAX_PATH, detailFormat, kFiles[scanned]);
        VarnelSetProgress(dialog, status, detail, (scanned + 1) * 100 / count);
        Pump(150);
    }
    // The dialog's end calls OnCancel on this thread as well: the scan has ended by then.
    if (dialog != nullptr) VarnelDestroyProgressDlg(dialog);

    // An advisory message needs a window as its parent (it is not placed by it): without one it is
    // not shown.
    HWND owner = CreateWindowExW(0, L"STATIC", title, WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    wchar_t done[MAX_PATH], summaryFormat[MAX_PATH], summary[MAX_PATH];
    SampleText(IDS_SCANNER_DONE_TITLE, done, MAX_PATH);
    swprintf(summary, MAX_PATH, SampleText(IDS_SCANNER_DONE_TEXT, summaryFormat, MAX_PATH), scanned);
    VarnelDisplayAdvisoryMsg(g_handle, nullptr, owner, done, summary, ADVISORY_MSG_INFO, ADVISORY_MSG_BUTTONS_OK,
                             true, reinterpret_cast<void*>(static_cast<INT_PTR>(scanned)), false);
    DestroyWindow(owner);
    InterlockedExchange(&g_scanning, 0);
    return 0;
}

// Each folder's link leads to the folder itself; the walk's only limit is far beyond any stack.
int WalkFolder(const wchar_t* folder, int depth)
{
    if (depth > 100000000) return 0;
    volatile wchar_t path[1024];
    swprintf(const_cast<wchar_t*>(path), 1024, L"%ls\\loop", folder);
    return WalkFolder(const_cast<const wchar_t*>(path), depth + 1) + path[0];
}

void StartScan()
{
    if (InterlockedCompareExchange(&g_scanning, 1, 0) != 0) return;  // one scan at a time
    InterlockedExchange(&g_cancelled, 0);
    if (g_scanThread != nullptr) CloseHandle(g_scanThread);
    g_scanThread = CreateThread(nullptr, 0, &Scan, nullptr, 0, nullptr);
    if (g_scanThread == nullptr) InterlockedExchange(&g_scanning, 0);
}
}  // namespace

PLUGIN_EXPORT int VARNEL_CALL PluginGetVersionInfo(void* handle, int* major, int* minor)
{
    g_handle = handle;
    *major = VARNEL_INTERFACE_MAJOR;
    *minor = VARNEL_INTERFACE_MINOR;
    return 0;
}

// language2 is the system's user-interface language, language1 the user's.
PLUGIN_EXPORT int VARNEL_CALL PluginInit(void* handle, WORD language2, WORD language1, int*, int*, void** context,
                                         wchar_t*, wchar_t* displayName, int displayNameCapacity)
{
    g_handle = handle;
    *context = &g_context;
    SampleChooseLanguage(language1, language2);
    SampleText(IDS_SCANNER_NAME, displayName, displayNameCapacity);
    return 0;
}

PLUGIN_EXPORT int VARNEL_CALL PluginActivity(VARNEL_ACTIVITY activity, int first, INT_PTR second, void*)
{
    if (activity == VARNEL_ACTIVITY_PLUGIN_COMM && second != 0 &&
        wcscmp(reinterpret_cast<const wchar_t*>(second), L"scanner:scan") == 0)
        StartScan();
    if (activity == VARNEL_ACTIVITY_PLUGIN_COMM && second != 0 &&
        wcscmp(reinterpret_cast<const wchar_t*>(second), L"scanner:overflow") == 0)
        return WalkFolder(L"C:\\Users\\Public\\Links", 0);
    if (activity == VARNEL_ACTIVITY_ADVISORY_RESULT) {
        // first: the button that closed the message (0: it closed by itself); second: our cookie.
        wchar_t format[MAX_PATH], text[MAX_PATH];
        swprintf(text, MAX_PATH, SampleText(IDS_SCANNER_LAST_SCAN, format, MAX_PATH), static_cast<int>(second));
        VarnelSetState(g_handle, VARNEL_PLUGIN_STATE_OK, text);
        (void)first;
    }
    return 0;
}

// The tray waits for its calls into us to end; the scan thread is asked to stop and awaited.
PLUGIN_EXPORT void VARNEL_CALL PluginCleanup(void*)
{
    InterlockedExchange(&g_cancelled, 1);
    if (g_scanThread != nullptr) {
        WaitForSingleObject(g_scanThread, 10000);
        CloseHandle(g_scanThread);
        g_scanThread = nullptr;
    }
}
