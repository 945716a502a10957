// The signing policy ("RequireSignedPlugins") with real Authenticode signatures made at build time
// by a certificate authority of the tests' own: signed, changed, unsigned and damaged plug-ins,
// files swapped between the check and the load, the libraries a plug-in takes from its own folder,
// and the values of the switch.
#include "PluginHostTests.h"

#include "DebugTrace.h"
#include "ErrorMsg.h"
#include "OXSL_DllMain.h"

#include <wincrypt.h>

#include <functional>

using hosttest::PluginHostTest;
using testenv::TraceCapture;

namespace {

const wchar_t kVarnelKey[] = L"SOFTWARE\\Zerova\\Varnel";
const wchar_t kSwitch[] = L"RequireSignedPlugins";
const wchar_t kNotUnderstood[] = L"which is not understood: only signed plug-ins are loaded";

std::wstring SigningFile(const std::wstring& name)
{
    return testenv::Join(testenv::ProgramFolder(), L"signing\\" + name);
}

// The tests' certificate authority in the machine's root store while it lives.
class TrustedTestAuthority {
public:
    TrustedTestAuthority()
        : m_store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"))
    {
        const std::vector<BYTE> der = testenv::ReadBytes(SigningFile(L"ca.cer"));
        if (m_store != nullptr && !der.empty())
            CertAddEncodedCertificateToStore(m_store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, &m_certificate);
    }
    ~TrustedTestAuthority()
    {
        if (m_certificate != nullptr) CertDeleteCertificateFromStore(m_certificate);  // frees it too
        if (m_store != nullptr) CertCloseStore(m_store, 0);
    }
    TrustedTestAuthority(const TrustedTestAuthority&) = delete;
    TrustedTestAuthority& operator=(const TrustedTestAuthority&) = delete;
    bool Trusted() const { return m_certificate != nullptr; }

private:
    HCERTSTORE m_store;
    PCCERT_CONTEXT m_certificate = nullptr;
};

// Runs an action on the loading thread when the loader announces the load of the file it checked,
// that is between the check and the load, and records every trace line meanwhile.
class BetweenCheckAndLoad {
public:
    explicit BetweenCheckAndLoad(std::function<void()> action) : m_action(std::move(action))
    {
        CDebugTrace::SetTraceHook(&BetweenCheckAndLoad::Hook, this);
    }
    ~BetweenCheckAndLoad() { CDebugTrace::SetTraceHook(nullptr, nullptr); }
    BetweenCheckAndLoad(const BetweenCheckAndLoad&) = delete;
    BetweenCheckAndLoad& operator=(const BetweenCheckAndLoad&) = delete;
    bool Ran() const { return m_ran; }

private:
    static void Hook(int, const wchar_t* text, const wchar_t*, int, void* context)
    {
        auto* self = static_cast<BetweenCheckAndLoad*>(context);
        if (!self->m_ran && wcsncmp(text, L"CPlugin::Load - loading \"", 25) == 0) {
            self->m_ran = true;
            self->m_action();
        }
    }

    std::function<void()> m_action;
    bool m_ran = false;
};

// What a swap attempt left: whether it went through and the error it gave.
struct Attempt {
    bool done;
    DWORD error;
};

Attempt Try(BOOL result) { return {result != FALSE, result ? 0 : GetLastError()}; }

// A file held open for a load refuses writers and renamers with a sharing violation; a file
// moved over it is refused access.
void ExpectRefusedWhileHeld(const Attempt& attempt)
{
    EXPECT_FALSE(attempt.done);
    EXPECT_TRUE(attempt.error == ERROR_SHARING_VIOLATION || attempt.error == ERROR_ACCESS_DENIED) << attempt.error;
}

using HelperSays = int (*)();

}  // namespace

