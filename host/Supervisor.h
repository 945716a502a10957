// Varnel.exe --supervise: starts the tray host as a process of its own and starts it again when it
// ends without being asked to or stops answering, with a growing pause; after too many restarts in
// a short time it stops and says why.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

class CSupervisor {
public:
    struct Settings {
        std::wstring program;                   // the tray host's executable
        std::wstring trayArguments;             // its command line after the program name
        std::wstring logFile;                   // where the supervisor's lines go too (may be empty)
        std::vector<DWORD> restartPausesMs{1000, 5000, 30000};
        DWORD unansweredMs = 30000;             // a tray silent this long is ended and started again
        DWORD restartsAllowed = 5;              // within restartWindowMs; one more ends the supervision
        DWORD restartWindowMs = 10 * 60 * 1000;
    };

    // What the supervision ends with.
    enum Result : int {
        EndedAsAsked = 0,       // the tray ended with exit code 0: closed by its menu or a request
        GaveUp = 8,             // the tray ended or stopped answering too often
        CouldNotStart = 9,      // the tray host could not be started at all
    };

    explicit CSupervisor(Settings settings);
    CSupervisor(const CSupervisor&) = delete;
    CSupervisor& operator=(const CSupervisor&) = delete;

    // Supervises until the tray ends as asked or the supervisor gives up; the exit code of the
    // supervisor: 0, the tray's own code when it refused to run, or GaveUp / CouldNotStart.
    int Run();

    // "a,b,c" milliseconds; false when it is not such a list.
    static bool ParsePauses(const std::wstring& text, std::vector<DWORD>& pauses);
    // The argument quoted so that CommandLineToArgvW gives it back unchanged.
    static std::wstring Quote(const std::wstring& argument);

private:
    enum class Outcome { Ended, Unanswered };
    bool StartTray(PROCESS_INFORMATION& started);
    Outcome WatchTray(HANDLE process, DWORD processId);
    bool Answers(DWORD processId, DWORD timeoutMs) const;
    // The pause before the next start, or false when the restarts of the window are used up.
    bool NextPause(DWORD& pauseMs);
    void Say(const std::wstring& line) const;

    Settings m_settings;
    std::deque<ULONGLONG> m_restarts;
};
