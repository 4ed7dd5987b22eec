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
  // a new process. A previous process that is still stopping is waited for
  // first, as a start after `net stop` would. Starts and stops take effect
  // in the order they were given: a stop or start given while a start
  // still waits goes after it. Call on a simulated thread.
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
  Handle order_;            // held by the start or stop at work
  bool stop_sent_ = false;  // touched under order_ only
};

}  // namespace fenra::runner
