#pragma once
// The only header of the project that includes the Windows headers: Win32
// sources include it instead of any of them, in any place among their
// includes.
//
// <windows.h> spells many API names as macros that pick the A or W form:
// CreateEvent, CreateMutex, CreateFile, GetPrivateProfileInt,
// RegisterEventSource, ReportEvent, LoadString, MessageBox, LoadLibrary,
// GetModuleFileName, ExpandEnvironmentStrings, ... The ports use the same
// names for their methods (the calls they stand for), so a port class read
// after those macros would declare CreateEventA instead of CreateEvent: a
// class that differs from the one the core was compiled with, without a
// word from the compiler. This header therefore undefines every such macro
// that the ports or the core use, and the Win32 adapter always calls the
// A or W function by its full name.
//
// A name missing from the list below is a build error, not a silent
// difference: the generated check at the end fails for every identifier of
// the port, core and contract-suite headers that is a macro after the
// Windows headers but was not one before them (cmake/WindowsNameCheck.cmake).

// clang-format off
// Standard headers first, so that their macros count as "before".
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// A Windows header read earlier would make the snapshot below blind.
#ifdef _WINDOWS_
#error "<windows.h> was read before platform/win32/windows_api.h"
#endif
#include "platform/win32/names_before_windows.inc"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <mmsystem.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <winsvc.h>
#include <winver.h>
#include <winternl.h>

// Names of the ports and the core that the Windows headers define as
// macros.
#undef CharNext
#undef CreateEvent
#undef CreateFile
#undef CreateMutex
#undef CreateService
#undef ExpandEnvironmentStrings
#undef GetCommandLine
#undef GetCurrentDirectory
#undef GetFileVersionInfo
#undef GetFileVersionInfoSize
#undef GetModuleFileName
#undef GetPrivateProfileInt
#undef LoadLibrary
#undef LoadString
#undef MessageBox
#undef OpenSCManager
#undef OpenService
#undef QueryServiceConfig
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef ReportEvent
#undef SetCurrentDirectory
#undef StartService
#undef StartServiceCtrlDispatcher

#include "platform/win32/names_after_windows.inc"
// clang-format on
