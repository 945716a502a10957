// The about-box and system-health texts of the plug-in registry, in the list markup: rows end with
// CR LF, a tab separates the two columns, and tokens between bars set shading, status and font.
#include "PluginInterface.h"

#include "TrayConstants.h"

#include "DebugTrace.h"
#include "Localize.h"
#include "Plugin.h"
#include "RegistryEx.h"
#include "SafeString.h"

#include <cwchar>
#include <memory>
#include <string>

namespace {

const wchar_t* StatusToken(int state)
{
    return state == VARNEL_PLUGIN_STATE_WARNING ? L"|warning|" : state == VARNEL_PLUGIN_STATE_ERROR ? L"|error|" : L"|OK|";
}

std::wstring String(CLocalize& texts, UINT id, int capacity = MAX_PATH)
{
    std::unique_ptr<wchar_t[]> text(new wchar_t[static_cast<size_t>(capacity)]);
    texts.GetString(id, text.get(), capacity);
    return text.get();
}

// Bounded copy of [begin, end) into a 260-character field.
std::wstring Piece(const wchar_t* begin, const wchar_t* end)
{
    const size_t length = static_cast<size_t>(end - begin);
    return std::wstring(begin, length < MAX_PATH - 1 ? length : MAX_PATH - 1);
}
}  // namespace

bool CPluginInterface::GetHealthImageName(VARNEL_PLUGIN_STATE state, wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return false;
    const wchar_t* name = state == VARNEL_PLUGIN_STATE_WARNING ? L"system_status_warning_medium.png"
                          : state == VARNEL_PLUGIN_STATE_ERROR ? L"system_status_error_medium.png"
                                                               : L"system_status_ok_medium.png";
    zerova::CopyString(buffer, length, name);
    return true;
}

void CPluginInterface::AppendHealthLine(wchar_t* buffer, int length, void* context, const wchar_t* name,
                                        VARNEL_PLUGIN_STATE state, const wchar_t* text, int row)
{
    if (buffer == nullptr || length < 1) return;
    zerova::BoundedAppender out(buffer, length);
    // A static of the contract: the language module is the support library's own.
    const std::wstring everythingWorking = String(*CLocalize::Instance(), tray::kEverythingWorkingString);
    AppendHealthLine(out, context, name, state, text, row, everythingWorking);
}

void CPluginInterface::AppendHealthLine(zerova::BoundedAppender& out, void* context, const wchar_t* name,
                                        VARNEL_PLUGIN_STATE state, const wchar_t* text, int row,
                                        const std::wstring& everythingWorking)
{
    if (context == nullptr || zerova::IsEmpty(name) || text == nullptr) return;
    out.Append(row % 2 == 0 ? L"|light|" : L"|dark|");
    const bool attention = state == VARNEL_PLUGIN_STATE_WARNING || state == VARNEL_PLUGIN_STATE_ERROR;
    const wchar_t* status = zerova::IsEmpty(text) || state == VARNEL_PLUGIN_STATE_OK ? everythingWorking.c_str() : text;
    wchar_t line[1024];
    // The whole address, also on 64-bit builds ("%d" would keep its low 32 bits only).
    zerova::FormatString(line, 1024, L"%s%I64d%s%s%s%s\t%s%s%s\r\n", L"|hContext=",
                         static_cast<long long>(reinterpret_cast<INT_PTR>(context)), L"|", L"|OK|", L"|font=NORMAL|", name,
                         StatusToken(state), attention ? L"|font=BOLD|" : L"|font=NORMAL|", status);
    out.Append(line);
}

void CPluginInterface::AppendAboutSection(wchar_t* buffer, int length, const VARNEL_ABOUT_INFO* info,
                                          const wchar_t* pairs, const wchar_t* extra, int& row)
{
    if (buffer == nullptr || length < 1) return;
    zerova::BoundedAppender out(buffer, length);
    AppendAboutSection(out, *CLocalize::Instance(), info, pairs, extra, row);
}

void CPluginInterface::AppendAboutSection(zerova::BoundedAppender& out, CLocalize& texts, const VARNEL_ABOUT_INFO* info,
                                          const wchar_t* pairs, const wchar_t* extra, int& row)
{
    if (info == nullptr) return;
    auto append = [&](const wchar_t* text) { out.Append(text); };
    append(L" \r\n");
    append(L"|font=BOLD|");
    append(L"|BLUE|");
    append(info->productName);
    append(L"\r\n");
    append(L"|font=NORMAL|");
    append(String(texts, 52, 1024).c_str());
    append(info->version);
    append(L"\r\n");
    if (info->furtherLine[0] != L'\0') {
        append(String(texts, 53).c_str());
        append(info->furtherLine);
        append(L"\r\n");
    }
    if (!zerova::IsEmpty(pairs)) {
        for (const wchar_t* at = pairs;;) {
            const wchar_t* nameEnd = wcschr(at, L'|');
            if (nameEnd == nullptr) break;
            const wchar_t* valueEnd = wcschr(nameEnd + 1, L'|');
            if (valueEnd == nullptr) break;
            const std::wstring name = Piece(at, nameEnd);
            const std::wstring value = Piece(nameEnd + 1, valueEnd);
            // A plug-in writes tokens with tildes: they become bars in what it added.
            wchar_t* const added = out.End();
            append(name.c_str());
            if (!value.empty()) {
                append(L":\t");
                append(value.c_str());
            }
            append(L"\r\n");
            for (wchar_t* c = added; c != out.End(); ++c)
                if (*c == L'~') *c = L'|';
            at = valueEnd + 1;
        }
    }
    if (!zerova::IsEmpty(extra)) append(extra);
    append(L"|font=NORMAL|");
    append(L" \r\n");
    row += 1;
    append(row % 2 == 0 ? L"|light|" : L"|dark|");
}