class SignedPlugins : public PluginHostTest {
protected:
    void SetUp() override
    {
        PluginHostTest::SetUp();
        m_authority = std::make_unique<TrustedTestAuthority>();
        ASSERT_TRUE(m_authority->Trusted()) << "the test authority could not be added to the root store";
        ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kVarnelKey, kSwitch, 1));
    }
    void TearDown() override
    {
        PluginHostTest::TearDown();
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kVarnelKey, kSwitch);
        m_authority.reset();
    }

    bool Load(const std::wstring& name, const std::wstring& path)
    {
        Register(name, path);
        m_handle = nullptr;
        return Registry()->LoadPlugin(name.c_str(), &m_handle);
    }

    HMODULE LoadedLibrary() const { return m_handle != nullptr ? PluginOf(m_handle)->GetHinstance() : nullptr; }

    int HelperAnswer() const
    {
        const auto says = reinterpret_cast<HelperSays>(
            reinterpret_cast<void*>(GetProcAddress(LoadedLibrary(), "FixtureHelperSays")));
        return says != nullptr ? says() : -1;
    }

    static std::wstring ModulePath(const wchar_t* name)
    {
        wchar_t path[MAX_PATH] = L"";
        HMODULE module = GetModuleHandleW(name);
        if (module != nullptr) GetModuleFileNameW(module, path, MAX_PATH);
        return path;
    }

    void ExpectRefusedWith434(const TraceCapture& traces, const std::wstring& name, const std::wstring& path)
    {
        EXPECT_TRUE(traces.Contains(RecordErrorTrace(434, Message(434, name.c_str())))) << testenv::Narrow(name);
        EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str())) << "never mapped";
        EXPECT_TRUE(CallsOf(testenv::Narrow(path.substr(path.rfind(L'\\') + 1))).empty()) << "never called";
    }

    void SetSwitch(const std::wstring& text, DWORD type = REG_SZ)
    {
        ASSERT_TRUE(testenv::SetRegString(HKEY_LOCAL_MACHINE, kVarnelKey, kSwitch, text, type));
    }
    void SetSwitch(const void* data, DWORD bytes, DWORD type)
    {
        ASSERT_TRUE(testenv::SetRegBinary(HKEY_LOCAL_MACHINE, kVarnelKey, kSwitch, data, bytes, type));
    }

    std::unique_ptr<TrustedTestAuthority> m_authority;
    void* m_handle = nullptr;
};

// ---------------------------------------------------------------- the plug-in's own signature

TEST_F(SignedPlugins, ACorrectlySignedPluginLoads)
{
    const std::wstring path = CopyFixture(L"signing\\SignedBasic", L"Signed.dll", L"signed");
    ASSERT_TRUE(Load(L"Signed", path));
    EXPECT_EQ(GetModuleHandleW(path.c_str()), LoadedLibrary());
    EXPECT_EQ((std::vector<std::string>{"GetVersionInfo", "Init"}), CallNamesOf("Signed.dll"));
}

TEST_F(SignedPlugins, APluginWithOneByteOfCodeChangedAfterSigningIsRefusedWith434)
{
    const std::wstring path = CopyFixture(L"signing\\TamperedBasic", L"Tampered.dll", L"tampered");
    TraceCapture traces;
    EXPECT_FALSE(Load(L"Tampered", path));
    ExpectRefusedWith434(traces, L"Tampered", path);
    EXPECT_TRUE(traces.ContainsPart(L"the signature of \"" + path + L"\" is not accepted"));
}

TEST_F(SignedPlugins, AnUnsignedPluginIsRefusedWith434)
{
    const std::wstring path = CopyFixture(L"FixtureBasic", L"Unsigned.dll", L"unsigned");
    TraceCapture traces;
    EXPECT_FALSE(Load(L"Unsigned", path));
    ExpectRefusedWith434(traces, L"Unsigned", path);
}

TEST_F(SignedPlugins, APluginWhoseSignerSignatureIsDamagedIsRefusedWith434)
{
    const std::wstring path = CopyFixture(L"signing\\DamagedSignatureBasic", L"Damaged.dll", L"damaged");
    TraceCapture traces;
    EXPECT_FALSE(Load(L"Damaged", path));
    ExpectRefusedWith434(traces, L"Damaged", path);
}

// ---------------------------------------------------------------- the checked bytes are the loaded bytes

