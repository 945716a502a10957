#include "PluginCheckTool.h"

#include "HostOutput.h"
#include "PeFile.h"
#include "PluginRequest.h"

#include "Handles.h"
#include "PeImports.h"
#include "PluginInterface.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <set>
#include <vector>

namespace {

const int kPasses = 0;
const int kRefused = 1;
const int kNotMade = 3;
const DWORD kDryRunTimeoutMs = 60000;
const size_t kMaxLibraries = 64;

const char* const kRequired[] = {"PluginGetVersionInfo", "PluginInit", "PluginActivity", "PluginCleanup"};
const char* const kOptional[] = {"PluginCreateMainWindow", "PluginCreateMenus",       "PluginGetAboutBoxText",
                                 "PluginLogError",         "PluginUpdate",            "PluginGetPluginHealth",
                                 "PluginGetOrvikIconStatus", "PluginCanUnload",       "PluginSuiteRegister"};

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return text;
}

std::wstring Join(const std::vector<std::wstring>& parts, const wchar_t* separator = L", ")
{
    std::wstring joined;
    for (const std::wstring& part : parts) joined += (joined.empty() ? L"" : separator) + part;
    return joined;
}

std::wstring FolderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Lines in UTF-8 for files and pipes, as they are for a console, whatever the code page.
void Say(const std::wstring& line) { hostoutput::WriteLine(hostoutput::Stream::Output, line.c_str()); }

// Why the check was not made, on the standard error.
int NotMade(const std::wstring& why)
{
    hostoutput::WriteLine(hostoutput::Stream::Error,
                          (L"varnelctl: " + why + L" (exit code " + std::to_wstring(kNotMade) + L")").c_str());
    return kNotMade;
}

// ---------------------------------------------------------------- entry points

// An export that is the wanted name in another dress: a __stdcall decoration ("_PluginInit@36"),
// a C++ mangled name ("?PluginInit@@..."), or another case.
std::wstring LookalikeOf(const std::string& wanted, const std::vector<std::string>& exports)
{
    for (const std::string& name : exports) {
        if (name == wanted) continue;
        std::string bare = name;
        if (!bare.empty() && (bare[0] == '_' || bare[0] == '?')) bare.erase(0, 1);
        const size_t at = bare.find('@');
        if (at != std::string::npos) bare.erase(at);
        if (_stricmp(bare.c_str(), wanted.c_str()) == 0) return Wide(name);
    }
    return std::wstring();
}

// Says what is exported; false when a required entry point is missing. causes gets what makes the
// tray refuse the library, in a few words.
bool CheckEntryPoints(const PeFacts& facts, std::vector<std::wstring>& problems, std::vector<std::wstring>& causes)
{
    auto exported = [&](const char* name) {
        return std::find(facts.exports.begin(), facts.exports.end(), name) != facts.exports.end();
    };
    std::vector<std::wstring> missing, found, absent;
    for (const char* name : kRequired) {
        if (exported(name)) continue;
        const std::wstring lookalike = LookalikeOf(name, facts.exports);
        missing.push_back(Wide(name) + (lookalike.empty() ? L"" : L" (exported as \"" + lookalike +
                                                                      L"\": declare it extern \"C\" with VARNEL_CALL, which is __cdecl)"));
    }
    Say(missing.empty() ? L"required entry points: PluginGetVersionInfo, PluginInit, PluginActivity, PluginCleanup: all exported"
                        : L"required entry points: MISSING " + Join(missing, L"; "));
    for (const char* name : kOptional) (exported(name) ? found : absent).push_back(Wide(name));
    Say(L"optional entry points: " + (found.empty() ? std::wstring(L"none") : Join(found)) + L" exported" +
        (absent.empty() ? L"" : L"; not exported: " + Join(absent)));
    if (exported("PluginCreateMainWindow") != exported("PluginCreateMenus"))
        problems.push_back(L"only one of PluginCreateMainWindow and PluginCreateMenus is exported: the tray calls "
                           L"neither (export both to add menu items in PluginCreateMenus)");
    for (const char* name : kOptional) {
        const std::wstring lookalike = exported(name) ? std::wstring() : LookalikeOf(name, facts.exports);
        if (!lookalike.empty())
            problems.push_back(Wide(name) + L" is exported as \"" + lookalike +
                               L"\", which the tray does not look up: declare it extern \"C\" with VARNEL_CALL (__cdecl)");
    }
    if (!missing.empty()) {
        problems.push_back(L"a required entry point is missing: the tray refuses the library with error 424");
        causes.push_back(L"missing entry point " + Join(missing, L", "));
    }
    return missing.empty();
}

