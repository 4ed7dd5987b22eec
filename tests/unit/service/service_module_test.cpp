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
class RacingReports : public ServiceControl {
 public:
  explicit RacingReports(ServiceControl& machine) : machine_(machine) {}

  bool StartServiceCtrlDispatcher(const std::string& name, ServiceMainFn main) override {
    return machine_.StartServiceCtrlDispatcher(name, main);
  }
  ServiceStatusHandle RegisterServiceCtrlHandler(const std::string& name, HandlerFn handler) override {
    return machine_.RegisterServiceCtrlHandler(name, handler);
  }
  bool SetServiceStatus(ServiceStatusHandle, const ServiceStatus& status) override {
    if (!racer.valid()) {
      racer = std::async(std::launch::async, [this] { module->SetServiceStatus(win::kServiceStopped); });
      racer.wait_for(std::chrono::milliseconds(50));
    }
    std::lock_guard lock(mutex);
    states.push_back(status.current_state);
    return true;
  }
  ScHandlePtr OpenSCManager(uint32_t access) override { return machine_.OpenSCManager(access); }
  ScHandlePtr OpenService(ScHandle& scm, const std::string& name, uint32_t access) override {
    return machine_.OpenService(scm, name, access);
  }
  ScHandlePtr CreateService(ScHandle& scm, const std::string& name, uint32_t access,
                            const ServiceConfig& config) override {
    return machine_.CreateService(scm, name, access, config);
  }
  bool StartService(ScHandle& service, const std::vector<std::string>& args) override {
    return machine_.StartService(service, args);
  }
  bool ControlService(ScHandle& service, uint32_t control, ServiceStatus* status) override {
    return machine_.ControlService(service, control, status);
  }
  bool QueryServiceStatus(ScHandle& service, ServiceStatus* status) override {
    return machine_.QueryServiceStatus(service, status);
  }
  bool QueryServiceConfig(ScHandle& service, ServiceConfig* config) override {
    return machine_.QueryServiceConfig(service, config);
  }
  bool DeleteService(ScHandle& service) override { return machine_.DeleteService(service); }

  CServiceModule* module = nullptr;
  std::future<void> racer;
  std::mutex mutex;
  std::vector<uint32_t> states;

 private:
  ServiceControl& machine_;
};

TEST(ServiceModuleTest, ReportsReachTheManagerInTheOrderTheyWereMade) {
  testing::TestMachine machine;
  Platform& ports = machine.platform();
  RacingReports reports(ports.service_control);
  Platform platform{ports.kernel,  ports.registry, ports.event_log, ports.files,    reports,          ports.resources,
                    ports.system,  ports.com,      ports.wmi,       ports.hardware, ports.version_info};
  CServiceModule module(platform);
  reports.module = &module;
  module.Init();
  module.SetServiceStatus(win::kServiceStopPending);
  reports.racer.get();
  EXPECT_EQ(reports.states, (std::vector<uint32_t>{win::kServiceStopPending, win::kServiceStopped}));
  EXPECT_EQ(module.status().current_state, win::kServiceStopped);
}

}  // namespace
}  // namespace fenra
