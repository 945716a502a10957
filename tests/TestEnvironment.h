// Helpers shared by the test programs: temporary folders, registry keys that are removed again,
// captured trace lines and the folder of the test program.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testenv {

// Folder of the running test program (where the built DLLs lie).
std::wstring ProgramFolder();
std::wstring Join(const std::wstring& folder, const std::wstring& name);

// A fresh folder below the Windows temp folder, removed with its contents on destruction.
class TempFolder {
public:
    explicit TempFolder(const wchar_t* tag);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return Join(m_path, name); }

private:
    std::wstring m_path;
};

void RemoveTree(const std::wstring& path);
// Copies a folder with everything below it; false when anything could not be copied.
bool CopyTree(const std::wstring& from, const std::wstring& to);
bool WriteBytes(const std::wstring& path, const void* data, size_t bytes);
bool WriteText(const std::wstring& path, const std::wstring& utf16);  // UTF-16LE, no BOM
bool WriteAnsi(const std::wstring& path, const std::string& text);
std::vector<BYTE> ReadBytes(const std::wstring& path);
std::wstring ReadText(const std::wstring& path);  // UTF-16LE

// Deletes a registry key tree now and again on destruction.
class RegistryKeyGuard {
public:
    RegistryKeyGuard(HKEY root, const std::wstring& key);
    ~RegistryKeyGuard();
    RegistryKeyGuard(const RegistryKeyGuard&) = delete;
    RegistryKeyGuard& operator=(const RegistryKeyGuard&) = delete;

private:
    HKEY m_root;
    std::wstring m_key;
};

bool SetRegString(HKEY root, const std::wstring& key, const std::wstring& value, const std::wstring& data,
                  DWORD type = REG_SZ);
bool SetRegDword(HKEY root, const std::wstring& key, const std::wstring& value, DWORD data);
bool SetRegBinary(HKEY root, const std::wstring& key, const std::wstring& value, const void* data, DWORD bytes,
                  DWORD type = REG_BINARY);

struct TraceLine {
    int level;
    std::wstring text;
    std::wstring source;
    int line;
};

// Collects every trace line of the support library while it lives.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<TraceLine> Lines() const;
    bool Contains(const std::wstring& text) const;         // a line equal to text
    bool ContainsPart(const std::wstring& part) const;     // a line containing part
    size_t Count(const std::wstring& text) const;
    void Clear();

private:
    static void Hook(int level, const wchar_t* text, const wchar_t* source, int line, void* context);
    mutable std::mutex m_lock;
    std::vector<TraceLine> m_lines;
};

std::string Narrow(const std::wstring& text);
// How often part occurs in text (overlapping occurrences count each).
size_t Occurrences(const std::string& text, const std::string& part);

// Dispatches every message waiting for the calling thread, without waiting for more.
void DispatchWaitingMessages();
// Dispatches this thread's messages for the given time.
void Pump(DWORD milliseconds);
// Dispatches messages until done answers true (true) or the time is up (false).
bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds = 10000);

// A hidden popup window of its own class (registered on first use) with that window procedure.
HWND MakePopupWindow(const wchar_t* className, const wchar_t* title, WNDPROC procedure);

}  // namespace testenv
