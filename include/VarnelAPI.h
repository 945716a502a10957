// Export macro of VarnelInterfaceLib.dll.
#pragma once

#ifdef VARNEL_INTERFACE_BUILD
#define VARNEL_API __declspec(dllexport)
#else
#define VARNEL_API __declspec(dllimport)
#endif