bool CPluginInterface::GetAboutBoxText(wchar_t* buffer, int length)
{
    ZEROVA_TRACE(4, L"CPluginInterface::GetAboutBoxText - ENTER");
    bool result = false;
    if (buffer != nullptr && length >= 1) {
        buffer[0] = L'\0';
        int row = 0;
        ZEROVA_TRACE(4, L"CPluginInterface::GetAboutBoxText - General Info");
        wchar_t computer[MAX_PATH] = L"";
        if (!CRegistryEx::Get(HKEY_LOCAL_MACHINE, tray::kFrameworkKey, L"ComputerName", computer, MAX_PATH) ||
            computer[0] == L'\0') {
            DWORD size = MAX_PATH;
            if (!::GetComputerNameW(computer, &size)) computer[0] = L'\0';
        }
        zerova::FormatString(buffer, length, L"%s%s%s%s\r\n%s:\t%s\r\n", L"|light|", L"|font=BOLD|", L"|BLUE|",
                             String(*m_support.texts, 978).c_str(), String(*m_support.texts, 970).c_str(), computer);
        zerova::BoundedAppender out(buffer, length);
        const RecordSnapshot counted = CountedRecords();
        for (PLUGIN_DATA* listed : *counted) {
            PLUGIN_DATA* record = nullptr;
            CPlugin* plugin = nullptr;
            if (!ValidatePlugin(listed, &record, &plugin, false)) continue;
            if (CDebugTrace::IsWanted(4)) {
                wchar_t name[MAX_PATH];
                wchar_t line[1024];
                zerova::FormatString(line, 1024, L"CPluginInterface::GetAboutBoxText info from plugin \"%s\"",
                                     plugin->GetName(name, MAX_PATH));
                ZEROVA_TRACE(4, line);
            }
            bool more = false;
            int entries = 0;
            do {
                VARNEL_ABOUT_INFO info;
                wchar_t* pairs = nullptr;
                wchar_t* extra = nullptr;
                if (plugin->GetAboutInfo(&info, &pairs, &extra, &more)) {
                    if (info.productName[0] != L'\0' && info.version[0] != L'\0')
                        AppendAboutSection(out, *m_support.texts, &info, pairs, extra, row);
                } else {
                    more = false;
                }
            } while (more && ++entries < MaxEntriesPerPlugin);
        }
        out.Append(String(*m_support.texts, 61, 1024).c_str());
        out.Append(String(*m_support.texts, 50, 1024).c_str());
        result = true;
    }
    ZEROVA_TRACE(4, L"CPluginInterface::GetAboutBoxText - EXIT");
    return result;
}

bool CPluginInterface::GetSystemHealthText(wchar_t* buffer, int length)
{
    if (buffer == nullptr || length < 1) return false;
    int row = 0;
    zerova::BoundedAppender out(buffer, length);
    const std::wstring everythingWorking = String(*m_support.texts, tray::kEverythingWorkingString);
    const RecordSnapshot counted = CountedRecords();
    for (PLUGIN_DATA* listed : *counted) {
        PLUGIN_DATA* record = nullptr;
        CPlugin* plugin = nullptr;
        if (!ValidatePlugin(listed, &record, &plugin, false)) {
            // A plug-in that failed shows its error.
            if (record == nullptr || plugin == nullptr || (plugin->GetFlags() & PLUGIN_FLAG_ERROR) == 0) continue;
        }
        if (plugin->IsErrorLogger()) continue;
        bool more = false;
        int entries = 0;
        do {
            VARNEL_PLUGIN_STATE state = VARNEL_PLUGIN_STATE_OK;
            wchar_t name[MAX_PATH] = L"";
            wchar_t text[MAX_PATH] = L"";
            if (plugin->GetHealth(&state, name, MAX_PATH, text, MAX_PATH, &more)) {
                wchar_t note[MAX_PATH];
                if (entries == 0 && name[0] != L'\0' && plugin->SlowStartNote(note, MAX_PATH)) {
                    zerova::AppendString(name, MAX_PATH, L" ");
                    zerova::AppendString(name, MAX_PATH, note);
                }
                if (!((name[0] == L'\0' || text[0] == L'\0') && state == VARNEL_PLUGIN_STATE_OK)) {
                    row += 1;
                    AppendHealthLine(out, plugin, name, state, text, row, everythingWorking);
                }
            } else {
                more = false;
            }
        } while (more && ++entries < MaxEntriesPerPlugin);
    }
    AppendQuarantinedLines(out, row, everythingWorking);
    return true;
}

bool CPluginInterface::RemoveFromSystemHealth(void* handle, const wchar_t* text)
{
    PLUGIN_DATA* record = nullptr;
    CPlugin* plugin = nullptr;
    if (!ValidatePlugin(handle, &record, &plugin, false)) return false;
    wchar_t key[MAX_PATH];
    if (!zerova::IsEmpty(text)) zerova::CopyString(key, MAX_PATH, text);
    else plugin->GetDisplayName(key, MAX_PATH);
    IPluginDialogs* dialogs = Dialogs();
    return dialogs != nullptr && dialogs->RemoveHealthLine(key);
}
