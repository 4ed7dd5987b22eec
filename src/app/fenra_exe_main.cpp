// FENRA.exe: the service on the real Windows machine, built for Windows
// targets only. A GUI-subsystem program (no console); everything else is
// the core's process entry.

#include <cstdlib>

#include "platform/win32/win32_machine.h"
#include "service/entry.h"
#include "service/service_module.h"

int main() {
  fenra::win32::Win32Machine machine;
  fenra::CServiceModule module(machine.platform());
  int code = fenra::ProcessEntry(module, machine.platform());
  // Monitor threads that have not ended end with the process; nothing is
  // torn down under them.
  std::_Exit(code);
}
