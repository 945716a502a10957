#include "CallRecord.h"

#include "SafeString.h"
#include "ThreadValue.h"

#include <cstring>
#include <mutex>
#include <cwchar>

namespace plugins {

namespace {
const DWORD kMagic = 0x4C4C4143;  // "CALL"
const DWORD kVersion = 1;
const wchar_t kRecordPattern[] = L"*.calls";

// This thread's slot plus one while it is inside a call into a plug-in.
zerova::ThreadValue<int> t_slotPlusOne;

void CopyBounded(wchar_t* target, int capacity, const wchar_t* text)
{
    zerova::CopyString(target, capacity, text != nullptr ? text : L"");
}

class MappedView {
public:
    explicit MappedView(void* view) : m_view(view) {}
    ~MappedView()
    {
        if (m_view != nullptr) ::UnmapViewOfFile(m_view);
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;

private:
    void* m_view;
};
}  // namespace

struct CallRecord::View {
    DWORD magic;
    DWORD version;
    DWORD processId;
    volatile LONG closed;
    wchar_t dump[MAX_PATH];
    wchar_t names[kNames][kNameLength];
    struct Slot {
        volatile LONG threadId;  // 0: free
        volatile LONG name;      // 1-based index into names; 0: no call
        volatile LONG call;
        LONG reserved;
        wchar_t entry[kEntryLength];
    } slots[kThreads];
};

// What the hang watch and the calls of one thread share; guarded by its lock.
struct CallRecord::LiveSlot {
    zerova::Mutex lock;
    bool active = false;
    void* owner = nullptr;
    LONG call = 0;
    ULONGLONG start = 0;
    LONG reported = 0;     // the call the watch reported
    bool reporting = false;
    LONG endPending = 0;   // a reported call that returned while the watch still reported it
    LONG faulting = 0;     // the call whose fault is being handled
};

CallRecord::CallRecord(const wchar_t* folder) : m_live(new LiveSlot[kThreads])
{
    if (folder == nullptr || folder[0] == L'\0') return;
    ReadEndedRecords(folder);
    wchar_t name[64];
    zerova::FormatString(name, 64, L"\\%lu-%llu.calls", ::GetCurrentProcessId(),
                         static_cast<unsigned long long>(::GetTickCount64()));
    m_path = std::wstring(folder) + name;
    m_file.Reset(::CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file) return;
    m_mapping.Reset(::CreateFileMappingW(m_file.Get(), nullptr, PAGE_READWRITE, 0, sizeof(View), nullptr));
    if (!m_mapping) return;
    m_view = static_cast<View*>(::MapViewOfFile(m_mapping.Get(), FILE_MAP_WRITE, 0, 0, sizeof(View)));
    if (m_view == nullptr) return;
    m_view->magic = kMagic;
    m_view->version = kVersion;
    m_view->processId = ::GetCurrentProcessId();
}

CallRecord::~CallRecord()
{
    WatchHangs(nullptr, nullptr);
    if (m_view != nullptr) {
        m_view->closed = 1;
        ::UnmapViewOfFile(m_view);
        m_view = nullptr;
    }
    m_mapping.Reset();
    m_file.Reset();
    if (!m_path.empty()) ::DeleteFileW(m_path.c_str());
}

// A record whose process still runs is open without delete sharing: only ended ones open here.
void CallRecord::ReadEndedRecords(const wchar_t* folder)
{
    WIN32_FIND_DATAW found{};
    const std::wstring pattern = std::wstring(folder) + L"\\" + kRecordPattern;
    const zerova::UniqueFind search(::FindFirstFileW(pattern.c_str(), &found));
    if (!search) return;
    do {
        const std::wstring path = std::wstring(folder) + L"\\" + found.cFileName;
        // Shared for reading only: a second process starting now cannot take the same record.
        zerova::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (!file) continue;
        zerova::UniqueKernelHandle mapping(::CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        const auto* view = mapping ? static_cast<const View*>(::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0))
                                   : nullptr;
        MappedView unmap(const_cast<View*>(view));
        LARGE_INTEGER size{};
        if (view == nullptr || !::GetFileSizeEx(file.Get(), &size) || size.QuadPart < static_cast<LONGLONG>(sizeof(View)) ||
            view->magic != kMagic || view->version != kVersion || view->closed != 0)
            continue;
        for (const View::Slot& slot : view->slots) {
            if (slot.threadId == 0 || slot.name <= 0 || slot.name > kNames) continue;
            EndedInCall ended;
            ended.plugin.assign(view->names[slot.name - 1], wcsnlen(view->names[slot.name - 1], kNameLength));
            ended.entry.assign(slot.entry, wcsnlen(slot.entry, kEntryLength));
            ended.dump.assign(view->dump, wcsnlen(view->dump, MAX_PATH));
            if (!ended.plugin.empty()) m_endedInCall.push_back(ended);
        }
    } while (::FindNextFileW(search.Get(), &found));
}

std::vector<EndedInCall> CallRecord::TakeEndedInCall()
{
    std::vector<EndedInCall> taken;
    taken.swap(m_endedInCall);
    return taken;
}

int CallRecord::NameIndex(const wchar_t* subkey)
{
    if (m_view == nullptr || subkey == nullptr || subkey[0] == L'\0') return 0;
    std::lock_guard<zerova::Mutex> guard(m_namesLock);
    int index = 0;
    for (int i = 0; i < kNames && index == 0; ++i) {
        wchar_t* name = m_view->names[i];
        if (name[0] == L'\0') {
            CopyBounded(name, kNameLength, subkey);
            index = i + 1;
        } else if (_wcsnicmp(name, subkey, kNameLength) == 0) {
            index = i + 1;
        }
    }
    return index;
}

int CallRecord::ClaimSlot()
{
    const LONG thread = static_cast<LONG>(::GetCurrentThreadId());
    const int first = static_cast<int>(static_cast<unsigned>(thread) % kThreads);
    for (int step = 0; step < kThreads; ++step) {
        const int index = (first + step) % kThreads;
        if (::InterlockedCompareExchange(&m_view->slots[index].threadId, thread, 0) == 0) return index;
    }
    return -1;
}

void CallRecord::Begin(Mark& mark, int nameIndex, const wchar_t* entry, void* owner)
{
    if (m_view == nullptr) return;
    const int held = t_slotPlusOne.Get();
    mark.outermost = held == 0;
    mark.slot = mark.outermost ? ClaimSlot() : held - 1;
    if (mark.slot < 0) return;
    if (mark.outermost) t_slotPlusOne.Set(mark.slot + 1);
    View::Slot& file = m_view->slots[mark.slot];
    LiveSlot& live = m_live[mark.slot];
    mark.call = file.call + 1;
    mark.outerName = file.name;
    mark.outerCall = file.call;
    std::memcpy(mark.outerEntry, file.entry, sizeof(file.entry));

    {
        std::lock_guard<zerova::Mutex> guard(live.lock);
        mark.outerOwner = live.owner;
        mark.outerStart = static_cast<LONGLONG>(live.start);
        mark.outerReported = live.reported;
        live.active = true;
        live.owner = owner;
        live.call = mark.call;
        live.start = ::GetTickCount64();
    }

    CopyBounded(file.entry, kEntryLength, entry);
    file.call = mark.call;
    file.name = nameIndex;
    mark.owner = owner;
}

void CallRecord::End(Mark& mark)
{
    if (m_view == nullptr || mark.slot < 0) return;
    View::Slot& file = m_view->slots[mark.slot];
    LiveSlot& live = m_live[mark.slot];
    bool returnedAfterReport = false;
    {
        std::lock_guard<zerova::Mutex> guard(live.lock);
        if (live.reported == mark.call) {
            if (live.reporting) live.endPending = mark.call;
            else returnedAfterReport = true;
        }
        live.reported = mark.outerReported;
        live.faulting = 0;
        live.active = !mark.outermost;
        live.owner = mark.outerOwner;
        live.call = mark.outerCall;
        live.start = static_cast<ULONGLONG>(mark.outerStart);
    }

    file.name = mark.outerName;
    std::memcpy(file.entry, mark.outerEntry, sizeof(file.entry));
    file.call = mark.outermost ? mark.call : mark.outerCall;
    if (mark.outermost) {
        t_slotPlusOne.Set(0);
        ::InterlockedExchange(&file.threadId, 0);
    }
    if (returnedAfterReport) {
        if (IHangListener* listener = m_listener.load()) listener->HungCallReturned(mark.owner);
    }
}

void CallRecord::Faulting(const Mark& mark)
{
    if (m_view == nullptr || mark.slot < 0) return;
    LiveSlot& live = m_live[mark.slot];
    std::lock_guard<zerova::Mutex> guard(live.lock);
    live.faulting = mark.call;
}

void CallRecord::NoteProcessDump(const wchar_t* dumpPath)
{
    if (m_view != nullptr) CopyBounded(m_view->dump, MAX_PATH, dumpPath);
}

void CallRecord::WatchHangs(std::function<DWORD()> limitMs, IHangListener* listener)
{
    if (m_watch.joinable()) {
        ::SetEvent(m_stopWatch.Get());
        m_watch.join();
    }
    m_limitMs = std::move(limitMs);
    m_listener = listener;
    if (!m_limitMs || listener == nullptr || m_view == nullptr) return;
    m_stopWatch.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stopWatch) return;
    m_watch = std::thread([this] { Watch(); });
}

// A hang is seen within a tenth of a second after the limit passed.
void CallRecord::Watch()
{
    const DWORD kPeriodMs = 100;
    while (::WaitForSingleObject(m_stopWatch.Get(), kPeriodMs) == WAIT_TIMEOUT) {
        const DWORD limit = m_limitMs();
        if (limit == 0) continue;
        for (int index = 0; index < kThreads; ++index) CheckSlot(index, limit);
    }
}

void CallRecord::CheckSlot(int index, DWORD limitMs)
{
    IHangListener* listener = m_listener.load();
    if (m_processEnding.load()) return;
    LiveSlot& live = m_live[index];
    wchar_t entry[kEntryLength];
    LONG call = 0;
    void* owner = nullptr;
    ULONGLONG running = 0;
    {
        std::lock_guard<zerova::Mutex> guard(live.lock);
        running = ::GetTickCount64() - live.start;
        if (!live.active || live.owner == nullptr || live.reported == live.call || live.faulting == live.call ||
            running < limitMs)
            return;
        call = live.call;
        owner = live.owner;
        live.reported = call;
        live.reporting = true;
        CopyBounded(entry, kEntryLength, m_view->slots[index].entry);
        listener->Pin(owner);
    }

    listener->CallHung(owner, entry, static_cast<DWORD>(running));

    bool returned = false;
    {
        std::lock_guard<zerova::Mutex> guard(live.lock);
        live.reporting = false;
        returned = live.endPending == call;
        if (returned) live.endPending = 0;
    }
    if (returned) listener->HungCallReturned(owner);
    listener->Unpin(owner);
}

std::wstring SecondsText(ULONGLONG milliseconds)
{
    wchar_t text[32];
    zerova::FormatString(text, 32, L"%llu.%llu", milliseconds / 1000, (milliseconds % 1000) / 100);
    return text;
}

}  // namespace plugins
