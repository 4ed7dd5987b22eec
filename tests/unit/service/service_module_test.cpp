// Status reports of the service module.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>

#include "service/service_module.h"
#include "support/test_machine.h"

namespace fenra {
namespace {

// Records the reported states. While the first report is in flight,
// another thread makes a second one; the first waits a little for it.
class RacingReports : public sim::SimServiceControl {
 public:
  explicit RacingReports(sim::SimMachine& machine)
      : SimServiceControl(machine.kernel(), machine.service_manager(), false) {}

  ServiceStatusHandle RegisterServiceCtrlHandler(const std::string&, HandlerFn) override { return 1; }
  bool SetServiceStatus(ServiceStatusHandle, const ServiceStatus& status) override {
    if (!racer.valid()) {
      racer = std::async(std::launch::async, [this] { module->SetServiceStatus(win::kServiceStopped); });
      racer.wait_for(std::chrono::milliseconds(50));
    }
    std::lock_guard lock(mutex);
    states.push_back(status.current_state);
    return true;
  }

  CServiceModule* module = nullptr;
  std::future<void> racer;
  std::mutex mutex;
  std::vector<uint32_t> states;
};

TEST(ServiceModuleTest, ReportsReachTheManagerInTheOrderTheyWereMade) {
  testing::TestMachine machine;
  Platform& ports = machine.platform();
  RacingReports reports(*machine);
  Platform platform{ports.kernel,  ports.registry, ports.event_log, ports.files,    reports,          ports.resources,
                    ports.system,  ports.com,      ports.wmi,       ports.hardware, ports.version_info};
  CServiceModule module(platform);
  reports.module = &module;
  module.Init();
  // The service's run ends at once: its events cannot be created.
  machine->kernel().FailCreateUnnamedEvent(win::kErrorNotEnoughMemory);
  module.ServiceMain(0, nullptr);
  reports.racer.get();
  EXPECT_EQ(reports.states,
            (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceStopped, win::kServiceStopped}));
  EXPECT_EQ(module.status().current_state, win::kServiceStopped);
}

}  // namespace
}  // namespace fenra
