// The plain functions exported for plug-ins, the module's entry points for them: each passes its
// call on to the module's private interface. No exception leaves them.
#include "VarnelPluginAPI.h"

#include "DebugTrace.h"
#include "OXIL_dllmain.h"
#include "VarnelMenuUtils.h"
#include "VarnelPrivateInterface.h"

#include "CurrentRequest.h"

#include <exception>

namespace {
CVarnelPrivateInterface* Api() { return &COXIL_DllMain::Instance()->PrivateInterface(); }

// What an export caught, as a trace line naming the export (level 0: it is a defect of the library).
void TraceCaught(const char* exportName, const char* what)
{
    ZEROVA_TRACE(0, L"%hs - caught an exception and failed the call: %hs", exportName, what);
}

// No exception crosses into the plug-in: a caught one fails the call and is traced.
template <typename Result, typename Call>
Result Guarded(const char* exportName, Result failure, Call call) noexcept
{
    const plugins::CurrentRequest request(exportName);
    try {
        return call();
    } catch (const std::exception& caught) {
        TraceCaught(exportName, caught.what());
    } catch (...) {
        TraceCaught(exportName, "an exception that is no std::exception");
    }
    return failure;
}
}  // namespace

VARNEL_EXPORT bool VARNEL_CALL VarnelAddMenuItem(void* handle, const wchar_t* caption, int itemId,
                                                 VARNEL_MENU_CATEGORY category)
{
    return Guarded(__func__, false, [&] { return Api()->AddMenuItem(handle, caption, itemId, category); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelRemoveMenuItem(void* handle, UINT itemId)
{
    return Guarded(__func__, false, [&] { return Api()->RemoveMenuItem(handle, itemId); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelSetMenuString(void* handle, UINT itemId, const wchar_t* caption)
{
    return Guarded(__func__, false, [&] { return Api()->SetMenuString(handle, itemId, caption); });
}

VARNEL_EXPORT int VARNEL_CALL VarnelGetMenuString(void* handle, UINT itemId, wchar_t* buffer, int length)
{
    return Guarded(__func__, 0, [&] { return Api()->GetMenuStringW(handle, itemId, buffer, length); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelGetMenuItemState(void* handle, UINT itemId, bool* checkMark, bool* enabled)
{
    return Guarded(__func__, false, [&] {
        bool checked = false;
        bool on = false;
        const bool found = Api()->GetMenuItemState(handle, itemId, checked, on);
        if (found && checkMark != nullptr) *checkMark = checked;
        if (found && enabled != nullptr) *enabled = on;
        return found;
    });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelCheckMenuItem(void* handle, UINT itemId, UINT flags)
{
    return Guarded(__func__, false, [&] { return Api()->CheckMenuItem(handle, itemId, flags); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelEnableMenuItem(void* handle, UINT itemId, UINT flags)
{
    return Guarded(__func__, false, [&] { return Api()->EnableMenuItem(handle, itemId, flags); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelDoesMenuItemExist(void* handle, UINT itemId)
{
    return Guarded(__func__, false, [&] { return Api()->DoesMenuItemExist(handle, itemId); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelSetMenuItemID(HMENU menu, int position, int newId)
{
    return Guarded(__func__, false, [&] { return CVarnelMenuUtils::SetMenuItemID(menu, position, newId); });
}

VARNEL_EXPORT void VARNEL_CALL VarnelSetState(void* handle, VARNEL_PLUGIN_STATE state, wchar_t* text)
{
    Guarded(__func__, 0, [&] {
        Api()->SetState(handle, state, text);
        return 0;
    });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelDisplayAdvisoryMsg(void* handle, const wchar_t* extra, HWND parent,
                                                        const wchar_t* title, const wchar_t* text,
                                                        ADVISORY_MSG_TYPE type,
                                                        ADVISORY_MSG_BUTTONS buttons, bool autoClose, void* cookie,
                                                        bool settingsFlag)
{
    return Guarded(__func__, false, [&] {
        return Api()->DisplayAdvisoryMsg(handle, extra, parent, title, text, type, buttons, autoClose, cookie,
                                         Api()->SettingsFlagFor(handle, settingsFlag));
    });
}

VARNEL_EXPORT CProgressDlg* VARNEL_CALL VarnelCreateProgressDlg(void* handle, HWND parent, const wchar_t* title,
                                                                PROGRESS_BAR_DLG_TYPE type,
                                                                void(VARNEL_CALL* cancel)(void*),
                                                                void* cookie, int autoCloseMs)
{
    return Guarded(__func__, static_cast<CProgressDlg*>(nullptr), [&] {
        return Api()->CreateProgressDlg(handle, parent, title, type, cancel, cookie, autoCloseMs);
    });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelSetProgress(CProgressDlg* dialog, const wchar_t* status, const wchar_t* detail,
                                                 int percent)
{
    return Guarded(__func__, false, [&] { return Api()->SetProgress(dialog, status, detail, percent); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelDestroyProgressDlg(CProgressDlg* dialog)
{
    return Guarded(__func__, false, [&] { return Api()->DestroyProgressDlg(dialog); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelPluginCommunication(void* handle, const wchar_t* text, int value)
{
    return Guarded(__func__, false, [&] { return Api()->PluginCommunication(handle, text, value); });
}

VARNEL_EXPORT bool VARNEL_CALL VarnelSetLegacyTrayEXE(void* handle, const wchar_t* program, const wchar_t* arguments,
                                                      bool show)
{
    return Guarded(__func__, false, [&] { return Api()->SetLegacyTrayEXE(handle, program, arguments, show); });
}

VARNEL_EXPORT int VARNEL_CALL VarnelOutputError(int code, const wchar_t* text)
{
    return Guarded(__func__, code, [&] { return Api()->OutputError(code, text); });
}
