// How the plug-in's entry point and the host's callback are declared: the C
// calling convention on every system (not the Windows API's own), and the
// entry point exported from the shared library.
#pragma once

#if defined(_WIN32)
#define DEV_EXPORT __declspec(dllexport)
#define DEV_CDECL __cdecl
#else
#define DEV_EXPORT __attribute__((visibility("default")))
#define DEV_CDECL
#endif
