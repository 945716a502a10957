#include "TestEnvironment.h"
#include "DebugTrace.h"

#include <algorithm>

namespace testenv {

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path);
    size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? full : full.substr(0, slash);
}

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty()) return name;
    if (folder.back() == L'\\') return folder + name;
    return folder + L"\\" + name;
}

TempFolder::TempFolder(const wchar_t* tag)
{
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    wchar_t name[128];
    swprintf(name, 128, L"varnel_%s_%lu_%ld", tag, GetCurrentProcessId(), InterlockedIncrement(&counter));
    m_path = Join(temp, name);
    RemoveTree(m_path);
    CreateDirectoryW(m_path.c_str(), nullptr);
}

TempFolder::~TempFolder() { RemoveTree(m_path); }

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Join(path, L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = Join(path, name);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

bool CopyTree(const std::wstring& from, const std::wstring& to)
{
    if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Join(from, L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring source = Join(from, name);
        const std::wstring target = Join(to, name);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ok = CopyTree(source, target) && ok;
        else ok = CopyFileW(source.c_str(), target.c_str(), FALSE) && ok;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return ok;
}

bool WriteBytes(const std::wstring& path, const void* data, size_t bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes == 0 || WriteFile(file, data, static_cast<DWORD>(bytes), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes;
}

bool WriteText(const std::wstring& path, const std::wstring& utf16)
{
    return WriteBytes(path, utf16.data(), utf16.size() * sizeof(wchar_t));
}

bool WriteAnsi(const std::wstring& path, const std::string& text) { return WriteBytes(path, text.data(), text.size()); }

std::vector<BYTE> ReadBytes(const std::wstring& path)
{
    std::vector<BYTE> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty()) ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    bytes.resize(got);
    CloseHandle(file);
    return bytes;
}

std::wstring ReadText(const std::wstring& path)
{
    std::vector<BYTE> bytes = ReadBytes(path);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

RegistryKeyGuard::RegistryKeyGuard(HKEY root, const std::wstring& key) : m_root(root), m_key(key)
{
    RegDeleteTreeW(m_root, m_key.c_str());
}

RegistryKeyGuard::~RegistryKeyGuard() { RegDeleteTreeW(m_root, m_key.c_str()); }

namespace {
bool SetRaw(HKEY root, const std::wstring& key, const std::wstring& value, DWORD type, const void* data, DWORD bytes)
{
    HKEY opened = nullptr;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(opened, value.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(opened);
    return rc == ERROR_SUCCESS;
}
}  // namespace

bool SetRegString(HKEY root, const std::wstring& key, const std::wstring& value, const std::wstring& data, DWORD type)
{
    return SetRaw(root, key, value, type, data.c_str(), static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

bool SetRegDword(HKEY root, const std::wstring& key, const std::wstring& value, DWORD data)
{
    return SetRaw(root, key, value, REG_DWORD, &data, sizeof(data));
}

bool SetRegBinary(HKEY root, const std::wstring& key, const std::wstring& value, const void* data, DWORD bytes,
                  DWORD type)
{
    return SetRaw(root, key, value, type, data, bytes);
}

TraceCapture::TraceCapture() { CDebugTrace::SetTraceHook(&TraceCapture::Hook, this); }
TraceCapture::~TraceCapture() { CDebugTrace::SetTraceHook(nullptr, nullptr); }

void TraceCapture::Hook(int level, const wchar_t* text, const wchar_t* source, int line, void* context)
{
    auto* self = static_cast<TraceCapture*>(context);
    std::lock_guard<std::mutex> guard(self->m_lock);
    self->m_lines.push_back({level, text, source, line});
}

std::vector<TraceLine> TraceCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

bool TraceCapture::Contains(const std::wstring& text) const { return Count(text) > 0; }

bool TraceCapture::ContainsPart(const std::wstring& part) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return std::any_of(m_lines.begin(), m_lines.end(),
                       [&](const TraceLine& l) { return l.text.find(part) != std::wstring::npos; });
}

size_t TraceCapture::Count(const std::wstring& text) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<size_t>(
        std::count_if(m_lines.begin(), m_lines.end(), [&](const TraceLine& l) { return l.text == text; }));
}

void TraceCapture::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
}

std::string Narrow(const std::wstring& text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

void DispatchWaitingMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Pump(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    do {
        DispatchWaitingMessages();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (GetTickCount64() < end);
}

bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (!done()) {
        if (GetTickCount64() > end) return false;
        Pump(10);
    }
    return true;
}

HWND MakePopupWindow(const wchar_t* className, const wchar_t* title, WNDPROC procedure)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass);
    return CreateWindowExW(0, className, title, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
}

}  // namespace testenv
