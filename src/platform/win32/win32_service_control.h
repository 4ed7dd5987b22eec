#pragma once
// The ServiceControl port on the Windows service control manager: the
// dispatcher of this process, and the manager's side (SC_HANDLEs).

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/service_control.h"

namespace fenra::win32 {

// Names as CreateServiceA takes its dependencies: each with its NUL, and
// one more NUL after the last.
std::string DependencyList(const std::vector<std::string>& names);

// One service per process, as the system has: the dispatcher's entry is a
// plain function, so the service's main lives in a process-wide slot while
// the dispatcher runs.
class Win32ServiceControl final : public ServiceControl {
 public:
  Win32ServiceControl();
  ~Win32ServiceControl() override;

  bool StartServiceCtrlDispatcher(const std::string& service_name, ServiceMainFn service_main) override;
  ServiceStatusHandle RegisterServiceCtrlHandler(const std::string& service_name, HandlerFn handler) override;
  bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override;

  ScHandlePtr OpenSCManager(uint32_t desired_access) override;
  ScHandlePtr OpenService(ScHandle& manager, const std::string& service_name, uint32_t desired_access) override;
  ScHandlePtr CreateService(ScHandle& manager, const std::string& service_name, uint32_t desired_access,
                            const ServiceConfig& config) override;
  bool StartService(ScHandle& service, const std::vector<std::string>& arguments) override;
  bool ControlService(ScHandle& service, uint32_t control, ServiceStatus* status) override;
  bool QueryServiceStatus(ScHandle& service, ServiceStatus* status) override;
  bool QueryServiceConfig(ScHandle& service, ServiceConfig* config) override;
  bool DeleteService(ScHandle& service) override;

 private:
  // Handlers stay alive for the life of the adapter: the manager may call
  // one until the process ends.
  std::mutex handlers_mutex_;
  std::vector<std::unique_ptr<HandlerFn>> handlers_;
};

}  // namespace fenra::win32
