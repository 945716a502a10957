/* A library made as MSVC makes one (clang for the *-pc-windows-msvc target), calling two of the tray's
 * functions for plug-ins, to be linked by an MSVC-style linker against VarnelInterfaceLib.lib alone:
 * no Windows SDK, no C run-time. The declarations stand here because the MinGW headers of this
 * machine do not compile for that target; they have the signatures of VarnelPluginAPI.h. */
typedef unsigned short probe_wchar;

__declspec(dllimport) int __cdecl VarnelOutputError(int code, const probe_wchar* text);
__declspec(dllimport) unsigned char __cdecl VarnelAddMenuItem(void* handle, const probe_wchar* caption, int itemId,
                                                              int category);

__declspec(dllexport) int __cdecl ProbeCalls(void* handle)
{
    static const probe_wchar caption[] = {'P', 'r', 'o', 'b', 'e', 0};
    return VarnelAddMenuItem(handle, caption, 1, 0) ? VarnelOutputError(9000, caption) : 0;
}
