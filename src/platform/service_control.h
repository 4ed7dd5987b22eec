#pragma once
// Service-control-manager port: the dispatcher, the control handler and
// status reports of a service process, and the manager's side that an
// installation uses (open the manager, create, open, start, control, query,
// delete a service).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// The configuration of an installed service, as CreateServiceA takes it and
// QueryServiceConfigA gives it back. An empty account is LocalSystem
// (QueryServiceConfig names it "LocalSystem"); an empty password or load
// order group is none.
struct ServiceConfig {
  uint32_t service_type = 0;
  uint32_t start_type = 0;
  uint32_t error_control = 0;
  std::string binary_path_name;
  std::string load_order_group;
  // One name each; a group is named with a leading '+'.
  std::vector<std::string> dependencies;
  std::string service_start_name;
  std::string password;  // never given back
  std::string display_name;
};

// An open handle of the manager or of a service (SC_HANDLE). Destroying it
// closes it (CloseServiceHandle).
class ScHandle {
 public:
  virtual ~ScHandle() = default;
};
using ScHandlePtr = std::unique_ptr<ScHandle>;

// Failures set the calling thread's last error (the Win32 error codes of
// the functions named). Thread-safe.
class ServiceControl {
 public:
  virtual ~ServiceControl() = default;

  using ServiceMainFn = std::function<void(uint32_t argc, char** argv)>;
  // The handler's answer: NO_ERROR for a control it handled and for
  // interrogate, ERROR_CALL_NOT_IMPLEMENTED for one it does not handle (a
  // user control 128..255, say), as HandlerEx answers.
  using HandlerFn = std::function<uint32_t(uint32_t control)>;

  // StartServiceCtrlDispatcherA with one service. Runs `service_main` on a
  // thread of its own and dispatches controls on the calling thread; returns
  // when the service has stopped and `service_main` has returned (what it
  // does after reporting SERVICE_STOPPED is not cut off). Fails with
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not started
  // by the service control manager (a console start).
  virtual bool StartServiceCtrlDispatcher(const std::string& service_name, ServiceMainFn service_main) = 0;
  // RegisterServiceCtrlHandlerA; 0 on failure (last error set).
  virtual ServiceStatusHandle RegisterServiceCtrlHandler(const std::string& service_name,
                                                         HandlerFn handler) = 0;
  // Reports reach the manager in the order of the calls.
  virtual bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;

  // OpenSCManagerA for the local machine's active database; null on
  // failure.
  virtual ScHandlePtr OpenSCManager(uint32_t desired_access) = 0;
  // OpenServiceA: ERROR_SERVICE_DOES_NOT_EXIST when there is no such
  // service. A service marked for deletion still opens.
  virtual ScHandlePtr OpenService(ScHandle& manager, const std::string& service_name,
                                  uint32_t desired_access) = 0;
  // CreateServiceA; the manager handle needs SC_MANAGER_CREATE_SERVICE.
  // ERROR_SERVICE_EXISTS for a name in use, ERROR_SERVICE_MARKED_FOR_DELETE
  // while a deleted service of that name still runs or is open.
  virtual ScHandlePtr CreateService(ScHandle& manager, const std::string& service_name,
                                    uint32_t desired_access, const ServiceConfig& config) = 0;
  // StartServiceA: starts the service's process and returns once its
  // dispatcher has connected; the service is then START_PENDING (or
  // further on). ERROR_SERVICE_ALREADY_RUNNING when it is not stopped.
  virtual bool StartService(ScHandle& service, const std::vector<std::string>& arguments) = 0;
  // ControlService: hands the control to the service's handler and returns
  // after the handler has run, with the service's latest status in *status
  // (also on the failures below); fails with the handler's answer when that
  // is not NO_ERROR. Refused with ERROR_SERVICE_NOT_ACTIVE when
  // the service is not running, ERROR_SERVICE_CANNOT_ACCEPT_CTRL while it is
  // START_PENDING or STOP_PENDING, ERROR_INVALID_SERVICE_CONTROL when it does
  // not accept this control (interrogate and user controls 128..255 are
  // always accepted), ERROR_INVALID_PARAMETER for a code that cannot be sent.
  virtual bool ControlService(ScHandle& service, uint32_t control, ServiceStatus* status) = 0;
  virtual bool QueryServiceStatus(ScHandle& service, ServiceStatus* status) = 0;
  virtual bool QueryServiceConfig(ScHandle& service, ServiceConfig* config) = 0;
  // DeleteService: marks the service for deletion. It goes once it is
  // stopped and every handle to it is closed.
  // ERROR_SERVICE_MARKED_FOR_DELETE when it was marked already.
  virtual bool DeleteService(ScHandle& service) = 0;
};

}  // namespace fenra
