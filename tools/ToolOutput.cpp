#include "ToolOutput.h"

#include "HostOutput.h"

namespace tooloutput {

// Lines in UTF-8 for files and pipes, as they are for a console, whatever the code page.
void Print(const std::wstring& line) { hostoutput::WriteLine(hostoutput::Stream::Output, line.c_str()); }

int Fail(const std::wstring& message, int code)
{
    hostoutput::WriteLine(hostoutput::Stream::Error,
                          (L"varnelctl: " + message + L" (exit code " + std::to_wstring(code) + L")").c_str());
    return code;
}

}  // namespace tooloutput
