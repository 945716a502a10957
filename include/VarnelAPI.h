/* Export macro of VarnelInterfaceLib.dll: the library builds with VARNEL_INTERFACE_BUILD and exports,
 * everyone else imports. Usable from C (C89 on) and C++. */
#ifndef VARNEL_API_H
#define VARNEL_API_H

#ifdef VARNEL_INTERFACE_BUILD
#define VARNEL_API __declspec(dllexport)
#else
#define VARNEL_API __declspec(dllimport)
#endif

#endif /* VARNEL_API_H */
