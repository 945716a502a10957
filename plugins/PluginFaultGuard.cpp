#include "PluginFaultGuard.h"
#include "ThreadValue.h"
#include "CrashDumps.h"

#include <algorithm>

// The assembly frame (PluginCallFrame.S) and its resume point.
extern "C" int VarnelCallGuarded(void (*run)(void*), void* argument);
extern "C" char VarnelGuardRecovery[];
#if !defined(_WIN64)
extern "C" void VarnelGuardResume(void* registration);
#endif
extern "C" EXCEPTION_DISPOSITION VarnelGuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                                    void* dispatcher);

namespace {
// The fault of the innermost guarded call on this thread; written by the handler.
zerova::ThreadValue<DWORD> t_faultCode;
zerova::ThreadValue<const void*> t_faultAddress;
zerova::ThreadValue<bool> t_faulted;
// Where the innermost guarded call's fault is dumped, if anywhere.
zerova::ThreadValue<const plugins::FaultDump*> t_dump;

void DumpFault(EXCEPTION_RECORD* record, CONTEXT* context)
{
    const plugins::FaultDump* dump = t_dump.Get();
    if (dump == nullptr || dump->dumps == nullptr || dump->written == nullptr) return;
    if (dump->beforeWrite != nullptr) dump->beforeWrite(dump->context);
    EXCEPTION_POINTERS pointers{record, context};
    *dump->written = dump->dumps->Write(record != nullptr ? &pointers : nullptr, ::GetCurrentThreadId(), dump->tag);
}

plugins::PluginFault RecordedFault() { return plugins::PluginFault{t_faultCode.Get(), t_faultAddress.Get()}; }

void RecordFault(const plugins::PluginFault& fault, bool faulted)
{
    t_faultCode.Set(fault.code);
    t_faultAddress.Set(fault.address);
    t_faulted.Set(faulted);
}

const DWORD kGccCxxExceptionCode = 0x20474343;

// The exceptions that end a plug-in call. Continuable software exceptions (debug output, thread
// names) are the system's and pass on; a stack overflow cannot be resumed from safely and passes on.
bool EndsTheCall(const EXCEPTION_RECORD& record)
{
    switch (record.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_BREAKPOINT:
    case plugins::kCxxExceptionCode:
    case kGccCxxExceptionCode:
        return true;
    case EXCEPTION_STACK_OVERFLOW:
        return false;
    default:
        return (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0;
    }
}

HMODULE ModuleOf(const void* address)
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<const wchar_t*>(address), &module))
        return nullptr;
    return module;
}

// A fault in this library or in the support library is a bug of ours, even when plug-in code is
// further up the stack: it is not hidden.
bool IsInTheHostsOwnCode(const void* address)
{
    const HMODULE module = ModuleOf(address);
    if (module == nullptr) return false;
    return module == ModuleOf(reinterpret_cast<const void*>(&EndsTheCall)) ||
           module == ::GetModuleHandleW(L"ZerovaWin32GUISupportDLL.dll");
}
}  // namespace

extern "C" EXCEPTION_DISPOSITION VarnelGuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                                    void* dispatcher)
{
    if (record == nullptr || (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0)
        return ExceptionContinueSearch;
    if (record->ExceptionCode == EXCEPTION_STACK_OVERFLOW) plugins::EndProcessForFault(record, context);
    if (!EndsTheCall(*record) || IsInTheHostsOwnCode(record->ExceptionAddress)) return ExceptionContinueSearch;
    DumpFault(record, context);
    RecordFault(plugins::PluginFault{record->ExceptionCode, record->ExceptionAddress}, true);
#if defined(_WIN64)
    // Unwinds the plug-in's frames (their own clean-ups run) and resumes in the guard's frame.
    auto* dispatch = static_cast<DISPATCHER_CONTEXT*>(dispatcher);
    ::RtlUnwindEx(frame, VarnelGuardRecovery, record, nullptr, context, dispatch->HistoryTable);
    return ExceptionContinueSearch;  // not reached
#else
    (void)context;
    (void)dispatcher;
    // Not by continuing the exception, which a non-continuable one forbids: the dispatch is left
    // for the guard frame directly. The frame restores its registers and takes every handler record
    // the plug-in (and the dispatch) left on the chain off it.
    VarnelGuardResume(frame);
    return ExceptionContinueSearch;  // not reached
#endif
}

namespace plugins {

void ReportCxxException()
{
    DumpFault(nullptr, nullptr);
    RecordFault(PluginFault{kCxxExceptionCode, nullptr}, true);
}

bool CallGuarded(void (*run)(void*), void* argument, PluginFault* fault, const FaultDump* dump)
{
    // Guarded calls nest (a plug-in calls the library, which calls another plug-in): each keeps
    // the state of the one it runs inside.
    const PluginFault outerFault = RecordedFault();
    const bool outerFaulted = t_faulted.Get();
    const FaultDump* outerDump = t_dump.Get();
    t_faulted.Set(false);
    t_dump.Set(dump);
    const bool returned = VarnelCallGuarded(run, argument) != 0 && !t_faulted.Get();
    if (!returned && fault != nullptr) *fault = RecordedFault();
    RecordFault(outerFault, outerFaulted);
    t_dump.Set(outerDump);
    return returned;
}

}  // namespace plugins

// ---------------------------------------------------------------- guarded text buffers

namespace {
const wchar_t kGuardMark = 0xFDFD;
const size_t kMinimumMarks = 1024;

size_t PageBytes()
{
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}
}  // namespace

plugins::GuardedTextBuffer::GuardedTextBuffer(size_t characters) : m_characters(characters)
{
    const size_t page = PageBytes();
    const size_t wanted = (characters + kMinimumMarks) * sizeof(wchar_t);
    const size_t usable = (wanted + page - 1) / page * page;
    m_block = ::VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (m_block == nullptr) return;
    auto* bytes = static_cast<BYTE*>(m_block);
    DWORD previous = 0;
    if (!::VirtualProtect(bytes + usable, page, PAGE_NOACCESS, &previous)) {
        ::VirtualFree(m_block, 0, MEM_RELEASE);
        m_block = nullptr;
        return;
    }
    // The text ends where the marks begin, and the marks end at the inaccessible page.
    m_marks = usable / sizeof(wchar_t) - characters;
    m_text = reinterpret_cast<wchar_t*>(bytes + usable) - m_marks - characters;
    std::fill(m_text, m_text + characters + m_marks, kGuardMark);
}

plugins::GuardedTextBuffer::~GuardedTextBuffer()
{
    if (m_block != nullptr) ::VirtualFree(m_block, 0, MEM_RELEASE);
}

bool plugins::GuardedTextBuffer::MarksIntact() const
{
    if (m_text == nullptr) return false;
    const wchar_t* marks = m_text + m_characters;
    return std::all_of(marks, marks + m_marks, [](wchar_t c) { return c == kGuardMark; });
}
