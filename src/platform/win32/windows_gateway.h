// The one way in to <windows.h> for the Win32 platform layer. The version floor is Windows 95
// and NT 4.0, so that nothing a later Windows added is declared to be called by mistake.
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

#include "platform/window_system.h"

// <windows.h> maps these names to their A or W forms; our interfaces use the plain names and
// the implementations call the A forms explicitly.
#undef CreateMutex
#undef GetVersionEx
#undef LoadIcon
#undef MessageBox
#undef SendMessage

namespace korvane::win32 {

// The platform's window references are the system's window handles.
inline HWND ToHwnd(platform::WindowRef window) { return reinterpret_cast<HWND>(window); }
inline platform::WindowRef FromHwnd(HWND window) { return reinterpret_cast<platform::WindowRef>(window); }

}  // namespace korvane::win32
