#pragma once
// Service-control-manager port: the dispatcher, the control handler and
// status reports of a service process.

#include <cstdint>
#include <functional>
#include <string>

namespace fenra {

// SERVICE_STATUS.
struct ServiceStatus {
  uint32_t service_type = 0;
  uint32_t current_state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

// 0 is the null status handle.
using ServiceStatusHandle = uintptr_t;

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;

  using ServiceMainFn = std::function<void(uint32_t argc, char** argv)>;
  using HandlerFn = std::function<void(uint32_t control)>;

  // StartServiceCtrlDispatcherA with one service. Runs `service_main` on a
  // thread of its own and dispatches controls on the calling thread; returns
  // when the service has stopped. Fails with
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not started
  // by the service control manager (a console start).
  virtual bool StartServiceCtrlDispatcher(const std::string& service_name, ServiceMainFn service_main) = 0;
  // RegisterServiceCtrlHandlerA; 0 on failure (last error set).
  virtual ServiceStatusHandle RegisterServiceCtrlHandler(const std::string& service_name,
                                                         HandlerFn handler) = 0;
  virtual bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;
};

}  // namespace fenra
