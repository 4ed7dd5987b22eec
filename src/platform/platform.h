#pragma once
// The bundle of ports through which the core reaches the operating system.
// Chosen once at start-up (the Win32 adapter or a simulated machine) and
// handed to every part of the core; the core never calls the OS itself.

#include "platform/com.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/hardware.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/service_control.h"
#include "platform/system.h"
#include "platform/wmi.h"
#include "platform/version_info.h"

namespace fenra {

struct Platform {
  Kernel& kernel;
  Registry& registry;
  EventLog& event_log;
  Files& files;
  ServiceControl& service_control;
  Resources& resources;
  System& system;
  Com& com;
  Wmi& wmi;
  Hardware& hardware;
  VersionInfo& version_info;
};

}  // namespace fenra
