#pragma once
// The service's processes on a scenario's machine, registered, started and
// stopped as the service control manager does it. Everything that depends
// on how the simulated manager starts a service and sends it a control is
// here and nowhere else in the runner.

#include <functional>
#include <memory>

#include "platform/sim/sim_machine.h"

namespace fenra::runner {

// Registers the service to run as a service on the machine.
void RegisterService(sim::SimMachine& machine);

class ServiceHost {
 public:
  // `platform_of` gives the platform the service runs on in a new process
  // (the process's own, or one wrapped around it).
  using PlatformOf = std::function<Platform&(sim::SimProcess& process)>;
  ServiceHost(sim::SimMachine& machine, PlatformOf platform_of);

  // Starts the service through the machine's service control manager, in
  // a new process. A
  // previous process that is still stopping is waited for first, as a
  // start after `net stop` would. Call on a simulated thread.
  void Start();
  // Sends the stop control through the manager, once. Call on a
  // simulated thread.
  void Stop();
  // True while the last process started has not ended.
  bool Running();
  // The last process started (signalled when it has ended), or null.
  Handle process() const { return process_; }

 private:
  static constexpr const char* kServiceName = "FENRA";
  sim::SimMachine& machine_;
  ScHandlePtr service_;
  Handle process_;
  bool stop_sent_ = false;  // touched by input threads only
};

}  // namespace fenra::runner