TEST_F(SignedPlugins, APluginCannotBeOverwrittenReplacedOrRenamedBetweenItsCheckAndItsLoad)
{
    const std::wstring path = CopyFixture(L"signing\\SignedBasic", L"Swapped.dll", L"swapped");
    // The impostor exports PluginSuiteRegister, which the signed plug-in does not.
    const std::wstring impostor = CopyFixture(L"FixtureSuite", L"Impostor.dll", L"elsewhere");
    std::vector<Attempt> attempts;
    BetweenCheckAndLoad swap([&] {
        attempts.push_back(Try(CopyFileW(impostor.c_str(), path.c_str(), FALSE)));
        attempts.push_back(Try(MoveFileExW(impostor.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)));
        attempts.push_back(Try(MoveFileExW(path.c_str(), (path + L".old").c_str(), 0)));
        attempts.push_back(Try(DeleteFileW(path.c_str())));
    });
    ASSERT_TRUE(Load(L"Swapped", path));
    ASSERT_TRUE(swap.Ran());
    for (const Attempt& attempt : attempts) ExpectRefusedWhileHeld(attempt);
    EXPECT_EQ(nullptr, GetProcAddress(LoadedLibrary(), "PluginSuiteRegister")) << "the impostor was loaded";
    EXPECT_EQ(testenv::ReadBytes(Fixture(L"signing\\SignedBasic")), testenv::ReadBytes(path));
}

TEST_F(SignedPlugins, ThePluginsFolderAndTheFoldersAboveItCannotBeRenamedBetweenItsCheckAndItsLoad)
{
    const std::wstring path = CopyFixture(L"signing\\SignedBasic", L"Moved.dll", L"moved");
    const std::vector<BYTE> impostor = testenv::ReadBytes(Fixture(L"FixtureSuite"));
    const std::vector<std::wstring> folders = {m_temp->File(L"moved"), m_temp->Path()};
    std::vector<Attempt> attempts;
    BetweenCheckAndLoad swap([&] {
        // Each folder renamed away; where that works, the path is laid anew with an impostor.
        for (const std::wstring& folder : folders) {
            attempts.push_back(Try(MoveFileExW(folder.c_str(), (folder + L"-away").c_str(), 0)));
            if (!attempts.back().done) continue;
            CreateDirectoryW(m_temp->Path().c_str(), nullptr);
            CreateDirectoryW(folders[0].c_str(), nullptr);
            testenv::WriteBytes(path, impostor.data(), impostor.size());
        }
    });
    const bool loaded = Load(L"Moved", path);
    for (const std::wstring& folder : folders) testenv::RemoveTree(folder + L"-away");
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(swap.Ran());
    ASSERT_EQ(2u, attempts.size());
    for (const Attempt& attempt : attempts) ExpectRefusedWhileHeld(attempt);
    EXPECT_EQ(nullptr, GetProcAddress(LoadedLibrary(), "PluginSuiteRegister")) << "the impostor was loaded";
}

// ---------------------------------------------------------------- libraries from the plug-in's folder

TEST_F(SignedPlugins, ASignedLibraryInThePluginsFolderLoadsWithIt)
{
    const std::wstring path = CopyFixture(L"signing\\SignedWithHelper", L"WithHelper.dll", L"helped");
    const std::wstring helper = CopyFixture(L"signing\\SignedHelper", L"FixtureHelper.dll", L"helped");
    ASSERT_TRUE(Load(L"WithHelper", path));
    EXPECT_EQ(7, HelperAnswer());
    EXPECT_EQ(helper, ModulePath(L"FixtureHelper.dll"));
}

TEST_F(SignedPlugins, AnUnsignedLibraryInThePluginsFolderRefusesThePluginWith434)
{
    const std::wstring path = CopyFixture(L"signing\\SignedWithHelper", L"WithHelper.dll", L"helped");
    const std::wstring helper = CopyFixture(L"signing\\built\\FixtureHelper", L"FixtureHelper.dll", L"helped");
    TraceCapture traces;
    EXPECT_FALSE(Load(L"WithHelper", path));
    ExpectRefusedWith434(traces, L"WithHelper", path);
    EXPECT_TRUE(traces.ContainsPart(L"a library in its folder is not signed: " + helper));
    EXPECT_EQ(nullptr, GetModuleHandleW(L"FixtureHelper.dll"));
}

