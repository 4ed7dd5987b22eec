#pragma once
// Simulated service control manager. A process is either started by the
// service control manager (then the dispatcher runs ServiceMain on a thread
// of its own and delivers controls sent with SendControl on the dispatching
// thread) or from a console (then the dispatcher connection is refused).

#include <deque>
#include <mutex>
#include <vector>

#include "platform/kernel.h"
#include "platform/service_control.h"

namespace fenra::sim {

class SimServiceControl final : public ServiceControl {
 public:
  SimServiceControl(Kernel& kernel, bool started_by_scm);

  bool StartServiceCtrlDispatcher(const std::string& service_name, ServiceMainFn service_main) override;
  ServiceStatusHandle RegisterServiceCtrlHandler(const std::string& service_name, HandlerFn handler) override;
  bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override;

  // Queues a control for the dispatcher thread, as the service control
  // manager does for `sc stop` (1) or `sc interrogate` (4).
  void SendControl(uint32_t control);
  // Makes RegisterServiceCtrlHandler fail with `error` (0: succeed again).
  void FailHandlerRegistration(uint32_t error);
  // The states reported so far, in order.
  std::vector<uint32_t> ReportedStates() const;

 private:
  Kernel& kernel_;
  const bool started_by_scm_;
  const Handle control_event_;
  mutable std::mutex mutex_;
  std::string service_name_;
  HandlerFn handler_;
  std::deque<uint32_t> controls_;
  std::vector<uint32_t> reported_;
  uint32_t handler_error_ = 0;
};

}  // namespace fenra::sim
