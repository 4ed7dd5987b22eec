#pragma once
// One process's connection to the simulated service control manager. A
// process is either started by the manager (then its dispatcher connects,
// runs ServiceMain on a thread of its own and delivers the controls sent to
// the service on the dispatching thread) or from a console (then the
// dispatcher connection is refused). The installation calls go to the
// machine's manager.

#include <memory>
#include <vector>

#include "platform/kernel.h"
#include "platform/service_control.h"
#include "platform/sim/sim_service_manager.h"
#include "support/thread_annotations.h"

namespace fenra::sim {

class SimServiceControl : public ServiceControl {
 public:
  // `service_name` is the service the manager started this process for;
  // empty when the process was started by hand, and then `started_by_scm`
  // says whether its dispatcher may connect (under the name its table
  // gives).
  SimServiceControl(Kernel& kernel, SimServiceManager& manager, bool started_by_scm, std::string service_name = {});

  bool StartServiceCtrlDispatcher(const std::string& service_name, ServiceMainFn service_main) override;
  ServiceStatusHandle RegisterServiceCtrlHandler(const std::string& service_name, HandlerFn handler) override;
  bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override;

  ScHandlePtr OpenSCManager(uint32_t desired_access) override { return manager_.OpenSCManager(desired_access); }
  ScHandlePtr OpenService(ScHandle& manager, const std::string& service_name, uint32_t desired_access) override {
    return manager_.OpenService(manager, service_name, desired_access);
  }
  ScHandlePtr CreateService(ScHandle& manager, const std::string& service_name, uint32_t desired_access,
                            const ServiceConfig& config) override {
    return manager_.CreateService(manager, service_name, desired_access, config);
  }
  bool StartService(ScHandle& service, const std::vector<std::string>& arguments) override {
    return manager_.StartService(service, arguments);
  }
  bool ControlService(ScHandle& service, uint32_t control, ServiceStatus* status) override {
    return manager_.ControlService(service, control, status);
  }
  bool QueryServiceStatus(ScHandle& service, ServiceStatus* status) override {
    return manager_.QueryServiceStatus(service, status);
  }
  bool QueryServiceConfig(ScHandle& service, ServiceConfig* config) override {
    return manager_.QueryServiceConfig(service, config);
  }
  bool DeleteService(ScHandle& service) override { return manager_.DeleteService(service); }

  // Sends a control to the service this process runs, as `sc control`
  // does: 0 when its handler took it, else the Win32 error.
  uint32_t SendControl(uint32_t control);
  // The states the service reported from this process, in order.
  std::vector<uint32_t> ReportedStates() const;
  // The states of reports refused for want of a status handle (handle 0, or
  // none registered), in order.
  std::vector<uint32_t> RefusedReports() const;
  // Makes RegisterServiceCtrlHandler fail with `error` (0: succeed again).
  void FailHandlerRegistration(uint32_t error);

 private:
  std::string ServiceName() const;

  Kernel& kernel_;
  SimServiceManager& manager_;
  const bool started_by_scm_;
  const std::string bound_name_;
  // Created up front, so that a fault injected into event creation hits
  // the service, not its connection.
  const Handle wake_;
  mutable Mutex mutex_;
  std::string service_name_ FENRA_GUARDED_BY(mutex_);
  std::shared_ptr<SimServiceManager::Dispatch> dispatch_ FENRA_GUARDED_BY(mutex_);
  HandlerFn handler_ FENRA_GUARDED_BY(mutex_);
  std::vector<uint32_t> reported_ FENRA_GUARDED_BY(mutex_);
  std::vector<uint32_t> refused_ FENRA_GUARDED_BY(mutex_);
  uint32_t handler_error_ FENRA_GUARDED_BY(mutex_) = 0;
};

}  // namespace fenra::sim