TEST_F(SignedPlugins, ALibraryInThePluginsFolderChangedAfterSigningRefusesThePluginWith434)
{
    const std::wstring path = CopyFixture(L"signing\\SignedWithHelper", L"WithHelper.dll", L"helped");
    const std::wstring helper = CopyFixture(L"signing\\TamperedHelper", L"FixtureHelper.dll", L"helped");
    TraceCapture traces;
    EXPECT_FALSE(Load(L"WithHelper", path));
    ExpectRefusedWith434(traces, L"WithHelper", path);
    EXPECT_TRUE(traces.ContainsPart(L"a library in its folder is not signed: " + helper));
    EXPECT_EQ(nullptr, GetModuleHandleW(L"FixtureHelper.dll"));
}

TEST_F(SignedPlugins, ALibraryInThePluginsFolderCannotBeReplacedBetweenTheCheckAndTheLoad)
{
    const std::wstring path = CopyFixture(L"signing\\SignedWithHelper", L"WithHelper.dll", L"helped");
    const std::wstring helper = CopyFixture(L"signing\\SignedHelper", L"FixtureHelper.dll", L"helped");
    const std::wstring impostor =
        CopyFixture(L"signing\\built\\impostor\\FixtureHelper", L"FixtureHelper.dll", L"elsewhere");
    std::vector<Attempt> attempts;
    BetweenCheckAndLoad swap([&] {
        attempts.push_back(Try(CopyFileW(impostor.c_str(), helper.c_str(), FALSE)));
        attempts.push_back(Try(MoveFileExW(helper.c_str(), (helper + L".old").c_str(), 0)));
    });
    ASSERT_TRUE(Load(L"WithHelper", path));
    ASSERT_TRUE(swap.Ran());
    for (const Attempt& attempt : attempts) ExpectRefusedWhileHeld(attempt);
    EXPECT_EQ(7, HelperAnswer()) << "the impostor answers 13";
}

TEST_F(SignedPlugins, ALibraryThatIsNeitherLoadedNorBesideThePluginNorASystemLibraryRefusesItWith434)
{
    const std::wstring path = CopyFixture(L"signing\\SignedWithHelper", L"WithHelper.dll", L"alone");
    TraceCapture traces;
    EXPECT_FALSE(Load(L"WithHelper", path));
    ExpectRefusedWith434(traces, L"WithHelper", path);
    EXPECT_TRUE(traces.ContainsPart(L"nor a system library: FixtureHelper.dll"));
}

TEST_F(SignedPlugins, WithoutThePolicyTheLibrariesInThePluginsFolderAreNotChecked)
{
    ASSERT_TRUE(testenv::SetRegDword(HKEY_LOCAL_MACHINE, kVarnelKey, kSwitch, 0));
    const std::wstring path = CopyFixture(L"signing\\built\\FixtureWithHelper", L"WithHelper.dll", L"plain");
    CopyFixture(L"signing\\built\\FixtureHelper", L"FixtureHelper.dll", L"plain");
    ASSERT_TRUE(Load(L"WithHelper", path));
    EXPECT_EQ(7, HelperAnswer());
}

// ---------------------------------------------------------------- the switch

TEST_F(SignedPlugins, ValuesThatAreNotAClearOffRequireSignatures)
{
    const std::wstring path = CopyFixture(L"FixtureBasic", L"Unsigned.dll", L"unsigned");
    const DWORD dword = 1;
    const ULONGLONG qword = 5;
    const BYTE binary[] = {1, 0};
    const wchar_t multi[] = L"0\0";
    const std::vector<std::function<void()>> values = {
        [&] { SetSwitch(L"yes"); },          [&] { SetSwitch(L"true"); },        [&] { SetSwitch(L"TRUE"); },
        [&] { SetSwitch(L"on"); },           [&] { SetSwitch(L"off"); },         [&] { SetSwitch(L""); },
        [&] { SetSwitch(L" 0"); },           [&] { SetSwitch(L"-1"); },          [&] { SetSwitch(L"2"); },
        [&] { SetSwitch(L"no way"); },       [&] { SetSwitch(&dword, sizeof(dword), REG_DWORD); },
        [&] { SetSwitch(&qword, sizeof(qword), REG_QWORD); },
        [&] { SetSwitch(binary, sizeof(binary), REG_BINARY); },
        [&] { SetSwitch(binary, sizeof(binary), REG_DWORD); },
        [&] { SetSwitch(multi, sizeof(multi), REG_MULTI_SZ); },
    };
    for (size_t i = 0; i < values.size(); ++i) {
        values[i]();
        const std::wstring name = L"Odd" + std::to_wstring(i);
        TraceCapture traces;
        EXPECT_FALSE(Load(name, path)) << "value " << i;
        EXPECT_TRUE(traces.Contains(RecordErrorTrace(434, Message(434, name.c_str())))) << "value " << i;
        Unregister(name);
    }
    EXPECT_TRUE(CallsOf("Unsigned.dll").empty());
}

