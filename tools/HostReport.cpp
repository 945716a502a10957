#include "HostReport.h"

#include "ReportRequest.h"

namespace {
const wchar_t kWindowClass[] = L"Zerova_VarnelctlReportWindow";
const UINT kReplyTimeoutMs = 15000;

std::wstring* g_reply = nullptr;

// Takes the host's report, which arrives while this thread waits in its own send.
LRESULT CALLBACK ReplyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA) return DefWindowProcW(window, message, wParam, lParam);
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (data == nullptr || data->dwData != reportrequest::ReportReply || g_reply == nullptr ||
        (data->cbData % sizeof(wchar_t)) != 0 || (data->cbData != 0 && data->lpData == nullptr))
        return 0;
    g_reply->assign(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
    return 1;
}

HWND MakeReplyWindow()
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &ReplyWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);
    return CreateWindowExW(0, kWindowClass, L"varnelctl", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}
}  // namespace

bool AskHostForReport(HWND host, std::vector<std::wstring>& lines, std::wstring& problem)
{
    HWND window = MakeReplyWindow();
    if (window == nullptr) {
        problem = L"this program could not make the window the report is sent to (Windows error " +
                  std::to_wstring(GetLastError()) + L")";
        return false;
    }
    std::wstring reply;
    g_reply = &reply;
    COPYDATASTRUCT request{};
    request.dwData = reportrequest::ReportRequest;
    DWORD_PTR answer = 0;
    const LRESULT sent = SendMessageTimeoutW(host, WM_COPYDATA, reinterpret_cast<WPARAM>(window),
                                             reinterpret_cast<LPARAM>(&request), SMTO_NORMAL, kReplyTimeoutMs, &answer);
    g_reply = nullptr;
    DestroyWindow(window);
    if (sent == 0) {
        problem = L"the tray host did not answer within 15 seconds";
        return false;
    }
    if (answer != 1) {
        problem = L"the tray host refused the report request (its log says why)";
        return false;
    }
    lines.clear();
    for (size_t start = 0; start < reply.size();) {
        const size_t end = reply.find(L'\n', start);
        lines.push_back(reply.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return true;
}
