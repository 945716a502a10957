#include "RequestSender.h"

#include "Handles.h"

#include <vector>

namespace {

// A token's information of one class, or an empty block when it cannot be read.
std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD needed = 0;
    ::GetTokenInformation(token, what, nullptr, 0, &needed);
    std::vector<BYTE> block(needed, 0);
    if (needed == 0 || !::GetTokenInformation(token, what, block.data(), needed, &needed)) block.clear();
    return block;
}

struct ProcessIdentity {
    std::vector<BYTE> user;       // TOKEN_USER
    std::vector<BYTE> integrity;  // TOKEN_MANDATORY_LABEL; empty where the system has no levels
};

bool ReadIdentity(DWORD processId, ProcessIdentity& identity)
{
    zerova::UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return false;
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(process.Get(), TOKEN_QUERY, &rawToken)) return false;
    zerova::UniqueKernelHandle token(rawToken);
    identity.user = TokenInformation(token.Get(), TokenUser);
    identity.integrity = TokenInformation(token.Get(), TokenIntegrityLevel);
    return !identity.user.empty();
}

bool SameUser(const ProcessIdentity& first, const ProcessIdentity& second)
{
    return ::EqualSid(reinterpret_cast<const TOKEN_USER*>(first.user.data())->User.Sid,
                      reinterpret_cast<const TOKEN_USER*>(second.user.data())->User.Sid) != FALSE;
}

DWORD IntegrityLevel(const std::vector<BYTE>& label)
{
    PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
    const UCHAR parts = *::GetSidSubAuthorityCount(sid);
    return parts == 0 ? 0 : *::GetSidSubAuthority(sid, parts - 1u);
}

// Where the host's own level cannot be read the system has none to compare; where only the
// sender's cannot, it counts as the lowest.
bool IsLowerIntegrity(const ProcessIdentity& sender, const ProcessIdentity& host)
{
    if (host.integrity.empty()) return false;
    if (sender.integrity.empty()) return true;
    return IntegrityLevel(sender.integrity) < IntegrityLevel(host.integrity);
}

bool IsShortForm(DWORD handle) { return HIWORD(handle) == 0 || HIWORD(handle) == 0xFFFF; }

}  // namespace

// Windows reads only the low 32 bits of a window handle (64-bit Windows keeps them 32 bits wide so
// that 32- and 64-bit programs can share them), and takes a handle whose high word is 0 or 0xFFFF
// for whichever window holds the slot its low word numbers. So the forms name the same window when
// their low 32 bits are equal, or when their low words are equal, one of them is such a short form
// and both name a window now: a slot holds one window at a time. A short form whose slot another
// window has taken since the named one went names that other window, never the one that went.
bool NamesTheSameWindow(HWND first, HWND second)
{
    const auto one = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(first));
    const auto other = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(second));
    if (one == other) return true;
    if (LOWORD(one) != LOWORD(other) || (!IsShortForm(one) && !IsShortForm(other))) return false;
    return ::IsWindow(first) && ::IsWindow(second);
}

SenderVerdict JudgeSender(HWND sender, HWND ignoredWindow)
{
    if (sender == nullptr) return SenderVerdict::NoWindow;
    DWORD senderProcess = 0;
    if (!::IsWindow(sender) || ::GetWindowThreadProcessId(sender, &senderProcess) == 0) return SenderVerdict::Gone;
    if (senderProcess == ::GetCurrentProcessId()) return SenderVerdict::OwnWindow;
    if (ignoredWindow != nullptr && NamesTheSameWindow(sender, ignoredWindow)) return SenderVerdict::IgnoredWindow;
    ProcessIdentity senderIdentity, hostIdentity;
    if (!ReadIdentity(senderProcess, senderIdentity) || !ReadIdentity(::GetCurrentProcessId(), hostIdentity) ||
        !SameUser(senderIdentity, hostIdentity))
        return SenderVerdict::OtherUser;
    if (IsLowerIntegrity(senderIdentity, hostIdentity)) return SenderVerdict::LowerIntegrity;
    return SenderVerdict::Accepted;
}

const wchar_t* RefusalText(SenderVerdict verdict)
{
    switch (verdict) {
    case SenderVerdict::Gone:
        return L"the sender window no longer exists";
    case SenderVerdict::OwnWindow:
        return L"the sender window is one of the host's own";
    case SenderVerdict::IgnoredWindow:
        return L"the sender window is the one the host was told to ignore";
    case SenderVerdict::OtherUser:
        return L"request from another user";
    case SenderVerdict::LowerIntegrity:
        return L"request from a lower integrity level";
    default:
        return nullptr;
    }
}
