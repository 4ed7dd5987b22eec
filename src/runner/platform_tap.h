#pragma once
// A service process's platform with three ports tapped: every event-log
// record the process writes, and every write to a trace file
// (fenratrace1.log, fenratrace2.log, wherever TempDir points), is passed
// on as written and also handed to a Recorder with the virtual time; and
// the event log, the registry and the files fail as the scenario's
// PortFaults say. The other ports are the process's own.

#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/sim/sim_kernel.h"
#include "runner/observation.h"
#include "runner/scenario.h"
#include "support/thread_annotations.h"

namespace fenra::runner {

// What the scenario made the event log, the registry and the folders do,
// seen by the tapped ports of every service process of the run.
// Thread-safe; never calls the kernel.
class PortFaults {
 public:
  // A folder change that is `missing` counts as writable here: the folder
  // is really removed, by the run.
  void Set(const MachineFault& fault);
  // The error a refused record, registry change, open for writing or write
  // fails with; 0 when it is accepted.
  uint32_t EventLogError() const;
  uint32_t RegistryError() const;
  uint32_t OpenForWritingError(const std::string& path) const;
  uint32_t WriteError(const std::string& path) const;

 private:
  FolderState StateOf(const std::string& path) const;

  mutable Mutex mutex_;
  uint32_t event_log_error_ FENRA_GUARDED_BY(mutex_) = 0;
  uint32_t registry_error_ FENRA_GUARDED_BY(mutex_) = 0;
  // Upper-case path with a trailing backslash -> its state.
  std::map<std::string, FolderState> folders_ FENRA_GUARDED_BY(mutex_);
};

class PlatformTap {
 public:
  PlatformTap(Platform& process, sim::SimKernel& kernel, Recorder& recorder, const PortFaults& faults);
  ~PlatformTap();
  PlatformTap(const PlatformTap&) = delete;
  PlatformTap& operator=(const PlatformTap&) = delete;

  Platform& platform() { return platform_; }

 private:
  class Files;
  class EventLog;
  class Registry;
  std::unique_ptr<Files> files_;
  std::unique_ptr<EventLog> event_log_;
  std::unique_ptr<Registry> registry_;
  Platform platform_;
};

}  // namespace fenra::runner