// ---------------------------------------------------------------- dependent libraries

// Where the loader finds the libraries a plug-in needs: a library already in the tray host's process
// (by its name), the plug-in's folder (the load searches it first), the system folders, PATH.
class DependencyWalk {
public:
    DependencyWalk(std::wstring pluginFolder, const std::wstring& hostFolder) : m_pluginFolder(std::move(pluginFolder))
    {
        wchar_t folder[MAX_PATH] = L"";
        if (GetSystemDirectoryW(folder, MAX_PATH) > 0) m_systemFolders.push_back(folder);
        if (GetWindowsDirectoryW(folder, MAX_PATH) > 0) m_systemFolders.push_back(folder);
        std::vector<wchar_t> path(32768, L'\0');
        const DWORD length = GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size()));
        std::wstring list(path.data(), length < path.size() ? length : 0);
        for (size_t start = 0; start < list.size();) {
            const size_t end = list.find(L';', start);
            const std::wstring entry = list.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
            if (!entry.empty()) m_pathFolders.push_back(entry);
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
        NoteHostLibraries(hostFolder);
    }

    // Walks the libraries the plug-in needs, and theirs; says where each is and which are missing.
    bool Walk(const std::wstring& pluginName, const PeFacts& plugin, std::vector<std::wstring>& problems,
              std::vector<std::wstring>& causes)
    {
        std::vector<std::pair<std::wstring, PeFacts>> pending{{pluginName, plugin}};
        std::set<std::wstring> seen;
        std::vector<std::wstring> system, host, beside, missing;
        while (!pending.empty() && seen.size() < kMaxLibraries) {
            const auto [neededBy, facts] = pending.back();
            pending.pop_back();
            std::vector<std::string> names = facts.imports;
            names.insert(names.end(), facts.delayed.begin(), facts.delayed.end());
            for (const std::string& narrow : names) {
                const std::wstring name = Wide(narrow);
                if (!seen.insert(Lower(name)).second) continue;
                const bool delayed = std::find(facts.delayed.begin(), facts.delayed.end(), narrow) != facts.delayed.end();
                const std::wstring shown = name + (delayed ? L" (delay-loaded)" : L"");
                std::wstring found;
                if (zerova::IsApiSetName(name.c_str()) || FindIn(m_systemFolders, name, found)) {
                    system.push_back(shown);
                } else if (m_hostLibraries.count(Lower(name)) != 0) {
                    host.push_back(shown);
                } else if (FindIn({m_pluginFolder}, name, found) || FindIn(m_pathFolders, name, found)) {
                    PeFacts dependency;
                    std::wstring problem;
                    if (!ReadPeFacts(found, dependency, problem)) {
                        problems.push_back(name + L" at " + found + L" cannot be used: " + problem);
                    } else if (dependency.machine != plugin.machine) {
                        problems.push_back(name + L" at " + found + L" is a library of another architecture (" +
                                           MachineName(dependency.machine) + L")");
                    } else {
                        pending.push_back({name, dependency});
                    }
                    beside.push_back(shown + L" at " + found);
                } else {
                    missing.push_back(name + L" (needed by " + neededBy + L")");
                }
            }
        }
        std::vector<std::wstring> parts;
        if (!system.empty()) parts.push_back(Join(system) + L" from the system");
        if (!host.empty()) parts.push_back(Join(host) + L" loaded by the tray host");
        if (!beside.empty()) parts.push_back(Join(beside));
        parts.push_back(missing.empty() ? L"all found" : L"MISSING " + Join(missing, L"; "));
        Say(L"libraries it needs: " + Join(parts, L"; "));
        if (missing.empty()) return true;
        causes.push_back(L"missing library " + Join(missing, L", ") + L", Windows error 126");
        problems.push_back(L"a library it needs is missing (" + Join(missing, L"; ") +
                           L"): the load fails with Windows error 126 and the tray records error 423; put the library "
                           L"beside the plug-in, or link it statically (MinGW: -static-libgcc -static-libstdc++, or -static)");
        return false;
    }

