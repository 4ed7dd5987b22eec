#include "runner/service_host.h"

#include <stdexcept>
#include <string>

#include "service/entry.h"
#include "service/service_module.h"

namespace fenra::runner {

namespace {

// FENRA.exe in a process of the machine, on the given platform.
uint32_t RunImage(sim::SimProcess& process, Platform& platform) {
  auto& module = process.Make<CServiceModule>(platform);
  return static_cast<uint32_t>(ProcessEntry(module, platform));
}

// Holds a kernel mutex for a scope, so that an exception cannot leave it
// owned.
class Hold {
 public:
  Hold(Kernel& kernel, const Handle& mutex) : kernel_(kernel), mutex_(mutex) {
    kernel_.WaitForSingleObject(mutex_, win::kInfinite);
  }
  ~Hold() { kernel_.ReleaseMutex(mutex_); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  Kernel& kernel_;
  const Handle& mutex_;
};

}  // namespace

void RegisterService(sim::SimMachine& machine) {
  // As an administrator does it: FENRA.exe -Service, as a process of the
  // machine, which also creates the service in the service control manager.
  sim::ProcessOptions options;
  options.command_line = machine.version_info().GetModuleFileName() + " -Service";
  Handle process =
      machine.StartProcess(options, [](sim::SimProcess& image) { return RunImage(image, image.platform()); });
  uint32_t exit_code = 1;
  machine.kernel().WaitForSingleObject(process, win::kInfinite);
  machine.kernel().GetExitCodeProcess(process, &exit_code);
  if (exit_code != 0)
    throw std::runtime_error("FENRA.exe -Service failed on the scenario's machine (exit code " +
                             std::to_string(exit_code) + ")");
}

ServiceHost::ServiceHost(sim::SimMachine& machine, PlatformOf platform_of)
    : machine_(machine), order_(machine.kernel().CreateMutex(false)) {
  machine_.SetServiceImage([platform_of = std::move(platform_of)](sim::SimProcess& process) {
    return RunImage(process, platform_of(process));
  });
}

void ServiceHost::Start() {
  Kernel& kernel = machine_.kernel();
  Hold hold(kernel, order_);
  if (process_) kernel.WaitForSingleObject(process_, win::kInfinite);
  ServiceControl& manager = machine_.service_control();
  ScHandlePtr scm = manager.OpenSCManager(win::kScManagerConnect);
  if (scm) service_ = manager.OpenService(*scm, kServiceName, win::kServiceStart | win::kServiceStop);
  if (!service_ || !manager.StartService(*service_, {}))
    throw std::runtime_error("the service cannot be started (error " + std::to_string(kernel.GetLastError()) + ")");
  process_ = machine_.LastServiceProcess();
  stop_sent_ = false;
}

void ServiceHost::Stop() {
  Hold hold(machine_.kernel(), order_);
  if (stop_sent_ || !service_ || !Running()) return;
  stop_sent_ = true;
  ServiceStatus status;
  machine_.service_control().ControlService(*service_, win::kServiceControlStop, &status);
}

bool ServiceHost::Running() {
  return process_ && machine_.kernel().WaitForSingleObject(process_, 0) == win::kWaitTimeout;
}

}  // namespace fenra::runner
