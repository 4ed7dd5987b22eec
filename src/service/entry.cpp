#include "service/entry.h"

namespace fenra {

int ProcessEntry(CServiceModule& module, Platform& platform) {
  // A 32-bit service on 64-bit Windows lives in SysWOW64; installation and
  // the INI files depend on this directory.
  const char* system_dir = platform.system.IsWow64Process() ? "%SystemRoot%\\SysWOW64" : "%SystemRoot%\\system32";
  platform.system.SetCurrentDirectory(platform.system.ExpandEnvironmentStrings(system_dir));

  module.Init();
  module.Start();
  return static_cast<int>(module.status().win32_exit_code);
}

}  // namespace fenra