TEST_F(SignedPlugins, ClearOffValuesLetUnsignedPluginsLoadWithoutAReport)
{
    const std::wstring path = CopyFixture(L"FixtureBasic", L"Unsigned.dll", L"unsigned");
    const DWORD dword = 0;
    const ULONGLONG qword = 0;
    const std::vector<std::function<void()>> values = {
        [&] { SetSwitch(L"0"); },     [&] { SetSwitch(L"false"); }, [&] { SetSwitch(L"False"); },
        [&] { SetSwitch(L"no"); },    [&] { SetSwitch(L"NO"); },    [&] { SetSwitch(L"00"); },
        [&] { SetSwitch(&dword, sizeof(dword), REG_DWORD); },       [&] { SetSwitch(&qword, sizeof(qword), REG_QWORD); },
        [&] { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kVarnelKey, kSwitch); },
    };
    TraceCapture traces;
    for (size_t i = 0; i < values.size(); ++i) {
        values[i]();
        const std::wstring name = L"Off" + std::to_wstring(i);
        EXPECT_TRUE(Load(name, path)) << "value " << i;
        EXPECT_TRUE(Registry()->UnloadPlugin(m_handle)) << "value " << i;
    }
    EXPECT_FALSE(traces.ContainsPart(kNotUnderstood));
}

TEST_F(SignedPlugins, ClearOnValuesRequireSignaturesWithoutAReport)
{
    const std::wstring path = CopyFixture(L"FixtureBasic", L"Unsigned.dll", L"unsigned");
    TraceCapture traces;
    int round = 0;
    for (const wchar_t* text : {L"1", L"true", L"Yes", L"yes", L"12"}) {
        SetSwitch(text);
        EXPECT_FALSE(Load(L"On" + std::to_wstring(++round), path)) << testenv::Narrow(text);
    }
    EXPECT_FALSE(traces.ContainsPart(kNotUnderstood));
}

TEST_F(SignedPlugins, AValueThatIsNotUnderstoodIsReportedOnceWith444UntilItChanges)
{
    const std::wstring path = CopyFixture(L"FixtureBasic", L"Unsigned.dll", L"unsigned");
    EXPECT_NE(L"", Message(444));
    TraceCapture traces;
    bool reasonA = false, reasonB = false;
    const auto check = [&] {
        CErrorMsg::Instance()->Error(0);
        EXPECT_FALSE(COXSL_DllMain::Instance()->IsTrustedDLL(path.c_str(), reasonA, reasonB));
        EXPECT_TRUE(reasonB);
        return CErrorMsg::Instance()->GetLastError();
    };
    SetSwitch(L"1");
    EXPECT_EQ(0, check());
    SetSwitch(L"yes please");
    EXPECT_EQ(444, check());
    EXPECT_EQ(0, check()) << "reported once";
    EXPECT_EQ(1u, traces.Count(std::wstring(L"COXSL_DllMain::IsTrustedDLL - \"RequireSignedPlugins\" holds REG_SZ "
                                            L"\"yes please\", ") + kNotUnderstood));
    const BYTE binary[] = {1, 2, 3};
    SetSwitch(binary, sizeof(binary), REG_BINARY);
    EXPECT_EQ(444, check()) << "another value is reported again";
    EXPECT_TRUE(traces.ContainsPart(L"holds REG_BINARY, 3 bytes, "));
    SetSwitch(L"1");
    EXPECT_EQ(0, check());
    SetSwitch(L"yes please");
    EXPECT_EQ(444, check()) << "reported again after a clear value";
}
