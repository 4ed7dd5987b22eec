#pragma once
// A service process's platform with two ports tapped: every event-log
// record the process writes, and every write to a trace file
// (fenratrace1.log, fenratrace2.log, wherever TempDir points), is passed
// on as written and also handed to a Recorder with the virtual time. The
// other ports are the process's own.

#include <memory>

#include "platform/platform.h"
#include "platform/sim/sim_kernel.h"
#include "runner/observation.h"

namespace fenra::runner {

class PlatformTap {
 public:
  PlatformTap(Platform& process, sim::SimKernel& kernel, Recorder& recorder);
  ~PlatformTap();
  PlatformTap(const PlatformTap&) = delete;
  PlatformTap& operator=(const PlatformTap&) = delete;

  Platform& platform() { return platform_; }

 private:
  class Files;
  class EventLog;
  std::unique_ptr<Files> files_;
  std::unique_ptr<EventLog> event_log_;
  Platform platform_;
};

}  // namespace fenra::runner
