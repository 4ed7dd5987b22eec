#pragma once
// The process entry, shared by every platform's main().

#include "platform/platform.h"
#include "service/service_module.h"

namespace fenra {

// Makes the system directory the current directory (SysWOW64 for a 32-bit
// process on 64-bit Windows) and reads the command line. A command word
// after "-" or "/" that ends the command line (UnregServer, RegServer,
// Service; any case) registers or unregisters, and its result is the exit
// code. Without one the AppID's LocalService value decides whether the
// process runs as a service (falling back to the foreground when the
// service control manager refuses the connection) or in the foreground;
// a missing AppID key ends the process with that registry error. Returns
// the process exit code.
int ProcessEntry(CServiceModule& module, Platform& platform);

// The position just after the first character of `text` that is one of
// `separators`, stepping through both texts a whole (multi-byte) character
// at a time; null when there is none or `text` is null.
const char* FindCommandToken(System& system, const char* text, const char* separators);

}  // namespace fenra
