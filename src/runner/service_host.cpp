#include "runner/service_host.h"

#include <atomic>

#include "service/entry.h"
#include "service/service_module.h"

namespace fenra::runner {

// The process's view, published by its main thread when it begins.
struct ServiceHost::Slot {
  std::atomic<sim::SimProcess*> process{nullptr};
  bool stop_sent = false;  // touched by input threads only
};

void RegisterService(sim::SimMachine& /*machine*/) {
  // A process that the simulated manager starts connects its dispatcher and
  // runs as a service; the process entry consults no registration, so there
  // is nothing to write.
}

ServiceHost::ServiceHost(sim::SimMachine& machine, PlatformOf platform_of)
    : machine_(machine), platform_of_(std::move(platform_of)) {}

void ServiceHost::Start() {
  Kernel& kernel = machine_.kernel();
  if (process_) kernel.WaitForSingleObject(process_, win::kInfinite);
  auto slot = std::make_shared<Slot>();
  slot_ = slot;
  process_ = machine_.StartProcess(sim::ProcessOptions{.started_by_scm = true},
                                   [slot, platform_of = platform_of_](sim::SimProcess& process) {
                                     slot->process.store(&process);
                                     Platform& platform = platform_of(process);
                                     auto& module = process.Make<CServiceModule>(platform);
                                     return static_cast<uint32_t>(ProcessEntry(module, platform));
                                   });
}

void ServiceHost::Stop() {
  if (!slot_ || slot_->stop_sent || !Running()) return;
  // A process started at this very moment has not run yet: let it.
  Kernel& kernel = machine_.kernel();
  while (slot_->process.load() == nullptr && Running()) kernel.Sleep(0);
  if (sim::SimProcess* process = slot_->process.load(); process != nullptr && Running()) {
    slot_->stop_sent = true;
    process->service_control().SendControl(win::kServiceControlStop);
  }
}

bool ServiceHost::Running() {
  return process_ && machine_.kernel().WaitForSingleObject(process_, 0) == win::kWaitTimeout;
}

}  // namespace fenra::runner
