// Lines for whoever started the tray host. Varnel.exe is a program without a console of its own:
// a line goes to the standard output or error it was given (a redirection, a pipe or a file of
// the starting process), else to the console of the process that started it, if there is one.
#pragma once

#include <string>

namespace hostoutput {

enum class Stream { Output, Error };

// Writes text and a line end; nothing happens where no one could read it.
void WriteLine(Stream stream, const wchar_t* text);

// Appends the line to the log file in UTF-8, its control characters escaped so that no text can
// start a line of its own; nothing happens without a file.
void AppendToLog(const std::wstring& logFile, const wchar_t* line);

}  // namespace hostoutput
