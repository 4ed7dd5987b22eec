#include "monitor/monitor_start.h"

namespace fenra {

int IsOSVersionAtLeast(Runtime& runtime, uint32_t major, uint32_t minor, uint32_t sp) {
  Platform& platform = runtime.platform;
  OsVersion version;
  if (!platform.system.GetVersion(&version)) return 0;
  if (version.major != major) return version.major > major ? 1 : 0;
  if (version.minor != minor) return version.minor > minor ? 1 : 0;
  if (sp == 0 || version.platform_id != win::kVerPlatformWin32Nt) return 1;

  RegKeyPtr key;
  if (platform.registry.OpenKey(Hive::kLocalMachine, "System\\CurrentControlSet\\Control\\Windows",
                                win::kKeyQueryValue, &key) != 0)
    return 0;
  uint32_t csd_version = 0;
  uint32_t size = sizeof(csd_version);
  if (platform.registry.QueryValue(*key, "CSDVersion", nullptr, reinterpret_cast<uint8_t*>(&csd_version),
                                   &size) != 0)
    return 0;
  return (csd_version & 0xFFFF) >= sp ? 1 : 0;
}

}  // namespace fenra
