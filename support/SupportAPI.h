// Export macro of the GUI support library ZerovaWin32GUISupportDLL.dll.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#ifdef ZEROVA_SUPPORT_BUILD
#define ZEROVA_SUPPORT_API __declspec(dllexport)
#else
#define ZEROVA_SUPPORT_API __declspec(dllimport)
#endif
