// The one way in to <windows.h>: the version floor is Windows 95 / NT 4.0, so nothing newer
// is declared to call by mistake.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#undef WINVER
#undef _WIN32_WINNT
#define WINVER 0x0400
#define _WIN32_WINNT 0x0400
#include <windows.h>

// <windows.h> defines these as macros for the A/W forms; our interfaces use the plain names.
#undef CreateMutex
#undef MessageBox
#undef SendMessage
#undef LoadIcon
#undef GetVersionEx
