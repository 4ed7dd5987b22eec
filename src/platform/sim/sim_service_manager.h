#pragma once
// The simulated service control manager: the machine-wide part. Installed
// services live where Windows keeps them, as keys under
// HKLM\SYSTEM\CurrentControlSet\Services (Type, Start, ErrorControl,
// ImagePath, DisplayName, DependOnService, ObjectName), so an installation
// can be read in the registry file and outlives the machine's run. A key
// there is a service when it has a Type value. What a run adds is kept
// here: each service's status and the history of its reports, the process
// connected to it with its queue of controls, open handles and deletion
// marks.
//
// Each process reaches the manager through its own SimServiceControl; a
// service's process is started through the launcher the machine provides.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/service_control.h"

namespace fenra::sim {

class SimKernel;
class SimRegistry;

// Starts the process of the service `service_name` with `command_line` (its
// ImagePath), its ServiceControl bound to that service. Returns the
// process's handle, signalled when it ends; an empty handle (last error
// set) when it cannot start. When the process ends (or is terminated) with
// the service not stopped, the manager stops it, as Windows does.
using ServiceLauncher = std::function<Handle(const std::string& service_name, const std::string& command_line)>;

class SimServiceManager {
 public:
  static constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
  // How long StartService waits for the dispatcher and ControlService for
  // the handler, as Windows does.
  static constexpr uint32_t kRequestTimeoutMs = 30000;

  SimServiceManager(SimKernel& kernel, SimRegistry& registry);
  ~SimServiceManager();
  SimServiceManager(const SimServiceManager&) = delete;
  SimServiceManager& operator=(const SimServiceManager&) = delete;

  // The installation side of the port, for every process's connection.
  // Failures set the last error and return null or false.
  ScHandlePtr OpenSCManager(uint32_t desired_access);
  ScHandlePtr OpenService(ScHandle& manager, const std::string& name, uint32_t desired_access);
  ScHandlePtr CreateService(ScHandle& manager, const std::string& name, uint32_t desired_access,
                            const ServiceConfig& config);
  bool StartService(ScHandle& service, const std::vector<std::string>& arguments);
  bool ControlService(ScHandle& service, uint32_t control, ServiceStatus* status);
  bool QueryServiceStatus(ScHandle& service, ServiceStatus* status);
  bool QueryServiceConfig(ScHandle& service, ServiceConfig* config);
  bool DeleteService(ScHandle& service);

  // The line between a running service and the dispatcher of its process.
  struct Dispatch;
  // A control on its way to the handler.
  struct ControlRequest;

  // The dispatcher of a process connects for `name`, waking on `wake`
  // (an auto-reset event) when a control is queued; the service becomes
  // START_PENDING. Null (ERROR_SERVICE_ALREADY_RUNNING) when another process
  // is connected for it.
  std::shared_ptr<Dispatch> Connect(const std::string& name, Handle wake);
  // The next queued control, or null.
  std::shared_ptr<ControlRequest> NextControl(Dispatch& dispatch);
  uint32_t ControlCode(const ControlRequest& request) const;
  // The handler has run: the sender gets its answer (a Win32 error, 0 for
  // NO_ERROR).
  void Complete(ControlRequest& request, uint32_t answer);
  // A status report of the connected service; refused once the reporting
  // thread's process has ended.
  bool Report(Dispatch& dispatch, const ServiceStatus& status);
  // The arguments StartService passed (the service name first).
  std::vector<std::string> Arguments(const Dispatch& dispatch) const;
  // The dispatcher of service `name` returned, or its process ended
  // (`dispatch` is null when it never connected): a service that did not
  // report stopped is stopped with ERROR_PROCESS_ABORTED, and controls still
  // queued are refused.
  void Disconnect(const std::string& name, const std::shared_ptr<Dispatch>& dispatch);

  void SetLauncher(ServiceLauncher launcher);

  // ControlService by name, without a handle: 0 when the handler took the
  // control, else the Win32 error.
  uint32_t SendControl(const std::string& name, uint32_t control, ServiceStatus* status = nullptr);
  // The states service `name` reported in this run, in order.
  std::vector<uint32_t> ReportedStates(const std::string& name) const;
  // Fault injection: while set to a nonzero error, OpenSCManager fails with
  // it (ERROR_ACCESS_DENIED for a user who is not an administrator).
  void FailOpenSCManager(uint32_t error);

  struct State;

 private:
  // Stops the service when `process` ends without having stopped it.
  void Watch(const std::string& name, const Handle& process);

  std::shared_ptr<State> state_;
};

}  // namespace fenra::sim
