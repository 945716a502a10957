// What the library tells through its trace lines while plug-ins load and unload: the errors it
// records against a plug-in (number and text), what PluginInit returned, why a file was not taken
// as a library and whether PluginCleanup ran. Caught through the trace hook while an object of this
// class lives; one at a time in a process.
#pragma once

#include <mutex>
#include <string>
#include <vector>

class CLoadTrace {
public:
    struct RecordedError {
        int code;
        std::wstring text;
    };
    enum class Threads { ThisOne, All };

    // Lines of the calling thread only, or of every thread of the process.
    explicit CLoadTrace(Threads threads);
    ~CLoadTrace();
    CLoadTrace(const CLoadTrace&) = delete;
    CLoadTrace& operator=(const CLoadTrace&) = delete;

    std::vector<RecordedError> Errors() const;
    // PluginInit's result as the loader traced it; false when PluginInit was not called.
    bool InitResult(int& result) const;
    // Why the loader did not take the file as a library of this architecture; empty when it did.
    std::wstring FileProblem() const;
    bool CleanupCalled() const;
    // The library stayed loaded after the unload because a call into it was still running.
    bool LibraryKeptForRunningCall() const;

private:
    static void Hook(int level, const wchar_t* text, const wchar_t* sourceFile, int line, void* context);
    void Take(const wchar_t* text);

    const unsigned long m_thread;  // 0: every thread
    mutable std::mutex m_lock;
    std::vector<RecordedError> m_errors;
    bool m_initCalled = false;
    int m_initResult = 0;
    std::wstring m_fileProblem;
    bool m_cleanupCalled = false;
    bool m_keptForCall = false;
};
