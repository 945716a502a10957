// varnelctl's lines: results on the standard output, failures on the standard error in one line
// that names the exit code.
#pragma once

#include <string>

namespace tooloutput {

void Print(const std::wstring& line);
// "varnelctl: <message> (exit code <code>)"; gives the code back.
int Fail(const std::wstring& message, int code = 1);

}  // namespace tooloutput