private:
    static bool FindIn(const std::vector<std::wstring>& folders, const std::wstring& name, std::wstring& found)
    {
        for (const std::wstring& folder : folders) {
            const std::wstring candidate = folder + L"\\" + name;
            if (FileExists(candidate)) {
                found = candidate;
                return true;
            }
        }
        return false;
    }

    // The libraries Varnel.exe takes from its own folder when it starts (its imports and theirs).
    void NoteHostLibraries(const std::wstring& hostFolder)
    {
        std::vector<std::wstring> pending{hostFolder + L"\\Varnel.exe"};
        while (!pending.empty() && m_hostLibraries.size() < kMaxLibraries) {
            const std::wstring file = pending.back();
            pending.pop_back();
            PeFacts facts;
            std::wstring problem;
            if (!ReadPeFacts(file, facts, problem)) continue;
            for (const std::string& narrow : facts.imports) {
                const std::wstring name = Wide(narrow);
                const std::wstring beside = hostFolder + L"\\" + name;
                if (!FileExists(beside) || !m_hostLibraries.insert(Lower(name)).second) continue;
                pending.push_back(beside);
            }
        }
    }

    std::wstring m_pluginFolder;
    std::vector<std::wstring> m_systemFolders;
    std::vector<std::wstring> m_pathFolders;
    std::set<std::wstring> m_hostLibraries;
};

// ---------------------------------------------------------------- the registry

void CheckRegistry(const std::wstring& path, std::vector<std::wstring>& problems)
{
    pluginregistry::Entry entry;
    if (pluginregistry::FindByPath(path, false, entry)) {
        Say(L"registry: registered as \"" + entry.subkey + L"\" with the name \"" + entry.name + L"\" in the " +
            pluginregistry::ViewName(false) + L", which this tray host reads");
        if (entry.name.empty())
            problems.push_back(L"its registry entry has no \"Name\": the tray refuses it with error 438");
        if (entry.doNotLoad)
            problems.push_back(L"its registry entry has \"DoNotLoadMe\" set: the tray skips it (delete the value to load it)");
        return;
    }
    if (pluginregistry::FindByPath(path, true, entry)) {
        Say(L"registry: registered as \"" + entry.subkey + L"\" in the " + pluginregistry::ViewName(true) +
            L" only, which this tray host does NOT read");
        problems.push_back(L"it is registered in the " + pluginregistry::ViewName(true) + L" only: write its entry in the " +
                           pluginregistry::ViewName(false) + L" (reg add ... /reg:" +
                           (pluginregistry::ViewName(false).rfind(L"32", 0) == 0 ? L"32" : L"64") + L")");
        return;
    }
    Say(L"registry: not registered (no entry under HKEY_LOCAL_MACHINE\\" + std::wstring(CPluginInterface::PluginsKey) +
        L" has this \"Path\"); the dry run registers it for itself alone");
}

// ---------------------------------------------------------------- the dry run

std::wstring FromUtf8(const std::string& bytes)
{
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], units);
    return text;
}

std::wstring TempFile()
{
    wchar_t folder[MAX_PATH] = L"";
    wchar_t file[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, folder);
    if (GetTempFileNameW(folder, L"vck", 0, file) == 0) return std::wstring();
    return file;
}

// Wine now and then fails to start a process with ERROR_INTERNAL_ERROR when the machine is busy; a
// second try a moment later starts it.
bool StartProcess(const std::wstring& program, std::wstring commandLine, const std::wstring& folder,
                  STARTUPINFOW& startup, PROCESS_INFORMATION& started)
{
    for (int attempt = 0;; ++attempt) {
        if (CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup,
                           &started))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 2) return false;
        Sleep(200);
    }
}

struct DryRun {
    bool made = false;
    DWORD exitCode = 0;
    std::vector<std::wstring> lines;
    std::wstring result;  // the host's "result: " line, without the word
    std::vector<std::wstring> whys;  // its "why: " lines, without the word
    std::wstring problem;
};

