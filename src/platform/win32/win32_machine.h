#pragma once
// The real Windows machine: every port on its Win32 adapter, assembled into
// the Platform that FENRA.exe hands to the core.

#include "platform/platform.h"
#include "platform/win32/win32_com.h"
#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_hardware.h"
#include "platform/win32/win32_kernel.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_resources.h"
#include "platform/win32/win32_service_control.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_version_info.h"
#include "platform/win32/win32_wmi.h"

namespace fenra::win32 {

class Win32Machine {
 public:
  Win32Machine() = default;
  Win32Machine(const Win32Machine&) = delete;
  Win32Machine& operator=(const Win32Machine&) = delete;

  Platform& platform() { return platform_; }

 private:
  Win32Kernel kernel_;
  Win32Registry registry_;
  Win32EventLog event_log_;
  Win32Files files_;
  Win32ServiceControl service_control_;
  Win32Resources resources_;
  Win32System system_;
  Win32Com com_;
  Win32Wmi wmi_;
  Win32Hardware hardware_;
  Win32VersionInfo version_info_;
  Platform platform_{kernel_, registry_, event_log_, files_,    service_control_, resources_,
                     system_, com_,      wmi_,       hardware_, version_info_};
};

}  // namespace fenra::win32
