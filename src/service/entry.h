#pragma once
// The process entry, shared by every platform's main().

#include "platform/platform.h"
#include "service/service_module.h"

namespace fenra {

// Makes the system directory the current directory, initialises the module
// and runs it (as a service, or in the foreground when the service control
// manager refuses the connection). Returns the process exit code.
int ProcessEntry(CServiceModule& module, Platform& platform);

}  // namespace fenra