DryRun RunDryRun(const std::wstring& path, const std::wstring& hostFolder)
{
    DryRun run;
    const std::wstring host = hostFolder + L"\\Varnel.exe";
    const std::wstring output = TempFile();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    zerova::UniqueFileHandle file(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file) {
        run.problem = L"no file for the dry run's output could be made";
        return run;
    }
    std::wstring commandLine = L"\"" + host + L"\" --check-plugin \"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = file.Get();
    startup.hStdError = file.Get();
    PROCESS_INFORMATION started{};
    if (!StartProcess(host, commandLine, hostFolder, startup, started)) {
        run.problem = L"Varnel.exe could not be started (Windows error " + std::to_wstring(GetLastError()) + L")";
        DeleteFileW(output.c_str());
        return run;
    }
    zerova::UniqueKernelHandle process(started.hProcess), thread(started.hThread);
    file.Reset();
    if (WaitForSingleObject(process.Get(), kDryRunTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), 5000);
        run.problem = L"the dry run did not end within 60 seconds: the plug-in does not return from a call (see the lines above)";
    }
    GetExitCodeProcess(process.Get(), &run.exitCode);
    zerova::UniqueFileHandle read(CreateFileW(output.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (read && ReadFile(read.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0 && bytes.size() < 1048576)
        bytes.append(buffer, got);
    read.Reset();
    DeleteFileW(output.c_str());
    const std::wstring text = FromUtf8(bytes);
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find(L'\n', start);
        std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        // The host's own summary of its exit repeats the result line.
        if (!line.empty() && line.rfind(L"Varnel: ", 0) != 0) {
            if (line.rfind(L"result: ", 0) == 0) run.result = line.substr(8);
            if (line.rfind(L"why: ", 0) == 0) run.whys.push_back(line.substr(5));
            run.lines.push_back(line);
        }
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    run.made = run.problem.empty() && (run.exitCode == 0 || run.exitCode == 6) && !run.result.empty();
    if (run.problem.empty() && !run.made) {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08X", static_cast<unsigned>(run.exitCode));
        run.problem = run.exitCode == 7 ? L"the dry run's host could not make the check (" + run.result + L")"
                                        : L"the dry run's host ended with exit code " + std::to_wstring(run.exitCode) + L" (" +
                                              code + L"): the plug-in's code ended the process outside the tray's guard "
                                                     L"(in DllMain or on a thread of its own)";
    }
    return run;
}

}  // namespace

// ---------------------------------------------------------------- registry look-ups

namespace pluginregistry {

namespace {
REGSAM ViewFlag(bool otherView)
{
#ifdef _WIN64
    return otherView ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
#else
    return otherView ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
#endif
}

// A string value with its environment variables expanded, as the tray reads "Path".
std::wstring ReadString(HKEY key, const wchar_t* value)
{
    wchar_t text[MAX_PATH] = L"";
    DWORD size = sizeof(text);
    if (RegGetValueW(key, nullptr, value, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text, &size) !=
        ERROR_SUCCESS)
        return std::wstring();
    wchar_t expanded[MAX_PATH] = L"";
    const DWORD length = ExpandEnvironmentStringsW(text, expanded, MAX_PATH);
    return length > 0 && length <= MAX_PATH ? expanded : text;
}

bool ReadFlag(HKEY key, const wchar_t* value)
{
    DWORD number = 0;
    DWORD size = sizeof(number);
    if (RegGetValueW(key, nullptr, value, RRF_RT_REG_DWORD, nullptr, &number, &size) == ERROR_SUCCESS) return number != 0;
    const std::wstring text = ReadString(key, value);
    return !text.empty() && wcstol(text.c_str(), nullptr, 10) != 0;
}

template <typename Matches>
bool FindEntry(bool otherView, Matches matches, Entry& found)
{
    zerova::UniqueRegKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CPluginInterface::PluginsKey, 0, KEY_READ | ViewFlag(otherView), list.Put()) !=
        ERROR_SUCCESS)
        return false;
    for (DWORD index = 0;; ++index) {
        wchar_t name[MAX_PATH];
        DWORD length = MAX_PATH;
        if (RegEnumKeyExW(list.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
        zerova::UniqueRegKey entry;
        if (RegOpenKeyExW(list.Get(), name, 0, KEY_READ | ViewFlag(otherView), entry.Put()) != ERROR_SUCCESS) continue;
        Entry candidate{name, ReadString(entry.Get(), L"Name"), ReadString(entry.Get(), L"Path"),
                        ReadFlag(entry.Get(), L"DoNotLoadMe")};
        if (!matches(candidate)) continue;
        found = candidate;
        return true;
    }
}
}  // namespace

bool FindByPath(const std::wstring& path, bool otherView, Entry& entry)
{
    return FindEntry(otherView, [&](const Entry& candidate) { return SamePluginPath(candidate.path.c_str(), path.c_str()); },
                     entry);
}

bool FindByFileName(const std::wstring& fileName, Entry& entry)
{
    auto fileNameOf = [](const std::wstring& path) {
        const size_t slash = path.find_last_of(L"\\/");
        return slash == std::wstring::npos ? path : path.substr(slash + 1);
    };
    if (FindEntry(false, [&](const Entry& c) { return _wcsicmp(fileNameOf(c.path).c_str(), fileName.c_str()) == 0; }, entry))
        return true;
    return FindEntry(false, [&](const Entry& c) { return _wcsicmp(c.subkey.c_str(), fileName.c_str()) == 0; }, entry);
}

std::vector<Entry> AllEntries()
{
    std::vector<Entry> entries;
    Entry none;
    FindEntry(false, [&](const Entry& candidate) {
        entries.push_back(candidate);
        return false;
    }, none);
    return entries;
}

std::wstring ViewName(bool otherView)
{
    return (ViewFlag(otherView) & KEY_WOW64_32KEY) != 0 ? L"32-bit view of the registry (WOW6432Node)"
                                                        : L"64-bit view of the registry";
}

}  // namespace pluginregistry

// ---------------------------------------------------------------- the check

int CheckPlugin(const std::wstring& path, const std::wstring& hostFolder)
{
    if (NamingOf(path.c_str()) != PluginNaming::FullPath)
        return NotMade(L"\"" + path + L"\" is no full path (X:\\...): the check, like the tray host, takes libraries by full path");
    if (!FileExists(path)) return NotMade(L"there is no file \"" + path + L"\"");
    Say(L"file: " + path);
    PeFacts facts;
    std::wstring problem;
    if (!ReadPeFacts(path, facts, problem)) return NotMade(L"\"" + path + L"\" cannot be checked: " + problem);
    std::vector<std::wstring> problems, causes;
    PeFacts hostFacts;
    std::wstring hostProblem;
    const bool hostThere = ReadPeFacts(hostFolder + L"\\Varnel.exe", hostFacts, hostProblem);
    const WORD hostMachine = hostThere ? hostFacts.machine : OwnMachine();
    const bool sameMachine = facts.machine == hostMachine;
    Say(L"architecture: " + MachineName(facts.machine) + (facts.isLibrary ? L" library" : L" program, not a library") +
        L"; the tray host " + (hostThere ? hostFolder + L"\\Varnel.exe" : std::wstring(L"of this varnelctl")) + L" is " +
        MachineName(hostMachine) + (sameMachine ? L": they match" : L": they DO NOT match"));
    if (!facts.isLibrary) problems.push_back(L"the file is a program, not a library: LoadLibraryExW cannot load it");
    if (!sameMachine) causes.push_back(L"a library for " + MachineName(facts.machine));
    if (!sameMachine)
        problems.push_back(L"the library is built for " + MachineName(facts.machine) + L" and the tray host for " +
                           MachineName(hostMachine) + L": the tray refuses it with error 423 (build it with the "
                           L"compiler of the host's architecture)");
    CheckEntryPoints(facts, problems, causes);
    if (sameMachine)
        DependencyWalk(FolderOf(path), hostFolder).Walk(path.substr(path.find_last_of(L"\\/") + 1), facts, problems, causes);
    else
        Say(L"libraries it needs: not looked for (a library of another architecture takes its libraries from elsewhere)");
    Say(L"interface version: PluginGetVersionInfo is asked in the dry run; the tray accepts 2.1 and 2.2");
    CheckRegistry(path, problems);

    DryRun run;
    if (!hostThere) {
        run.problem = L"there is no Varnel.exe in " + hostFolder + L" to run the dry run with (give its folder as FOLDER)";
    } else {
        Say(L"dry run in a separate host process (Varnel.exe --check-plugin):");
        run = RunDryRun(path, hostFolder);
        for (const std::wstring& line : run.lines) Say(L"  " + line);
    }
    for (const std::wstring& line : problems) Say(L"problem: " + line);
    if (!run.made) {
        Say(L"dry run: not made: " + run.problem);
        Say(std::wstring(L"verdict: ") + (problems.empty() ? L"unknown" : L"the tray would refuse the plug-in (see the problems above)") +
            L" (exit code " + std::to_wstring(problems.empty() ? kNotMade : kRefused) + L")");
        return problems.empty() ? kNotMade : kRefused;
    }
    if (run.exitCode == 0 && problems.empty()) {
        Say(L"verdict: the plug-in " + run.result + L" in this tray host (exit code 0)");
        return kPasses;
    }
    if (run.exitCode == 0) {
        Say(L"verdict: the plug-in " + run.result + L" in this tray host, but see the problems above (exit code 1)");
        return kRefused;
    }
    // The loader's error, and what it leaves out: the dry run's findings first, then the file's.
    std::vector<std::wstring> why = run.whys;
    for (const std::wstring& cause : causes)
        if (std::find(why.begin(), why.end(), cause) == why.end()) why.push_back(cause);
    Say(L"verdict: " + run.result + (why.empty() ? L"" : L" [" + Join(why, L"; ") + L"]") + L" (exit code 1)");
    return kRefused;
}
