#include "platform/sim/sim_service_control.h"

#include "platform/sim/last_error.h"
#include "platform/sim/text.h"

namespace fenra::sim {
namespace {
constexpr ServiceStatusHandle kStatusHandle = 1;
}

SimServiceControl::SimServiceControl(Kernel& kernel, SimServiceManager& manager, bool started_by_scm,
                                     std::string service_name)
    : kernel_(kernel),
      manager_(manager),
      started_by_scm_(started_by_scm || !service_name.empty()),
      bound_name_(std::move(service_name)),
      wake_(kernel.CreateEvent(false, false)) {}

bool SimServiceControl::StartServiceCtrlDispatcher(const std::string& service_name, ServiceMainFn service_main) {
  if (!started_by_scm_) {
    SetLastError(win::kErrorFailedServiceControllerConnect);
    return false;
  }
  // An own-process service runs the first entry of its table, whatever its
  // name, for the service the manager started.
  const std::string name = bound_name_.empty() ? service_name : bound_name_;
  auto dispatch = manager_.Connect(name, wake_);
  if (!dispatch) return false;
  {
    MutexLock lock(mutex_);
    service_name_ = service_name;
    dispatch_ = dispatch;
  }
  std::vector<std::string> arguments = manager_.Arguments(*dispatch);
  Handle service_thread = kernel_.CreateThread(
      [service_main, arguments]() mutable {
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        service_main(static_cast<uint32_t>(arguments.size()), argv.data());
        return 0u;
      },
      "ServiceMain");
  if (!service_thread) {
    manager_.Disconnect(name, dispatch);
    return false;
  }
  // The dispatching thread delivers controls until the service has ended.
  const Handle waits[] = {service_thread, wake_};
  while (kernel_.WaitForMultipleObjects(waits, false, win::kInfinite) == win::kWaitObject0 + 1) {
    while (auto request = manager_.NextControl(*dispatch)) {
      HandlerFn handler;
      {
        MutexLock lock(mutex_);
        handler = handler_;
      }
      uint32_t answer = handler ? handler(manager_.ControlCode(*request)) : 0;
      manager_.Complete(*request, answer);
    }
  }
  manager_.Disconnect(name, dispatch);
  return true;
}

ServiceStatusHandle SimServiceControl::RegisterServiceCtrlHandler(const std::string& service_name,
                                                                  HandlerFn handler) {
  MutexLock lock(mutex_);
  uint32_t error = handler_error_;
  if (error == 0 && (!dispatch_ || !EqualsIgnoreCase(service_name, service_name_)))
    error = win::kErrorServiceDoesNotExist;
  if (error != 0) {
    SetLastError(error);
    return 0;
  }
  handler_ = std::move(handler);
  return kStatusHandle;
}

bool SimServiceControl::SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  std::shared_ptr<SimServiceManager::Dispatch> dispatch;
  {
    MutexLock lock(mutex_);
    if (handle == kStatusHandle && handler_) dispatch = dispatch_;
    if (!dispatch) refused_.push_back(status.current_state);
  }
  if (!dispatch) {
    SetLastError(win::kErrorInvalidHandle);
    return false;
  }
  if (!manager_.Report(*dispatch, status)) return false;
  MutexLock lock(mutex_);
  reported_.push_back(status.current_state);
  return true;
}

std::string SimServiceControl::ServiceName() const {
  if (!bound_name_.empty()) return bound_name_;
  MutexLock lock(mutex_);
  return service_name_;
}

uint32_t SimServiceControl::SendControl(uint32_t control) {
  return manager_.SendControl(ServiceName(), control);
}

std::vector<uint32_t> SimServiceControl::ReportedStates() const {
  MutexLock lock(mutex_);
  return reported_;
}

std::vector<uint32_t> SimServiceControl::RefusedReports() const {
  MutexLock lock(mutex_);
  return refused_;
}

void SimServiceControl::FailHandlerRegistration(uint32_t error) {
  MutexLock lock(mutex_);
  handler_error_ = error;
}

}  // namespace fenra::sim
