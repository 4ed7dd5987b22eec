#include "platform/sim/sim_service_control.h"

#include "platform/sim/last_error.h"

namespace fenra::sim {
namespace {
constexpr ServiceStatusHandle kStatusHandle = 1;
}

SimServiceControl::SimServiceControl(Kernel& kernel, bool started_by_scm)
    : kernel_(kernel), started_by_scm_(started_by_scm), control_event_(kernel.CreateEvent(false, false)) {}

bool SimServiceControl::StartServiceCtrlDispatcher(const std::string& service_name, ServiceMainFn service_main) {
  if (!started_by_scm_) {
    SetLastError(win::kErrorFailedServiceControllerConnect);
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    service_name_ = service_name;
  }
  Handle service_thread = kernel_.CreateThread([service_main, service_name] {
    std::string name = service_name;
    char* argv[] = {name.data(), nullptr};
    service_main(1, argv);
    return 0u;
  });
  if (!service_thread) return false;
  // The dispatching thread delivers controls until the service has ended.
  const Handle waits[] = {service_thread, control_event_};
  while (kernel_.WaitForMultipleObjects(waits, false, win::kInfinite) == win::kWaitObject0 + 1) {
    for (;;) {
      uint32_t control;
      HandlerFn handler;
      {
        std::lock_guard lock(mutex_);
        if (controls_.empty()) break;
        control = controls_.front();
        controls_.pop_front();
        handler = handler_;
      }
      if (handler) handler(control);
    }
  }
  return true;
}

ServiceStatusHandle SimServiceControl::RegisterServiceCtrlHandler(const std::string& service_name,
                                                                  HandlerFn handler) {
  std::lock_guard lock(mutex_);
  uint32_t error = handler_error_;
  if (error == 0 && service_name != service_name_) error = win::kErrorServiceDoesNotExist;
  if (error != 0) {
    SetLastError(error);
    return 0;
  }
  handler_ = std::move(handler);
  return kStatusHandle;
}

bool SimServiceControl::SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle != kStatusHandle) {
    SetLastError(win::kErrorInvalidHandle);
    return false;
  }
  std::lock_guard lock(mutex_);
  reported_.push_back(status.current_state);
  return true;
}

void SimServiceControl::SendControl(uint32_t control) {
  {
    std::lock_guard lock(mutex_);
    controls_.push_back(control);
  }
  kernel_.SetEvent(control_event_);
}

void SimServiceControl::FailHandlerRegistration(uint32_t error) {
  std::lock_guard lock(mutex_);
  handler_error_ = error;
}

std::vector<uint32_t> SimServiceControl::ReportedStates() const {
  std::lock_guard lock(mutex_);
  return reported_;
}

}  // namespace fenra::sim
