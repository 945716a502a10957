// Writes the crash dump of another process: the tray's library starts it when a fault happens and
// waits for it. Writing a dump suspends the dumped process's threads, and one of them may hold a
// lock the writing needs (the heap's, the loader's); from a process of its own nothing waits on them.
//   VarnelDumpWriter PROCESS-ID THREAD-ID EXCEPTION-POINTERS FILE
// EXCEPTION-POINTERS is the address (hexadecimal) of the faulting thread's EXCEPTION_POINTERS in
// that process, 0 for none. Exit code 0 when the dump was written.
#include <windows.h>

#include <dbghelp.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) return 2;
    const DWORD processId = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    const DWORD threadId = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    const auto pointers = static_cast<UINT_PTR>(std::wcstoull(argv[3], nullptr, 16));
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, processId);
    if (process == nullptr) return 3;
    HANDLE file = CreateFileW(argv[4], GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        CloseHandle(process);
        return 4;
    }
    // The dump needs no symbols: reading every module's debug information first can take minutes.
    SymSetOptions(SymGetOptions() | SYMOPT_DEFERRED_LOADS | SYMOPT_NO_PROMPTS);
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = threadId;
    exception.ExceptionPointers = reinterpret_cast<EXCEPTION_POINTERS*>(pointers);
    exception.ClientPointers = TRUE;
    const BOOL written = MiniDumpWriteDump(process, processId, file, MiniDumpNormal, pointers != 0 ? &exception : nullptr,
                                           nullptr, nullptr);
    CloseHandle(file);
    CloseHandle(process);
    if (!written) DeleteFileW(argv[4]);
    return written ? 0 : 1;
}
